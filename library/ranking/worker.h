// A second thread for the two halves of a job, started once; and helpers for a library called
// from many threads at once.
#ifndef TORNAVEL_RANKING_WORKER_H_
#define TORNAVEL_RANKING_WORKER_H_

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace tornavel {

class worker {
 public:
  // Starts the thread if one can be had; without one (a process or memory limit), every job
  // runs whole on the calling thread, with the same results. The thread blocks every signal but
  // those its own faults raise, so that signals meant for the process reach the thread that
  // created the worker.
  worker();
  ~worker();
  worker(const worker&) = delete;
  worker& operator=(const worker&) = delete;

  bool has_thread() const { return thread_.joinable(); }

  // Runs there on the worker's thread and here on this one at the same time, and returns when
  // both are done; without a thread, runs there and then here. If either throws, the exception
  // is rethrown once both are done (here's first). One caller at a time.
  void run_beside(const std::function<void()>& there, const std::function<void()>& here);

 private:
  void serve();

  std::mutex mutex_;
  std::condition_variable changed_;
  const std::function<void()>* task_ = nullptr;  // set while a task waits or runs
  bool stopping_ = false;
  std::exception_ptr failure_;
  std::thread thread_;
};

// Runs there and here as helper->run_beside does, or one after the other without a helper.
void run_beside(worker* helper, const std::function<void()>& there, const std::function<void()>& here);

// The process's helpers, for callers on many threads at once (the Python module's): a call
// borrows a helper that no other call is using, so that none waits for another's work or gets
// it. Helpers are started once and kept for later calls, at most one fewer than the cores this
// process may run on; a call that finds none free, or a process on one core, works alone, with
// the same results. A child forked by a process that had helpers does not have their threads:
// it forgets them, without touching them, and starts its own when it first needs one.
class helper_lease {
 public:
  helper_lease();  // borrows one, if one is free or can be started
  ~helper_lease();
  helper_lease(const helper_lease&) = delete;
  helper_lease& operator=(const helper_lease&) = delete;

  // The helper, or nullptr: either may be given to the ranking.
  worker* get() const { return helper_; }

 private:
  worker* helper_ = nullptr;
  void* pool_ = nullptr;  // the pool it came from: a child's is not its parent's
};

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_WORKER_H_
