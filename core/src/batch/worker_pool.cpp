// A work-stealing pool of T threads, created once per process on first use
// and never torn down.
//
// A thread outside the pool that hands in a batch joins the pool for the
// batch's duration as a guest: it cuts the batch by recursive halving and
// computes its share like a worker, its queue open to the workers' stealing.
// So a batch never waits for a sleeping worker to wake for work the caller
// could do itself, and the caller never spins on a core the workers need.
// A thread that splits a range queues the right half at the back of its own
// queue and runs the left half itself; then it takes the right half back,
// unless an idle thread has taken it from the front of the queue meanwhile,
// in which case it helps with other queued work (or sleeps) until that half
// is finished. Whether a range is split depends on a budget: a range run by
// the thread that queued it splits only while its budget is positive,
// halving it; a range taken by another thread always splits, and its halves
// get at least T again; no range is split below the body's grain. Without
// stealing this cuts a batch into a few pieces per thread; stealing cuts busy
// regions further. Each index belongs to exactly one unsplit range, which one
// thread evaluates.
//
// Scheduling is guarded by one mutex. The number of queue operations per
// batch grows with T, not with the batch length, so the lock is taken a few
// dozen times per batch and never per element (but for a batch of costly
// elements, whose pieces the body caps at some milliseconds each: one split
// per piece). A worker that runs out of
// work polls the queues for a few tens of microseconds before it sleeps on
// its own condition variable: back-to-back small batches then pay no wake-up
// of a sleeping thread, while a pool without work sleeps. Queueing a task
// wakes one sleeping worker if the task is worth the wake-up (RangeFn::wake);
// a thread waiting for a half that another thread took polls for up to a
// millisecond before it sleeps, and finishing a task taken from another
// thread wakes the thread waiting for it if it sleeps. Halves are cut at
// multiples of the grain, so that a kernel that works in blocks gets whole
// blocks.
#include "batch/worker_pool.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif
#if defined(__linux__)
#include <sched.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace tarvik::pool {

namespace {

class Pool;

// How long an idle worker polls for new work before it sleeps.
constexpr std::chrono::microseconds kWorkerPoll{50};

// How long a thread whose queued half was taken by another polls for its
// completion (helping with any work that turns up) before it sleeps: long
// enough for a piece of a mid-sized batch, so that the threads of a batch
// seldom wait for one another to wake.
constexpr std::chrono::microseconds kJoinPoll{1000};

// The point where [lo, hi) is halved: the left half the multiple of the
// grain nearest to half the range (so that pieces hold whole blocks of the
// kernels that work in blocks), and at least one grain.
std::size_t split_point(std::size_t lo, std::size_t hi, std::size_t grain) {
  const std::size_t half = (hi - lo) / 2;
  const std::size_t rounded = (half + grain / 2) / grain * grain;
  return lo + (rounded < grain ? grain : rounded);
}

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Polls `ready` until it holds (true) or `budget` has passed (false).
template <class Ready>
bool poll_for(Ready ready, std::chrono::microseconds budget) {
  const auto deadline = std::chrono::steady_clock::now() + budget;
  for (unsigned i = 1;; ++i) {
    if (ready()) return true;
    cpu_relax();
    if (i % 64 == 0 && std::chrono::steady_clock::now() >= deadline) return false;
  }
}

// A range waiting in a queue. It lives on the stack of the thread that
// queued it, which does not return before the range is finished.
struct Task {
  RangeFn body;
  std::size_t lo;
  std::size_t hi;
  std::size_t budget;
  std::condition_variable* waiter;  // told when another thread has finished it
  std::atomic<bool> done{false};    // written under the pool mutex
};

struct Worker {
  Worker(Pool* p, std::size_t i) : pool(p), index(i) {}

  // Deeper than any chain of halvings of a batch that fits in memory; a
  // split that finds the queue full runs both halves itself.
  static constexpr std::size_t kCapacity = 128;

