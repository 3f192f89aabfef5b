#include "imaging/parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace finish {

namespace {

#ifdef NDEBUG
constexpr bool checked = false;
#else
constexpr bool checked = true;
#endif

// Whether this thread is running a body of parallelFor, for the check that a body
// does not call parallelFor.
thread_local bool inBody = false;

class InBody {
 public:
  InBody() { inBody = true; }
  ~InBody() { inBody = false; }
  InBody(const InBody&) = delete;
  InBody& operator=(const InBody&) = delete;
};

class Pool {
 public:
  explicit Pool(int threads) {
    for (int t = 1; t < threads; ++t) workers_.emplace_back([this] { work(); });
  }

  ~Pool() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  int threads() const { return int(workers_.size()) + 1; }

  void run(size_t count, size_t grain, const std::function<void(size_t, size_t)>& body) {
    // One job at a time: body_, count_, grain_ and next_ describe the current one.
    std::lock_guard caller(callers_);
    {
      std::lock_guard lock(mutex_);
      body_ = &body;
      count_ = count;
      grain_ = grain;
      next_.store(0);
      ++generation_;
    }
    wake_.notify_all();
    chunks();
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return busy_ == 0; });
    body_ = nullptr;
  }

 private:
  void chunks() {
    const InBody marked;
    for (;;) {
      const size_t begin = next_.fetch_add(grain_);
      if (begin >= count_) return;
      (*body_)(begin, std::min(begin + grain_, count_));
    }
  }

  void work() {
    uint64_t seen = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
      if (stop_) return;
      seen = generation_;
      if (!body_) continue;  // that job has already finished
      ++busy_;
      lock.unlock();
      chunks();
      lock.lock();
      if (--busy_ == 0) done_.notify_all();
    }
  }

  std::vector<std::thread> workers_;
  std::mutex callers_;  // held by the thread whose job the pool is doing
  std::mutex mutex_;    // guards the job's description, generation_, busy_ and stop_
  std::condition_variable wake_, done_;
  const std::function<void(size_t, size_t)>* body_ = nullptr;
  size_t count_ = 0, grain_ = 1;
  std::atomic<size_t> next_{0};
  uint64_t generation_ = 0;
  int busy_ = 0;
  bool stop_ = false;
};

int defaultThreads() { return int(std::clamp(std::thread::hardware_concurrency(), 1u, 64u)); }

std::mutex poolMutex;  // guards the pool's creation and replacement
std::unique_ptr<Pool> pool;
int wanted = 0;  // 0: the number of cores

Pool& thePool() {
  std::lock_guard lock(poolMutex);
  if (!pool) pool = std::make_unique<Pool>(wanted > 0 ? wanted : defaultThreads());
  return *pool;
}

}  // namespace

int threadCount() { return thePool().threads(); }

void setThreadCount(int count) {
  std::lock_guard lock(poolMutex);
  wanted = std::max(count, 0);
  pool.reset();
}

size_t grainFor(size_t count, size_t least) {
  const size_t threads = size_t(threadCount());
  return std::max(least, count / (threads * 4) + 1);
}

void parallelFor(size_t count, size_t grain, const std::function<void(size_t, size_t)>& body) {
  if (checked && inBody) {
    std::fputs("quillore-finish: parallelFor called from inside a body of parallelFor\n", stderr);
    std::abort();
  }
  if (count == 0) return;
  grain = std::max<size_t>(grain, 1);
  Pool& p = thePool();
  if (p.threads() == 1 || count <= grain) {
    const InBody marked;
    for (size_t begin = 0; begin < count; begin += grain) body(begin, std::min(begin + grain, count));
    return;
  }
  p.run(count, grain, body);
}

}  // namespace finish
