#include "ranking/worker.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <atomic>
#include <system_error>
#include <utility>
#include <vector>

#include "system/fault_signals.h"

namespace tornavel {

worker::worker() {
  // The new thread inherits the mask. Signals raised by a thread's own faults are left open:
  // blocked, they would kill the process unhandled.
  sigset_t asynchronous, before;
  sigfillset(&asynchronous);
  for (const int fault : fault_signals) sigdelset(&asynchronous, fault);
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

namespace tornavel {

void run_beside(worker* helper, const std::function<void()>& there, const std::function<void()>& here) {
  if (helper != nullptr) return helper->run_beside(there, here);
  there();
  here();
}

namespace {

// The cores this process may run on (its affinity, as taskset or a container sets it).
std::size_t usable_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<std::size_t>(CPU_COUNT(&set));
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

struct helper_pool {
  std::mutex mutex;
  std::vector<worker*> idle;
  std::size_t started = 0;
  std::size_t most = usable_cores() - 1;
};

// Never destroyed: a helper may be lent out while the process ends. Replaced in a forked child,
// whose copy of the old one may hold a lock taken by a thread that did not come along.
std::atomic<helper_pool*> current_pool{nullptr};

extern "C" void forget_helpers_in_child() { current_pool.store(new helper_pool); }

helper_pool& pool() {
  static const bool registered = [] {
    current_pool.store(new helper_pool);
    pthread_atfork(nullptr, nullptr, forget_helpers_in_child);
    return true;
  }();
  (void)registered;
  return *current_pool.load();
}

}  // namespace

helper_lease::helper_lease() {
  helper_pool& p = pool();
  pool_ = &p;
  {
    const std::lock_guard lock(p.mutex);
    if (!p.idle.empty()) {
      helper_ = p.idle.back();
      p.idle.pop_back();
      return;
    }
    if (p.started >= p.most) return;
    ++p.started;
  }
  // Started outside the lock; a helper that got no thread still serves, on the caller's.
  try {
    helper_ = new worker;
  } catch (...) {
    const std::lock_guard lock(p.mutex);
    --p.started;
  }
}

helper_lease::~helper_lease() {
  if (helper_ == nullptr) return;
  auto& p = *static_cast<helper_pool*>(pool_);
  const std::lock_guard lock(p.mutex);
  p.idle.push_back(helper_);
}

}  // namespace tornavel
