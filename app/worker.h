// The worker thread of the long operations (the scan and the automatic
// analysis). Each is created for one operation and runs its body under a
// process-wide semaphore with one slot, so a second start waits for the first
// to end. Operations the window runs on its own thread (the asking analysis,
// SEARCH MORE, CHECK, CREATE MDF, saving, opening, exporting) take the same
// slot while they run, so no two of them ever touch the catalogue or the
// source at once.
#pragma once

#include <QSemaphore>
#include <QThread>

#include <atomic>

#include <functional>

namespace sorrelon::app {

class TMyThread : public QThread {
  Q_OBJECT
 public:
  enum class Mode { Scan, Analysis };

  TMyThread(Mode mode, std::function<void()> body, QObject* parent = nullptr)
      : QThread(parent), mode_(mode), body_(std::move(body)) {}

  Mode mode() const { return mode_; }
  // True once the body holds the slot (it may still be waiting before).
  bool started() const { return started_; }

  // workerSemaphore: one holder at a time.
  static QSemaphore& Semaphore() {
    static QSemaphore semaphore(1);
    return semaphore;
  }

 protected:
  void run() override {
    Semaphore().acquire();
    started_ = true;
    body_();
    Semaphore().release();
  }

 private:
  Mode mode_;
  std::function<void()> body_;
  std::atomic<bool> started_{false};
};

}  // namespace sorrelon::app
