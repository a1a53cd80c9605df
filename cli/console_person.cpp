#include "cli/console_person.h"

#include <unistd.h>

#include <iostream>

namespace sorrelon::cli {

void ConsolePerson::Message(std::string_view text, std::string_view caption, Icon) {
  EndProgress();
  ++messagesShown;
  lastMessage = std::string(text);
  std::cerr << caption << ": " << text << std::endl;
}

bool ConsolePerson::Ask(std::string_view text, std::string_view caption) {
  auto it = answers.find(std::string(text));
  bool a = it != answers.end() && it->second;
  if (!quiet) std::cerr << caption << ": " << text << " -> " << (a ? "yes" : "no") << std::endl;
  return a;
}

std::optional<std::string> ConsolePerson::ChooseOpenFile(std::string_view, std::string_view) {
  if (files.empty()) return std::nullopt;
  std::string f = files.front();
  files.pop_front();
  return f;
}
std::optional<std::string> ConsolePerson::ChooseSaveFile(std::string_view t, std::string_view) {
  return ChooseOpenFile(t, {});
}
std::optional<std::string> ConsolePerson::ChooseFolder(std::string_view t) { return ChooseOpenFile(t, {}); }

void ConsolePerson::AddLog(Log, std::string_view line) {
  EndProgress();
  std::cout << line << '\n';
}

void ConsolePerson::SetGauge(int percent) {
  if (quiet || !progressOnTerminal || !::isatty(2) || percent == lastGauge_) return;
  auto now = std::chrono::steady_clock::now();
  if (lastGauge_ < 0 || percent < lastGauge_) started_ = now;
  lastGauge_ = percent;
  std::fprintf(stderr, "\r%3d%%", percent);
  double secs = std::chrono::duration<double>(now - started_).count();
  if (progressBytes > 0 && percent > 0 && secs > 0.5) {
    double done = double(progressBytes) * percent / 100.0;
    double rate = done / secs;
    double left = rate > 0 ? (double(progressBytes) - done) / rate : 0;
    int l = int(left);
    std::fprintf(stderr, "  %.1f MB/s  %02d:%02d:%02d left", rate / 1e6, l / 3600, (l / 60) % 60, l % 60);
  }
  std::fprintf(stderr, "\033[K");
  std::fflush(stderr);
  progressOpen_ = true;
}

void ConsolePerson::SetClipboard(std::string_view text) { std::cout << text << '\n'; }

void ConsolePerson::EndProgress() {
  if (progressOpen_) {
    std::cerr << "\r\033[K" << std::flush;
    progressOpen_ = false;
  }
}

}  // namespace sorrelon::cli
