#pragma once
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cpu_count.hpp"
#include "error.hpp"
#include "rng.hpp"

namespace evocore {

// Process-wide pool of worker threads, created on first use. The thread that
// submits a loop waits for it; it does not take part.
class ThreadPool {
 public:
  static ThreadPool& instance() {
    // Leaked on purpose: workers must outlive static destruction at exit.
    static ThreadPool* pool = new ThreadPool(available_cpus());
    return *pool;
  }

  size_t size() const { return workers_.size(); }

  // Runs body(i) for i in [0, n). When an element fails, no new elements are
  // started; the ones under way finish, and InternalError carries the first
  // failure's text.
  void run(size_t n, const std::function<void(size_t)>& body) {
    if (n == 0) return;
    if (in_worker) return run_inline(n, body);
    auto job = std::make_shared<Job>(n, body);
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(job);
    }
    work_ready_.notify_all();
    std::unique_lock lock(job->mutex);
    job->finished.wait(lock, [&] { return job->done(); });
    if (job->failed) throw InternalError(job->first_error);
  }

 private:
  struct Job {
    Job(size_t count, const std::function<void(size_t)>& fn) : n(count), body(fn) {}
    const size_t n;
    const std::function<void(size_t)>& body;
    std::atomic<bool> stopping{false};  // set at the first failure; unstarted elements are skipped
    std::mutex mutex;
    std::condition_variable finished;
    // All below guarded by mutex.
    size_t next = 0;       // next element to hand out
    size_t completed = 0;  // elements handed out and finished or skipped
    bool failed = false;   // once set, no further element is handed out
    std::string first_error;
    bool done() const { return failed ? completed == next : completed == n; }
  };

  // Elements [begin, end) of one job, claimed together.
  struct Chunk {
    std::shared_ptr<Job> job;
    size_t begin = 0;
    size_t end = 0;
  };

  explicit ThreadPool(size_t threads) {
    for (size_t i = 0; i < threads; ++i) workers_.emplace_back([this, i] { worker_loop(i + 1); });
    for (auto& worker : workers_) worker.detach();
  }

  static void run_inline(size_t n, const std::function<void(size_t)>& body) {
    for (size_t i = 0; i < n; ++i) {
      try {
        body(i);
      } catch (const std::exception& e) {
        throw InternalError(e.what());
      } catch (...) {
        throw InternalError("unknown failure in a parallel loop");
      }
    }
  }

  // Claims the next elements of the front job: a share of what is left that
  // shrinks as the job drains (few lock round trips for fine-grained loops,
  // balanced ends for coarse ones). False when that job has nothing left.
  bool claim(Chunk& chunk) {
    std::unique_lock lock(mutex_);
    work_ready_.wait(lock, [&] { return !queue_.empty(); });
    chunk.job = queue_.front();
    Job& job = *chunk.job;
    std::lock_guard job_lock(job.mutex);
    if (job.failed || job.next >= job.n) {
      queue_.pop_front();
      return false;
    }
    const size_t share = std::max<size_t>(1, (job.n - job.next) / (4 * workers_.size()));
    chunk.begin = job.next;
    chunk.end = job.next = std::min(job.n, job.next + share);
    if (job.next == job.n) queue_.pop_front();
    return true;
  }

  void worker_loop(size_t ordinal) {
    in_worker = true;
    set_thread_ordinal(ordinal);
    for (;;) {
      Chunk chunk;
      if (claim(chunk)) execute(chunk);
    }
  }

  static void execute(const Chunk& chunk) {
    Job& job = *chunk.job;
    std::string error;
    bool ok = true;
    for (size_t i = chunk.begin; ok && i < chunk.end && !job.stopping.load(std::memory_order_relaxed); ++i) {
      try {
        job.body(i);
      } catch (const std::exception& e) {
        ok = false;
        error = e.what();
      } catch (...) {
        ok = false;
        error = "unknown failure in a parallel loop";
      }
    }
    if (!ok) job.stopping.store(true);
    std::lock_guard lock(job.mutex);
    if (!ok && !job.failed) {
      job.failed = true;
      job.first_error = error;
    }
    job.completed += chunk.end - chunk.begin;
    if (job.done()) job.finished.notify_all();
  }

  static inline thread_local bool in_worker = false;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::deque<std::shared_ptr<Job>> queue_;
  std::vector<std::thread> workers_;
};

template <class F>
void parallel_for(size_t n, F&& body) {
  const std::function<void(size_t)> fn = std::forward<F>(body);
  ThreadPool::instance().run(n, fn);
}

// Results stored by position, so the outcome does not depend on scheduling.
template <class R, class F>
std::vector<R> parallel_map(size_t n, F&& body) {
  std::vector<R> results(n);
  parallel_for(n, [&](size_t i) { results[i] = body(i); });
  return results;
}

}  // namespace evocore
