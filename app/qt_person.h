// The window's side of the Person interface: real message boxes, questions
// and file dialogs, the three logs, the gauge and the status panel.
//
// The core calls it from the user-interface thread and from the worker. A call
// from the worker is carried over to the user-interface thread through one
// ordered queue, so log lines, gauge steps, list changes and questions take
// effect in the order the worker made them; a question blocks the worker until
// it is answered. Consecutive log lines are appended in one go, and the
// fragment list's growth during a scan is only flagged here: the window picks
// it up on a timer instead of redrawing once per fragment.
#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/person.h"

class QWidget;

namespace sorrelon::app {

class TForm1;
class Tfrmuserchoose;

// What a test sees and answers instead of real dialogs. Questions and file
// choosers take the next answer (none left: No / cancel); message boxes are
// recorded, not shown. The continuation dialog is shown for real and
// `onContinuation` acts on it (checks rows, presses its buttons).
struct DialogScript {
  struct Shown {
    std::string text;
    std::string caption;
    Icon icon = Icon::None;
  };
  std::deque<bool> answers;
  std::deque<std::optional<std::string>> files;  // open, save and folder choosers
  std::function<void(Tfrmuserchoose&)> onContinuation;

  std::vector<Shown> messages;
  std::vector<Shown> questions;
  std::vector<std::string> dialogTitles;
  std::vector<std::string> dialogDefaults;  // default name, or the filter of an open dialog
  int continuations = 0;
};

class QtPerson : public QObject, public Person {
  Q_OBJECT
 public:
  explicit QtPerson(TForm1& window);
  ~QtPerson() override;

  void Message(std::string_view text, std::string_view caption, Icon icon = Icon::None) override;
  bool Ask(std::string_view text, std::string_view caption) override;
  std::optional<std::string> ChooseOpenFile(std::string_view title, std::string_view filter) override;
  std::optional<std::string> ChooseSaveFile(std::string_view title, std::string_view defaultName) override;
  std::optional<std::string> ChooseFolder(std::string_view title) override;
  void AddLog(Log log, std::string_view line) override;
  void ClearLog(Log log) override;
  void SetGauge(int percent) override;
  void SetStatus(std::string_view text) override;
  void SetClipboard(std::string_view text) override;
  void Breathe() override;
  void Changed(View view) override;
  std::optional<size_t> AskContinuation(const std::vector<CandidateRow>& candidates, const CandidateRow& current,
                                        int& chosenRow) override;

  // Test seam: with a script, dialogs are answered from it (null: real dialogs).
  void SetScript(DialogScript* script) { script_ = script; }
  DialogScript* Script() const { return script_; }

  // While the window closes, questions from the worker are answered at once
  // (No / cancel) so that the worker can run to its end.
  void SetClosing(bool closing) { closing_ = closing; }

  // Set when the scan added fragments since the last call; clears the flag.
  bool TakeFragmentsGrown() { return fragmentsGrown_.exchange(false); }

  // Runs whatever the worker has queued (also called before the window waits
  // for the worker, so nothing it showed is lost).
  void Drain();

  // The core's open-dialog filter "desc|patterns|desc|patterns" as a Qt name filter.
  static QString QtFilter(std::string_view filter);

 private:
  struct Action {
    bool isLog = false;
    Log log = Log::Scan;
    std::string text;
    std::function<void()> fn;
  };
  bool OnUiThread() const;
  void Post(Action a);
  // Runs `f` on the user-interface thread and hands its result back; from the
  // worker this blocks until the window has run it.
  template <typename R>
  R OnUi(std::function<R()> f);

  TForm1& window_;
  DialogScript* script_ = nullptr;
  std::atomic<bool> closing_{false};
  std::atomic<bool> fragmentsGrown_{false};
  std::mutex queueMutex_;
  std::deque<Action> queue_;
  bool drainPosted_ = false;
  int64_t lastBreathe_ = 0;
};

}  // namespace sorrelon::app
