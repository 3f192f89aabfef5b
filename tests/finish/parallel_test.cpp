// The pool behind parallelFor: every chunk done once, for each of several callers at
// once; a body that calls parallelFor stopped in builds with assertions.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "imaging/parallel.h"

using namespace finish;

namespace {

class Parallel : public ::testing::Test {
 protected:
  void SetUp() override { setThreadCount(3); }
  void TearDown() override { setThreadCount(0); }
};

}  // namespace

TEST_F(Parallel, EveryItemOnceInChunksOfAtMostTheGrain) {
  for (const size_t count : {size_t(1), size_t(7), size_t(1000), size_t(100003)})
    for (const size_t grain : {size_t(0), size_t(1), size_t(64), size_t(200000)}) {
      std::vector<std::atomic<int>> seen(count);
      std::atomic<bool> oversized{false};
      parallelFor(count, grain, [&](size_t begin, size_t end) {
        if (end - begin > std::max<size_t>(grain, 1)) oversized = true;
        for (size_t i = begin; i < end; ++i) ++seen[i];
      });
      EXPECT_FALSE(oversized) << count << " by " << grain;
      for (size_t i = 0; i < count; ++i) ASSERT_EQ(seen[i].load(), 1) << i << " of " << count << " by " << grain;
    }
}

// The renders are decoded on threads of their own: calls from several threads at
// once each get all of their own chunks and none of another's.
TEST_F(Parallel, CallersOnSeveralThreadsEachGetTheirOwnWork) {
  constexpr int callers = 3, rounds = 200;
  constexpr size_t count = 5000;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < callers; ++t)
    threads.emplace_back([&, t] {
      std::vector<std::atomic<int>> seen(count);
      for (int round = 1; round <= rounds; ++round) {
        parallelFor(count, 97, [&](size_t begin, size_t end) {
          for (size_t i = begin; i < end; ++i) seen[i] += t + 1;
        });
        for (size_t i = 0; i < count; ++i)
          if (seen[i].load() != round * (t + 1)) ++wrong;
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(Parallel, ABodyThatCallsParallelForStopsTheProcess) {
#ifdef NDEBUG
  GTEST_SKIP() << "checked only in builds with assertions";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(parallelFor(100, 10, [](size_t, size_t) { parallelFor(4, 1, [](size_t, size_t) {}); }),
               "parallelFor called from inside a body of parallelFor");
#endif
}
