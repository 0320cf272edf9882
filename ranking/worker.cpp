#include "ranking/worker.h"

#include <signal.h>

#include <system_error>
#include <utility>

namespace tornavel {

worker::worker() {
  // The new thread inherits the mask. Signals raised by a thread's own faults are left open:
  // blocked, they would kill the process unhandled.
  sigset_t asynchronous, before;
  sigfillset(&asynchronous);
  for (int fault : {SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP, SIGSYS}) sigdelset(&asynchronous, fault);
  pthread_sigmask(SIG_BLOCK, &asynchronous, &before);
  try {
    thread_ = std::thread([this] { serve(); });
  } catch (const std::system_error&) {
    // No thread to be had: run_beside does both halves here.
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

worker::~worker() {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void worker::serve() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || task_ != nullptr; });
    if (task_ == nullptr) return;
    lock.unlock();
    std::exception_ptr failure;
    try {
      (*task_)();
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    failure_ = failure;
    task_ = nullptr;
    changed_.notify_all();
  }
}

void worker::run_beside(const std::function<void()>& there, const std::function<void()>& here) {
  if (!has_thread()) {
    there();
    here();
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    task_ = &there;
  }
  changed_.notify_all();
  std::exception_ptr here_failure;
  try {
    here();
  } catch (...) {
    here_failure = std::current_exception();
  }
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return task_ == nullptr; });
  const std::exception_ptr there_failure = std::exchange(failure_, nullptr);
  lock.unlock();
  if (here_failure) std::rethrow_exception(here_failure);
  if (there_failure) std::rethrow_exception(there_failure);
}

}  // namespace tornavel