  Pool* pool;
  std::size_t index;
  const WaitFn* waiting = nullptr;  // a guest's call while it sleeps
  std::condition_variable cv;
  bool asleep = false;
  // Queued tasks as a ring, oldest at `head`: the owner pushes and pops at
  // the back, other workers take from the front.
  std::array<Task*, kCapacity> ring{};
  std::size_t head = 0;
  std::size_t count = 0;
};

thread_local Worker* tl_worker = nullptr;

class Pool {
 public:
  // Starts `threads` workers; nothing if any of them cannot be started (the
  // ones already running are then stopped again).
  static std::unique_ptr<Pool> start(std::size_t threads) {
    std::unique_ptr<Pool> pool;
    try {
      pool.reset(new Pool(threads));
      for (std::size_t i = 0; i < threads; ++i) {
        Worker* w = pool->workers_[i].get();
        pool->threads_.emplace_back([w] { w->pool->worker_main(*w); });
      }
    } catch (...) {
      if (pool) pool->stop();
      return nullptr;
    }
    for (std::thread& t : pool->threads_) t.detach();
    pool->threads_.clear();
    return pool;
  }

  std::size_t size() const { return workers_.size(); }

  void run(std::size_t n, RangeFn body, const WaitFn* waiting) {
    if (tl_worker != nullptr && tl_worker->pool == this) {
      // Already a member (a worker or a guest): cut the batch here. A guest
      // can be here through its own waiting call (a caller's signal handler
      // that runs a batch): while this batch lasts, its waiting call is this
      // batch's.
      Worker& w = *tl_worker;
      const WaitFn* outer = std::exchange(w.waiting, waiting);
      join(w, body, 0, split_point(0, n, body.grain()), n, size(), false);
      w.waiting = outer;
      return;
    }
    Worker guest(this, 0);
    guest.waiting = waiting;
    {
      std::lock_guard<std::mutex> g(mu_);
      guests_.push_back(&guest);
    }
    tl_worker = &guest;
    join(guest, body, 0, split_point(0, n, body.grain()), n, size(), false);
    tl_worker = nullptr;
    // Every task the guest queued is finished or taken back: nobody can be
    // looking at its queue once it is out of the list.
    std::lock_guard<std::mutex> g(mu_);
    guests_.erase(std::find(guests_.begin(), guests_.end(), &guest));
  }

 private:
  explicit Pool(std::size_t threads) {
    workers_.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) workers_.push_back(std::make_unique<Worker>(this, i));
    threads_.reserve(threads);
  }

  void stop() {
    {
      std::lock_guard<std::mutex> g(mu_);
      stopping_ = true;
      for (auto& w : workers_) w->cv.notify_all();
    }
    for (std::thread& t : threads_) t.join();
  }

  void worker_main(Worker& w) {
    tl_worker = &w;
    std::unique_lock<std::mutex> lock(mu_);
    help_until(w, lock, [&] { return stopping_; }, [] { return false; }, kWorkerPoll);
  }

  // Runs queued tasks until done() holds (asked under the lock). With
  // nothing to take, polls without the lock for up to `poll`, until work is
  // queued or ready() holds, then looks again under it, so that work queued
  // meanwhile is never missed; only then sleeps.
  template <class Done, class Ready>
  void help_until(Worker& w, std::unique_lock<std::mutex>& lock, Done done, Ready ready,
                  std::chrono::microseconds poll) {
    bool polled = false;
    while (!done()) {
      if (Task* task = take_locked(w)) {
        lock.unlock();
        execute(w, *task);
        lock.lock();
        polled = false;
      } else if (!polled) {
        lock.unlock();
        poll_for([&] { return ready() || pending_.load(std::memory_order_acquire) > 0; }, poll);
        lock.lock();
        polled = true;
      } else {
        sleep_locked(w, lock);
        polled = false;
      }
    }
  }

  // A task taken from a queue: the thread's own newest task, else the
  // oldest task of a worker, else the oldest task of a guest.
  Task* take_locked(Worker& w) {
    if (w.count > 0) {
      --w.count;
      pending_.fetch_sub(1, std::memory_order_relaxed);
      return w.ring[(w.head + w.count) % Worker::kCapacity];
    }
    const std::size_t t = size();
    for (std::size_t k = 0; k < t; ++k) {
      if (Task* task = steal_locked(*workers_[(w.index + k) % t], w)) return task;
    }
    for (Worker* guest : guests_) {
      if (Task* task = steal_locked(*guest, w)) return task;
    }
    return nullptr;
  }

