// The team: every item done exactly once whatever the number of threads; a stop reaches an item
// that runs on any thread; an exception that escapes a job comes back to the caller, and only
// after every helper has ended.

#include "engine/team.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/stop.hpp"

namespace tondra::kit {
namespace {

constexpr std::chrono::milliseconds kPoll{1};
const std::function<bool()> kAlways = [] { return true; };

TEST(Team, EveryItemIsDoneOnceWhateverTheThreadsAndTakes) {
  for (const unsigned threads : {1U, 2U, 3U, 8U}) {
    for (const std::size_t take : {std::size_t{1}, std::size_t{7}}) {
      constexpr std::size_t kItems = 1000;
      std::vector<std::atomic<int>> done(kItems);
      std::atomic<unsigned> highest_worker{0};
      const TeamPlan plan{threads, take, kPoll};
      const bool finished = run_team(
          kItems, plan,
          [&](unsigned worker, std::size_t item) {
            done[item].fetch_add(1);
            unsigned seen = highest_worker.load();
            while (worker > seen && !highest_worker.compare_exchange_weak(seen, worker)) {
            }
            return std::size_t{1};
          },
          kAlways);
      EXPECT_TRUE(finished);
      for (const auto& count : done) EXPECT_EQ(count.load(), 1);
      EXPECT_LT(highest_worker.load(), team_threads(kItems, plan));
    }
  }
  EXPECT_EQ(team_threads(0, TeamPlan{4, 1, kPoll}), 1U);
  EXPECT_EQ(team_threads(10, TeamPlan{8, 4, kPoll}), 3U);  // no more threads than takes
}

TEST(Team, NoItemsIsFinishedAtOnce) {
  EXPECT_TRUE(run_team(
      0, TeamPlan{4, 1, kPoll},
      [](unsigned, std::size_t) -> std::size_t { throw std::logic_error("no"); }, kAlways));
}

TEST(Team, AStopReachesALongItemOnAnyThread) {
  // Every item runs until a stop reaches it from inside, so the caller must keep asking while
  // it waits for a helper that is on one.
  std::atomic<int> asked{0};
  std::atomic<int> stopped_inside{0};
  const bool finished = run_team(
      4, TeamPlan{2, 1, kPoll},
      [&](unsigned, std::size_t) -> std::size_t {
        try {
          for (;;) {
            base::poll_stop(1 << 20);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
          }
        } catch (const base::Stopped&) {
          ++stopped_inside;
          throw;
        }
      },
      [&] { return ++asked < 5; });
  EXPECT_FALSE(finished);
  EXPECT_GE(asked.load(), 5);
  EXPECT_GE(stopped_inside.load(), 1);
  EXPECT_LE(stopped_inside.load(), 2);  // one item per thread at the most: none starts after
}

TEST(Team, AnExceptionEscapingAJobReachesTheCallerAfterTheHelpersEnd) {
  for (const std::size_t failing : {std::size_t{0}, std::size_t{500}}) {
    std::atomic<int> running{0};
    std::atomic<int> running_at_end{-1};
    try {
      (void)run_team(
          1000, TeamPlan{3, 1, kPoll},
          [&](unsigned, std::size_t item) {
            ++running;
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            --running;
            if (item == failing) throw std::runtime_error("job failed");
            return std::size_t{1};
          },
          kAlways);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      running_at_end = running.load();
      EXPECT_STREQ(e.what(), "job failed");
    }
    EXPECT_EQ(running_at_end.load(), 0);
  }
}

}  // namespace
}  // namespace tondra::kit
