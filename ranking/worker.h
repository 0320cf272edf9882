// A second thread for the two halves of a job, started once.
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
  // is rethrown once both are done (here's first).
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

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_WORKER_H_