  // The oldest task of v's queue, unless v is the thief itself.
  Task* steal_locked(Worker& v, const Worker& thief) {
    if (&v == &thief || v.count == 0) return nullptr;
    Task* task = v.ring[v.head];
    v.head = (v.head + 1) % Worker::kCapacity;
    --v.count;
    pending_.fetch_sub(1, std::memory_order_relaxed);
    return task;
  }

  // Sleeps until notified; a guest with a waiting call wakes at least every
  // period for it, made without the lock.
  void sleep_locked(Worker& w, std::unique_lock<std::mutex>& lock) {
    w.asleep = true;
    ++asleep_;
    if (w.waiting != nullptr) {
      w.cv.wait_for(lock, w.waiting->period());
    } else {
      w.cv.wait(lock);
    }
    if (w.asleep) {  // woken for its own task, by its period, or spuriously
      w.asleep = false;
      --asleep_;
    }
    if (w.waiting != nullptr) {
      lock.unlock();
      (*w.waiting)();
      lock.lock();
    }
  }

  // Marks one sleeping worker as woken and returns its condition variable,
  // to be notified once the lock is released (so that the worker does not
  // wake only to block on the lock). Workers live as long as the pool.
  std::condition_variable* pick_sleeper_locked() {
    if (asleep_ == 0) return nullptr;
    for (auto& w : workers_) {
      if (w->asleep) {
        w->asleep = false;
        --asleep_;
        return &w->cv;
      }
    }
    return nullptr;
  }

  // Runs a task that `w` took from another thread's queue, then tells that
  // thread, which may return (ending `task`) once the lock is released; its
  // condition variable stays until then.
  void execute(Worker& w, Task& task) {
    run_range(w, task.body, task.lo, task.hi, task.budget, true);
    std::condition_variable* waiter = task.waiter;
    std::unique_lock<std::mutex> lock(mu_);
    task.done = true;
    waiter->notify_all();
  }

  // Evaluates [lo, hi), split in halves while the budget allows, and always
  // while longer than the body's longest piece.
  void run_range(Worker& w, RangeFn body, std::size_t lo, std::size_t hi, std::size_t budget,
                 bool migrated) {
    const std::size_t len = hi - lo;
    if (len >= 2 * body.grain() && (migrated || budget > 0 || len > body.most())) {
      const std::size_t halves = migrated ? std::max(budget / 2, size()) : budget / 2;
      join(w, body, lo, split_point(lo, hi, body.grain()), hi, halves, false);
    } else {
      body(lo, hi);
    }
  }

  // Runs [lo, mid) here and [mid, hi) here or on whichever worker takes it.
  void join(Worker& w, RangeFn body, std::size_t lo, std::size_t mid, std::size_t hi,
            std::size_t budget, bool migrated) {
    Task right{body, mid, hi, budget, &w.cv};
    bool queued = false;
    std::condition_variable* sleeper = nullptr;
    {
      std::lock_guard<std::mutex> g(mu_);
      if (w.count < Worker::kCapacity) {
        w.ring[(w.head + w.count) % Worker::kCapacity] = &right;
        ++w.count;
        pending_.fetch_add(1, std::memory_order_release);
        queued = true;
        // A sleeping worker is woken only for a range worth its wake-up
        // (some tens of microseconds on a virtual machine); one that is
        // still polling takes any queued range.
        if (hi - mid >= body.wake()) sleeper = pick_sleeper_locked();
      }
    }
    if (sleeper != nullptr) sleeper->notify_one();
    run_range(w, body, lo, mid, budget, migrated);
    if (queued) {
      std::unique_lock<std::mutex> lock(mu_);
      // Everything queued after `right` has been taken back or finished, and
      // thieves take the oldest first: `right` is at the back or was taken.
      if (w.count > 0 && w.ring[(w.head + w.count - 1) % Worker::kCapacity] == &right) {
        --w.count;
        pending_.fetch_sub(1, std::memory_order_relaxed);
      } else {
        // Help with queued work until `right` is finished, polling long
        // before sleeping: a sleep would add this thread's wake-up to the
        // batch.
        const auto finished = [&] { return right.done.load(std::memory_order_acquire); };
        help_until(w, lock, finished, finished, kJoinPoll);
        return;
      }
    }
    run_range(w, body, mid, hi, budget, migrated);
  }

