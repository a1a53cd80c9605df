#include "app/qt_person.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QFileDialog>
#include <QMessageBox>
#include <QThread>

#include <future>

#include "app/main_window.h"

namespace sorrelon::app {
namespace {

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }
std::string S(const QString& s) { return s.toStdString(); }

QMessageBox::Icon BoxIcon(Icon icon) {
  switch (icon) {
    case Icon::Information: return QMessageBox::Information;
    case Icon::Warning: return QMessageBox::Warning;
    case Icon::Error: return QMessageBox::Critical;
    case Icon::None: break;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

QtPerson::QtPerson(TForm1& window) : QObject(&window), window_(window) {}
QtPerson::~QtPerson() = default;

bool QtPerson::OnUiThread() const { return QThread::currentThread() == thread(); }

void QtPerson::Post(Action a) {
  bool post = false;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queue_.push_back(std::move(a));
    post = !drainPosted_;
    drainPosted_ = true;
  }
  if (post) QMetaObject::invokeMethod(this, [this] { Drain(); }, Qt::QueuedConnection);
}

void QtPerson::Drain() {
  for (;;) {
    std::deque<Action> batch;
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      batch.swap(queue_);
      if (batch.empty()) {
        drainPosted_ = false;
        return;
      }
    }
    for (size_t i = 0; i < batch.size();) {
      if (batch[i].isLog) {
        // Lines for the same log in a row go into the memo in one append.
        const Log log = batch[i].log;
        QString text = Q(batch[i].text);
        size_t j = i + 1;
        for (; j < batch.size() && batch[j].isLog && batch[j].log == log; ++j) {
          text += QLatin1Char('\n');
          text += Q(batch[j].text);
        }
        window_.AppendLog(log, text);
        i = j;
      } else {
        batch[i].fn();
        ++i;
      }
    }
  }
}

template <typename R>
R QtPerson::OnUi(std::function<R()> f) {
  if (OnUiThread()) return f();
  std::promise<R> done;
  std::future<R> result = done.get_future();
  Post({false, Log::Scan, {}, [&] { done.set_value(f()); }});
  return result.get();
}

QString QtPerson::QtFilter(std::string_view filter) {
  QStringList parts = Q(filter).split(QLatin1Char('|'));
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString name = parts[i];
    QString patterns = parts[i + 1];
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    // "镜像文件(*.hdd;*.img)" already names its patterns: Qt takes the last
    // bracketed group as the patterns, so that group is rewritten in place.
    qsizetype open = name.lastIndexOf(QLatin1Char('('));
    if (name.endsWith(QLatin1Char(')')) && open > 0) name = name.left(open);
    out << name + QLatin1Char('(') + patterns + QLatin1Char(')');
  }
  return out.join(QStringLiteral(";;"));
}

void QtPerson::Message(std::string_view text, std::string_view caption, Icon icon) {
  std::string t(text), c(caption);
  OnUi<bool>([this, t, c, icon] {
    if (closing_) return false;
    if (script_) {
      script_->messages.push_back({t, c, icon});
      return true;
    }
    QMessageBox box(BoxIcon(icon), Q(c), Q(t), QMessageBox::Ok, &window_);
    box.setTextFormat(Qt::PlainText);  // text read from a disk is never markup
    box.exec();
    return true;
  });
}

bool QtPerson::Ask(std::string_view text, std::string_view caption) {
  std::string t(text), c(caption);
  return OnUi<bool>([this, t, c] {
    if (closing_) return false;
    if (script_) {
      script_->questions.push_back({t, c, Icon::None});
      if (script_->answers.empty()) return false;
      bool a = script_->answers.front();
      script_->answers.pop_front();
      return a;
    }
    QMessageBox box(QMessageBox::Question, Q(c), Q(t), QMessageBox::Yes | QMessageBox::No, &window_);
    box.setTextFormat(Qt::PlainText);
    return box.exec() == QMessageBox::Yes;
  });
}

