// Everything a person sees or answers goes through this interface. The core
// calls it; the desktop front answers with real dialogs, the command line with
// its flags and standard streams, tests with a scripted fake.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorrelon {

enum class Icon { None, Information, Warning, Error };

// The three logs: scan (first tab), analysis (third tab), assembly (fourth tab).
enum class Log { Scan = 1, Analysis = 2, Assembly = 3 };

// Views that the core changes and a front may have to redraw.
enum class View { FragmentList, DatabaseFiles, AssemblyList, Buttons, SourceFields };

// One row of the continuation dialog: a fragment with the columns it shows.
struct CandidateRow {
  int32_t fragmentIndex = 0;
  int32_t sizeKb = 0;
  int32_t startPage = 0;
  int32_t endPage = 0;
  int64_t startSector = 0;
  int64_t endSector = 0;
};

class Person {
 public:
  virtual ~Person() = default;

  // Modal message box with one OK button.
  virtual void Message(std::string_view text, std::string_view caption, Icon icon = Icon::None) = 0;
  // Yes/No question; true for Yes.
  virtual bool Ask(std::string_view text, std::string_view caption) = 0;

  // File and folder choosers; nullopt when the person cancels.
  virtual std::optional<std::string> ChooseOpenFile(std::string_view title, std::string_view filter) = 0;
  virtual std::optional<std::string> ChooseSaveFile(std::string_view title, std::string_view defaultName) = 0;
  virtual std::optional<std::string> ChooseFolder(std::string_view title) = 0;

  virtual void AddLog(Log log, std::string_view line) = 0;
  virtual void ClearLog(Log log) = 0;
  virtual void SetGauge(int percent) = 0;
  virtual void SetStatus(std::string_view text) = 0;
  virtual void SetClipboard(std::string_view text) = 0;

  // Lets the window process pending events during long work on its thread.
  virtual void Breathe() {}
  // Tells the front that a view's rows or enabled states changed.
  virtual void Changed(View) {}

  // The continuation dialog: the candidates and the current fragment. Returns
  // the index into `candidates` of the chosen row, or nullopt when cancelled.
  // `chosenRow` is the dialog's remembered row, kept across one analysis run.
  virtual std::optional<size_t> AskContinuation(const std::vector<CandidateRow>& candidates,
                                                const CandidateRow& current, int& chosenRow) = 0;
};

// A Person that answers nothing and records nothing: for background work
// where no one is asked (benchmarks, internal probes).
class SilentPerson : public Person {
 public:
  void Message(std::string_view, std::string_view, Icon) override {}
  bool Ask(std::string_view, std::string_view) override { return false; }
  std::optional<std::string> ChooseOpenFile(std::string_view, std::string_view) override { return {}; }
  std::optional<std::string> ChooseSaveFile(std::string_view, std::string_view) override { return {}; }
  std::optional<std::string> ChooseFolder(std::string_view) override { return {}; }
  void AddLog(Log, std::string_view) override {}
  void ClearLog(Log) override {}
  void SetGauge(int) override {}
  void SetStatus(std::string_view) override {}
  void SetClipboard(std::string_view) override {}
  std::optional<size_t> AskContinuation(const std::vector<CandidateRow>&, const CandidateRow&, int&) override {
    return {};
  }
};

}  // namespace sorrelon
