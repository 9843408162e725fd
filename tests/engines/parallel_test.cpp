// The thread budget of a library call: one thread inside a parallel region, a share of the team while
// other calls hold threads.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#ifdef NIMBREL_WITH_OPENMP
#include <omp.h>
#endif

#include "engines/parallel.hpp"

namespace nimbrel_arm_util::detail {
namespace {

#ifdef NIMBREL_WITH_OPENMP

TEST(ParallelBudget, OneThreadInsideAParallelRegion) {
  std::vector<int> granted(2, 0);
#pragma omp parallel num_threads(2)
  {
    ThreadBudget budget;
    granted[static_cast<std::size_t>(omp_get_thread_num())] = budget.team(1u << 30, 1);
  }
  EXPECT_EQ(granted, std::vector<int>(2, 1));
  EXPECT_EQ(ThreadBudget::callsRunning(), 0);
}

TEST(ParallelBudget, OverlappingCallsShareTheTeam) {
  // A team of four whatever the machine, in this thread and in the other caller's.
  omp_set_num_threads(4);
  {
    ThreadBudget first;
    ASSERT_EQ(first.threads(), 4);
    int nested = 0;
    {
      ThreadBudget inner;  // a step calling another on the same thread: not counted again
      nested = inner.slices(1u << 30, 1);
    }
    EXPECT_EQ(nested, 4);
    int second = 0;
    std::thread other([&second] {
      omp_set_num_threads(4);
      ThreadBudget budget;
      second = budget.threads();
    });
    other.join();
    EXPECT_EQ(second, 2);
  }
  EXPECT_EQ(ThreadBudget::callsRunning(), 0);
  ThreadBudget alone;
  EXPECT_EQ(alone.threads(), 4);
}

#else

TEST(ParallelBudget, OneThreadWithoutOpenMP) {
  ThreadBudget budget;
  EXPECT_EQ(budget.threads(), 1);
  EXPECT_EQ(budget.slices(1u << 30, 1), 1);
}

#endif

}  // namespace
}  // namespace nimbrel_arm_util::detail