std::optional<std::string> QtPerson::ChooseOpenFile(std::string_view title, std::string_view filter) {
  std::string t(title), f(filter);
  return OnUi<std::optional<std::string>>([this, t, f]() -> std::optional<std::string> {
    if (closing_) return std::nullopt;
    if (script_) {
      script_->dialogTitles.push_back(t);
      script_->dialogDefaults.push_back(f);
      if (script_->files.empty()) return std::nullopt;
      auto a = script_->files.front();
      script_->files.pop_front();
      return a;
    }
    QString name = QFileDialog::getOpenFileName(&window_, Q(t), QString(), QtFilter(f));
    if (name.isEmpty()) return std::nullopt;
    return S(name);
  });
}

std::optional<std::string> QtPerson::ChooseSaveFile(std::string_view title, std::string_view defaultName) {
  std::string t(title), d(defaultName);
  return OnUi<std::optional<std::string>>([this, t, d]() -> std::optional<std::string> {
    if (closing_) return std::nullopt;
    if (script_) {
      script_->dialogTitles.push_back(t);
      script_->dialogDefaults.push_back(d);
      if (script_->files.empty()) return std::nullopt;
      auto a = script_->files.front();
      script_->files.pop_front();
      return a;
    }
    // An empty default keeps the name the dialog last had.
    static QString lastName;
    QString name = QFileDialog::getSaveFileName(&window_, Q(t), d.empty() ? lastName : Q(d));
    if (name.isEmpty()) return std::nullopt;
    lastName = name;
    return S(name);
  });
}

std::optional<std::string> QtPerson::ChooseFolder(std::string_view title) {
  std::string t(title);
  return OnUi<std::optional<std::string>>([this, t]() -> std::optional<std::string> {
    if (closing_) return std::nullopt;
    if (script_) {
      script_->dialogTitles.push_back(t);
      script_->dialogDefaults.emplace_back();
      if (script_->files.empty()) return std::nullopt;
      auto a = script_->files.front();
      script_->files.pop_front();
      return a;
    }
    QString dir = QFileDialog::getExistingDirectory(&window_, Q(t), QString());
    if (dir.isEmpty()) return std::nullopt;
    return S(dir);
  });
}

void QtPerson::AddLog(Log log, std::string_view line) {
  if (OnUiThread()) {
    // Lines the worker queued earlier go first.
    Drain();
    window_.AppendLog(log, Q(line));
    return;
  }
  Post({true, log, std::string(line), {}});
}

void QtPerson::ClearLog(Log log) {
  if (OnUiThread()) {
    Drain();
    window_.ClearLogView(log);
    return;
  }
  Post({false, log, {}, [this, log] { window_.ClearLogView(log); }});
}

void QtPerson::SetGauge(int percent) {
  if (OnUiThread()) {
    window_.SetGaugeValue(percent);
    return;
  }
  Post({false, Log::Scan, {}, [this, percent] { window_.SetGaugeValue(percent); }});
}

void QtPerson::SetStatus(std::string_view text) {
  QString t = Q(text);
  if (OnUiThread()) {
    window_.SetStatusText(t);
    return;
  }
  Post({false, Log::Scan, {}, [this, t] { window_.SetStatusText(t); }});
}

void QtPerson::SetClipboard(std::string_view text) {
  QString t = Q(text);
  auto put = [t] { QGuiApplication::clipboard()->setText(t); };
  if (OnUiThread()) put();
  else Post({false, Log::Scan, {}, put});
}

void QtPerson::Breathe() {
  if (!OnUiThread()) return;
  // Long work calls this per unit; the window is pumped every 15 ms, which
  // keeps it responsive without spending the work's time on event handling.
  int64_t now = QDateTime::currentMSecsSinceEpoch();
  if (now - lastBreathe_ < 15) return;
  lastBreathe_ = now;
  QCoreApplication::processEvents();
}

void QtPerson::Changed(View view) {
  if (OnUiThread()) {
    Drain();
    window_.ViewChanged(view);
    return;
  }
  if (view == View::FragmentList) {
    fragmentsGrown_ = true;  // picked up by the window's timer
    return;
  }
  Post({false, Log::Scan, {}, [this, view] { window_.ViewChanged(view); }});
}

std::optional<size_t> QtPerson::AskContinuation(const std::vector<CandidateRow>& candidates,
                                                const CandidateRow& current, int& chosenRow) {
  return OnUi<std::optional<size_t>>([&]() -> std::optional<size_t> {
    if (closing_) return std::nullopt;
    return window_.AskContinuation(candidates, current, chosenRow);
  });
}

}  // namespace sorrelon::app
