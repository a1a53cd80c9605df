// A scripted Person for tests: records every call, answers from queues.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "base/person.h"

namespace sorrelon::test {

struct Shown {
  std::string text;
  std::string caption;
  Icon icon = Icon::None;
};

class FakePerson : public Person {
 public:
  // Answers, consumed in order; when a queue is empty: No / cancel.
  std::deque<bool> answers;
  std::deque<std::optional<std::string>> files;    // open, save and folder choosers share this queue
  std::deque<std::optional<size_t>> continuations;

  // What happened.
  std::vector<Shown> messages;
  std::vector<Shown> questions;
  std::vector<std::string> dialogTitles;
  std::vector<std::string> dialogDefaults;
  std::vector<std::string> logs[4];
  std::vector<int> gauge;
  std::vector<std::string> status;
  std::string clipboard;
  std::vector<std::vector<CandidateRow>> continuationGroups;

  void Message(std::string_view text, std::string_view caption, Icon icon) override {
    messages.push_back({std::string(text), std::string(caption), icon});
  }
  bool Ask(std::string_view text, std::string_view caption) override {
    questions.push_back({std::string(text), std::string(caption), Icon::None});
    if (answers.empty()) return false;
    bool a = answers.front();
    answers.pop_front();
    return a;
  }
  std::optional<std::string> ChooseOpenFile(std::string_view title, std::string_view filter) override {
    return NextFile(title, filter);
  }
  std::optional<std::string> ChooseSaveFile(std::string_view title, std::string_view def) override {
    return NextFile(title, def);
  }
  std::optional<std::string> ChooseFolder(std::string_view title) override { return NextFile(title, ""); }
  void AddLog(Log log, std::string_view line) override { logs[int(log)].emplace_back(line); }
  void ClearLog(Log log) override { logs[int(log)].clear(); }
  void SetGauge(int p) override { gauge.push_back(p); }
  void SetStatus(std::string_view s) override { status.emplace_back(s); }
  void SetClipboard(std::string_view s) override { clipboard = std::string(s); }
  std::optional<size_t> AskContinuation(const std::vector<CandidateRow>& c, const CandidateRow&, int& chosenRow) override {
    continuationGroups.push_back(c);
    if (continuations.empty()) return std::nullopt;
    auto a = continuations.front();
    continuations.pop_front();
    if (a) chosenRow = int(*a);
    return a;
  }

  const std::vector<std::string>& Log(Log l) const { return logs[int(l)]; }
  bool Logged(enum Log l, std::string_view line) const {
    for (auto& s : logs[int(l)])
      if (s == line) return true;
    return false;
  }
  std::vector<std::string> MessageTexts() const {
    std::vector<std::string> out;
    for (auto& m : messages) out.push_back(m.text);
    return out;
  }

 private:
  std::optional<std::string> NextFile(std::string_view title, std::string_view def) {
    dialogTitles.emplace_back(title);
    dialogDefaults.emplace_back(def);
    if (files.empty()) return std::nullopt;
    auto f = files.front();
    files.pop_front();
    return f;
  }
};

}  // namespace sorrelon::test