  std::mutex mu_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<std::thread> threads_;  // only until the start has succeeded
  std::vector<Worker*> guests_;       // callers computing their batches with the pool
  std::size_t asleep_ = 0;
  // Tasks in all queues; changed under mu_, read without it while polling.
  std::atomic<std::size_t> pending_{0};
  bool stopping_ = false;
};

// The process's pool, created once under `g_create_mu`.
std::atomic<Pool*> g_pool{nullptr};
std::mutex g_create_storage;
std::mutex* g_create_mu = &g_create_storage;

#if defined(__unix__) || defined(__APPLE__)
// A child of fork() has none of the pool's threads, and may have been forked
// while another thread held the creation lock or the pool's own lock. Leave
// the parent's pool and locks behind (leaked, never touched again) so that
// the child's first parallel batch starts a pool of its own under a fresh
// creation lock. No other lock of this file is taken outside a pool: the
// child's forking thread was in none of them (a pool's threads and its
// guests are all gone in the child, and none of them forks).
void forget_pool_in_child() {
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_create_mu = new std::mutex;
}

// The handler is registered when the library is loaded, before any thread
// can take the creation lock (a registration made under that lock, or behind
// a function-local static's guard, leaves a window in which a fork from
// another thread gives a child that lock held and no handler run).
[[maybe_unused]] const int g_fork_handler = pthread_atfork(nullptr, nullptr, forget_pool_in_child);
#endif

// Microseconds to sleep inside the creation lock, from the environment
// variable TARVIK_TEST_POOL_CREATE_DELAY_US read when the library is loaded:
// the tests widen the window in which a fork can find the lock held.
const unsigned long g_create_delay_us = [] {
  const char* text = std::getenv("TARVIK_TEST_POOL_CREATE_DELAY_US");
  const std::optional<std::size_t> us = parse_thread_count(text);
  return us ? static_cast<unsigned long>(*us) : 0UL;
}();

Pool* get_pool() {
  if (Pool* p = g_pool.load(std::memory_order_acquire)) return p;
  std::lock_guard<std::mutex> g(*g_create_mu);
  if (Pool* p = g_pool.load(std::memory_order_acquire)) return p;
  if (g_create_delay_us > 0)
    std::this_thread::sleep_for(std::chrono::microseconds(g_create_delay_us));
  const std::size_t threads =
      thread_count(std::getenv("TARVIK_NUM_THREADS"), std::getenv("RAYON_NUM_THREADS"),
                   std::getenv("RAYON_RS_NUM_CPUS"), hardware_threads());
  Pool* p = Pool::start(threads).release();
  if (p != nullptr) g_pool.store(p, std::memory_order_release);
  return p;
}

}  // namespace

void start() {
  if (get_pool() == nullptr) throw PoolUnavailable();
}

void run(std::size_t n, RangeFn body, const WaitFn* waiting) {
  if (n < 2 * body.grain()) {
    start();
    if (n > 0) body(0, n);
    return;
  }
  Pool* p = get_pool();
  if (p == nullptr) throw PoolUnavailable();
  p->run(n, body, waiting);
}

std::optional<std::size_t> parse_thread_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  const char* p = text;
  if (*p == '+') ++p;
  if (*p == '\0') return std::nullopt;
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  std::size_t value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    const auto digit = static_cast<std::size_t>(*p - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t thread_count(const char* tarvik_threads, const char* num_threads, const char* num_cpus,
                         std::size_t hardware) {
  const std::size_t fallback = hardware > 0 ? hardware : 1;
  if (const auto n = parse_thread_count(tarvik_threads)) return *n > 0 ? *n : fallback;
  if (const auto n = parse_thread_count(num_threads)) return *n > 0 ? *n : fallback;
  if (const auto n = parse_thread_count(num_cpus); n && *n > 0) return *n;
  return fallback;
}

std::size_t hardware_threads() {
#ifdef __linux__
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
#endif
  return std::thread::hardware_concurrency();
}

std::size_t size() {
  const Pool* p = g_pool.load(std::memory_order_acquire);
  return p != nullptr ? p->size() : 0;
}

}  // namespace tarvik::pool
