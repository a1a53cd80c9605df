// The main window: four workflow tabs (data source and scan options, fragment
// list, fragment analysis, file assembly), the menus, the gauge and the status
// panel. It holds the session and hands every command to the core; the lists
// are views over the catalogue's rows.
#pragma once

#include <QMainWindow>
#include <QTimer>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/worker.h"
#include "base/person.h"
#include "session/session.h"
#include "storage/sources.h"

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTreeView;

namespace sorrelon::app {

class QtPerson;
class RowsModel;
class Tfrmuserchoose;

// The application's font (CJK captions) and name, set before the window is made.
void SetUpApplication();

class TForm1 : public QMainWindow {
  Q_OBJECT
 public:
  // `sources`: the disks and drives for the data-source menu; by default the
  // machine's own (tests pass a fixed list).
  explicit TForm1(std::optional<SourceMenu> sources = std::nullopt, QWidget* parent = nullptr);
  ~TForm1() override;

  Session& session() { return session_; }
  QtPerson& person() { return *person_; }

  // Chooses an image file without the open dialog and without the question:
  // `partition` says whether it is a partition image; when not given, a
  // volume boot sector (NTFS or FAT32) at sector 0 decides.
  bool OpenImage(const std::string& path, std::optional<bool> partition);

  // A worker (scan or automatic analysis) is running or waiting for its turn.
  bool WorkerBusy() const { return !workers_.empty(); }
  // A command of the window itself is running (it lets events through).
  bool CommandBusy() const { return uiBusy_ > 0; }
  Tfrmuserchoose* continuationDialog() const { return choose_; }

  // ---- called by QtPerson on the user-interface thread ----
  void AppendLog(Log log, const QString& text);
  void ClearLogView(Log log);
  void SetGaugeValue(int percent);
  void SetStatusText(const QString& text);
  void ViewChanged(View view);
  std::optional<size_t> AskContinuation(const std::vector<CandidateRow>& candidates, const CandidateRow& current,
                                        int& chosenRow);

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Building the window.
  void BuildMenus();
  void BuildSourceMenu();
  void BuildTab1(QWidget* page);
  void BuildTab2(QWidget* page);
  void BuildTab3(QWidget* page);
  void BuildTab4(QWidget* page);
  QTreeView* MakeListView(QWidget* page, const char* name, RowsModel* model);
  void FormCreate();

  // Handlers, named after the controls they serve.
  void Label7Click();
  void CheckBox1Click();
  void PageControl1Change(int index);
  void N6Click();
  void btnscanClick();
  void N2Click();
  void N3Click();
  void N7Click();
  void DiskItemClick(size_t disk);
  void DriveItemClick(size_t drive);
  void ListView2ColumnClick(int column);
  void ListView4ColumnClick(int column);
  void Button1Click();  // SEARCH
  void Button6Click();  // SEARCH MORE
  void Button5Click();  // CHECK
  void Button2Click();  // CREATE MDF
  void btnsaveClick();
  void Button3Click();
  void edtfilterClick();
  void Button8Click();
  void N9Click();
  void N10Click();
  void N14Click();
  void N15Click();
  void N12Click();
  void N13Click();
  void N16Click();
  void N17Click();
  void N18Click();

  // The first tab's texts to and from the session.
  void SyncFieldsFromWidgets();
  void ApplyFieldsToWidgets();

  // A command that reads the source or the catalogue as a whole takes the
  // workers' slot for its duration; while a scan holds it the command is
  // refused with "尚未扫描结束".
  class Exclusive;
  bool BeginExclusive();
  void EndExclusive();

  void StartWorker(TMyThread::Mode mode, std::function<void()> body);
  void OnWorkerFinished(TMyThread* worker);
  bool WorkerAlive(TMyThread::Mode mode) const;
  void WaitForWorkers();
  void GrowTick();
  void RefreshList(RowsModel* model, QTreeView* view);
  void UpdateAssemblyButtons();
  void SetAnalysisRunning(bool running);
  void SetCurrentTabQuietly(int index);
  void RebuildDatabaseFiles();
  void NewContinuationDialog();

  Session session_;
  QtPerson* person_ = nullptr;
  SourceMenu sources_;
  std::vector<TMyThread*> workers_;
  QTimer growTimer_;
  Tfrmuserchoose* choose_ = nullptr;
  int uiBusy_ = 0;
  bool scanStarted_ = false;
  bool closing_ = false;
  bool closeRequested_ = false;
  bool quietTabs_ = false;
  bool analysisRunning_ = false;
  bool pendingDatabaseRebuild_ = false;

  RowsModel* fragmentModel_ = nullptr;
  RowsModel* databaseModel_ = nullptr;
  RowsModel* assemblyModel_ = nullptr;

  // Controls, named as in the form.
  QTabWidget* PageControl1 = nullptr;
  QMenu* pm1 = nullptr;
  QMenu* PopupMenu1 = nullptr;
  QProgressBar* g1 = nullptr;
  QLabel* stat1Panel = nullptr;
  QPushButton* Button7 = nullptr;
  // tab 1
  QGroupBox* grp1 = nullptr;
  QLineEdit* edtDataStr = nullptr;
  QLabel* label5 = nullptr;
  QPushButton* btnscan = nullptr;
  QPushButton* btnstop = nullptr;
  QCheckBox* chkfreespace = nullptr;
  QLineEdit* edtbegin = nullptr;
  QLineEdit* edtend = nullptr;
  QLineEdit* edtsecs = nullptr;
  QCheckBox* CheckBox1 = nullptr;
  QLineEdit* edtmaxpageid = nullptr;
  QLineEdit* Edit2 = nullptr;
  QPlainTextEdit* Memo1 = nullptr;
  QLabel* Label7 = nullptr;
  QLabel* img1 = nullptr;
  QLabel* lbl1 = nullptr;
  // tab 2
  QTreeView* ListView2 = nullptr;
  QRadioButton* rb3 = nullptr;
  QRadioButton* rb1 = nullptr;
  QRadioButton* rb2 = nullptr;
  QLineEdit* Edit1 = nullptr;
  QLineEdit* edtendid = nullptr;
  QLineEdit* edtpgid = nullptr;
  QLineEdit* edtlen = nullptr;
  QLineEdit* edtpagelen = nullptr;
  // tab 3
  QTreeView* ListView3 = nullptr;
  QPushButton* Button1 = nullptr;
  QCheckBox* chkauto = nullptr;
  QCheckBox* chkdeep = nullptr;
  QPlainTextEdit* Memo2 = nullptr;
  // tab 4
  QTreeView* ListView4 = nullptr;
  QPushButton* Button6 = nullptr;
  QPushButton* Button5 = nullptr;
  QPushButton* Button2 = nullptr;
  QPlainTextEdit* Memo3 = nullptr;
};

}  // namespace sorrelon::app
