// The dialog in which the person settles an ambiguous continuation of the
// chain: the fragment reached so far (ListView1) and the candidates
// (ListView2, with check boxes). It is shown without being modal; the asking
// analysis waits in an event loop until the person decides, so the main window
// stays usable. The chosen row is the analysis run's own and carries over
// from one choice to the next.
#pragma once

#include <QDialog>

#include <optional>
#include <vector>

#include "base/person.h"

class QEventLoop;
class QGroupBox;
class QPushButton;
class QTreeWidget;

namespace sorrelon {
class FragmentReader;
}

namespace sorrelon::app {

class Tfrmuserchoose : public QDialog {
  Q_OBJECT
 public:
  // `reader` answers the page reads of "把勾选的碎片保存为文件".
  Tfrmuserchoose(FragmentReader& reader, Person& person, QWidget* parent = nullptr);
  ~Tfrmuserchoose() override;

  // Shows the candidates and the current fragment and waits for the person.
  // The index into `candidates` of the chosen row, or nullopt when cancelled
  // (also for a remembered row that this group does not have).
  std::optional<size_t> Ask(const std::vector<CandidateRow>& candidates, const CandidateRow& current, int& chosenRow);

  // Cancels a pending choice (the main window closing).
  void Cancel();

  // -1 undecided, 0 chosen, 1 cancelled.
  int result() const { return result_; }
  bool waiting() const { return loop_ != nullptr; }

 signals:
  // The dialog is on screen and waiting (tests act on it from here).
  void waitingForChoice();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;  // Escape: as "取消"

 private:
  void btnokClick();
  void btncancelClick();
  void ListView2Click();
  void Button1Click();
  void Decide(int result);

  FragmentReader& reader_;
  Person& person_;
  QGroupBox* group_ = nullptr;
  QTreeWidget* ListView1 = nullptr;
  QTreeWidget* ListView2 = nullptr;
  QPushButton* btnok = nullptr;
  QPushButton* btncancel = nullptr;
  QPushButton* Button1 = nullptr;
  std::vector<CandidateRow> candidates_;
  int* chosenRow_ = nullptr;
  int result_ = -1;
  QEventLoop* loop_ = nullptr;
};

}  // namespace sorrelon::app
