// The command line's answer to the Person interface: logs go to standard
// output, messages to standard error as "caption: text", questions are
// answered from preset answers (default No), progress goes to standard error
// on a terminal unless quiet.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <string>

#include "base/person.h"

namespace sorrelon::cli {

class ConsolePerson : public Person {
 public:
  bool quiet = false;
  bool progressOnTerminal = true;
  // Preset answers to Yes/No questions by their text; unknown questions: No.
  std::map<std::string, bool> answers;
  // Files offered to choosers in order.
  std::deque<std::string> files;
  // Bytes the gauge's 100 % stands for: progress then shows a rate and the
  // time left.
  int64_t progressBytes = 0;
  int messagesShown = 0;
  std::string lastMessage;

  void Message(std::string_view text, std::string_view caption, Icon icon) override;
  bool Ask(std::string_view text, std::string_view caption) override;
  std::optional<std::string> ChooseOpenFile(std::string_view title, std::string_view filter) override;
  std::optional<std::string> ChooseSaveFile(std::string_view title, std::string_view defaultName) override;
  std::optional<std::string> ChooseFolder(std::string_view title) override;
  void AddLog(Log log, std::string_view line) override;
  void ClearLog(Log) override {}
  void SetGauge(int percent) override;
  void SetStatus(std::string_view) override {}
  void SetClipboard(std::string_view text) override;
  std::optional<size_t> AskContinuation(const std::vector<CandidateRow>&, const CandidateRow&, int&) override {
    return std::nullopt;
  }
  // Ends a progress line on the terminal.
  void EndProgress();

 private:
  int lastGauge_ = -1;
  std::chrono::steady_clock::time_point started_{};
  bool progressOpen_ = false;
};

}  // namespace sorrelon::cli
