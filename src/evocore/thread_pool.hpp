#pragma once
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "cpu_count.hpp"
#include "error.hpp"
#include "interrupt.hpp"
#include "rng.hpp"

namespace evocore {

// Process-wide pool of worker threads, created on first use. The thread that
// submits a loop waits for it; it does not take part. A forked child starts
// with no threads, so it leaves the parent's pool behind and makes its own on
// first use.
class ThreadPool {
 public:
  static ThreadPool& instance() {
    if (ThreadPool* pool = current().load(std::memory_order_acquire)) return *pool;
    std::lock_guard lock(creation_mutex());
    ThreadPool* pool = current().load(std::memory_order_relaxed);
    if (!pool) {
      static const bool fork_handlers = register_fork_handlers();
      (void)fork_handlers;
      // Leaked on purpose: workers must outlive static destruction at exit.
      pool = new ThreadPool(available_cpus());
      current().store(pool, std::memory_order_release);
    }
    return *pool;
  }

  size_t size() const { return worker_count_; }

  // Runs body(i) for i in [0, n). When an element fails, no new elements are
  // started; the ones under way finish, and the first failure is rethrown.
  // Without workers (none could be started) the caller runs the loop itself.
  void run(size_t n, const std::function<void(size_t)>& body) {
    if (n == 0) return;
    if (in_worker || worker_count_ == 0) return run_inline(n, body);
    auto job = std::make_shared<Job>(n, body, interrupt_request, deadline);
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(job);
    }
    work_ready_.notify_all();
    std::unique_lock lock(job->mutex);
    job->finished.wait(lock, [&] { return job->done(); });
    if (job->failed) rethrow_as_engine_failure(job->first_error);
  }

  // Out-of-memory, refusals, interruptions and engine failures keep their
  // kind; any other failure of an element becomes an InternalError.
  [[noreturn]] static void rethrow_as_engine_failure(const std::exception_ptr& failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const InvalidInput&) {
      throw;
    } catch (const Interrupted&) {
      throw;
    } catch (const DeadlinePassed&) {
      throw;
    } catch (const InternalError&) {
      throw;
    } catch (const std::exception& e) {
      throw InternalError(e.what());
    } catch (...) {
      throw InternalError("unknown failure in a parallel loop");
    }
  }

 private:
  struct Job {
    Job(size_t count, const std::function<void(size_t)>& fn, const std::atomic<bool>* request,
        Clock::time_point until)
        : n(count), body(fn), interrupt(request), deadline(until) {}
    const size_t n;
    const std::function<void(size_t)>& body;
    const std::atomic<bool>* const interrupt;  // the submitter's interrupt request
    const Clock::time_point deadline;          // the submitter's deadline
    std::atomic<bool> stopping{false};         // set at the first failure; unstarted elements are skipped
    std::mutex mutex;
    std::condition_variable finished;
    // All below guarded by mutex.
    size_t next = 0;       // next element to hand out
    size_t completed = 0;  // elements handed out and finished or skipped
    bool failed = false;   // once set, no further element is handed out
    std::exception_ptr first_error;
    bool done() const { return failed ? completed == next : completed == n; }
  };

  // Elements [begin, end) of one job, claimed together.
  struct Chunk {
    std::shared_ptr<Job> job;
    size_t begin = 0;
    size_t end = 0;
  };

  static std::atomic<ThreadPool*>& current() {
    static std::atomic<ThreadPool*> pool{nullptr};
    return pool;
  }

  static std::mutex& creation_mutex() {
    static std::mutex mutex;
    return mutex;
  }

  // The child of a fork keeps the parent's pool object but none of its
  // threads; it forgets the pool (leaking it, its locks may be held) and
  // reseeds the forking thread's generator.
  static bool register_fork_handlers() {
    pthread_atfork([] { creation_mutex().lock(); }, [] { creation_mutex().unlock(); },
                   [] {
                     current().store(nullptr, std::memory_order_relaxed);
                     creation_mutex().unlock();
                     note_fork();
                   });
    return true;
  }

  // Starts up to `threads` workers; when the system refuses a thread the pool
  // keeps the ones already running. Some address space is held back while they
  // start: where a memory limit stops the thread stacks, the workers and the
  // caller still have room for what they allocate later (thread-local data
  // among it, which the C library cannot do without).
  explicit ThreadPool(size_t threads) {
    constexpr size_t kHeadroom = size_t{64} << 20;
    void* headroom = mmap(nullptr, kHeadroom, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    for (size_t i = 0; i < threads; ++i) {
      try {
        std::thread([this, i] { worker_loop(i + 1); }).detach();
      } catch (const std::system_error&) {
        break;
      }
      worker_count_ = i + 1;
    }
    if (headroom != MAP_FAILED) munmap(headroom, kHeadroom);
  }

  static void run_inline(size_t n, const std::function<void(size_t)>& body) {
    try {
      for (size_t i = 0; i < n; ++i) {
        check_interrupt();
        body(i);
      }
    } catch (...) {
      rethrow_as_engine_failure(std::current_exception());
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
    const size_t share = std::max<size_t>(1, (job.n - job.next) / (4 * worker_count_));
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
    const InterruptRequestScope lent(job.interrupt);
    const DeadlineScope lent_deadline(job.deadline);
    std::exception_ptr error;
    for (size_t i = chunk.begin; !error && i < chunk.end && !job.stopping.load(std::memory_order_relaxed);
         ++i) {
      try {
        check_interrupt();
        job.body(i);
      } catch (...) {
        error = std::current_exception();
      }
    }
    if (error) job.stopping.store(true);
    std::lock_guard lock(job.mutex);
    if (error && !job.failed) {
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
  size_t worker_count_ = 0;
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
