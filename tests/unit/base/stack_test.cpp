#include "base/stack.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstddef>
#include <optional>

namespace {

using tondra::base::StackRoom;

constexpr std::size_t kThreadStack = std::size_t{512} << 10;

// The room at `depth` frames further down, each holding a 1 KiB buffer whose address escapes
// after the inner call, so that no compiler can drop the buffer or turn the recursion into a loop.
[[gnu::noinline]] std::optional<StackRoom> room_below(int depth) {
  char buffer[1024];
  buffer[0] = static_cast<char>(depth);
  if (depth == 0) return tondra::base::stack_room();
  std::optional<StackRoom> room = room_below(depth - 1);
  __asm__ volatile("" : : "r"(buffer) : "memory");
  return room;
}

struct ThreadOutcome {
  std::optional<StackRoom> shallow;
  std::optional<StackRoom> deep;
};

void* measure(void* out) {
  auto* outcome = static_cast<ThreadOutcome*>(out);
  outcome->shallow = room_below(0);
  outcome->deep = room_below(64);
  return nullptr;
}

TEST(StackRoom, MeasuresAThreadsOwnStackAndShrinksWithDepth) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, kThreadStack), 0);
  ThreadOutcome outcome;
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, measure, &outcome), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);

  ASSERT_TRUE(outcome.shallow.has_value());
  ASSERT_TRUE(outcome.deep.has_value());
  // The size is the one the thread was given (the library may round it up to whole pages); the
  // room is less than that, and 64 more frames of at least 1 KiB each take at least 64 KiB.
  EXPECT_GE(outcome.shallow->size, kThreadStack);
  EXPECT_LT(outcome.shallow->size, kThreadStack + (std::size_t{64} << 10));
  EXPECT_LT(outcome.shallow->left, outcome.shallow->size);
  EXPECT_GE(outcome.shallow->left - outcome.deep->left, std::size_t{64} << 10);
}

TEST(StackRoom, IsKnownOnTheMainThread) {
  const std::optional<StackRoom> room = tondra::base::stack_room();
  ASSERT_TRUE(room.has_value());
  EXPECT_GT(room->left, 0u);
  EXPECT_LE(room->left, room->size);
}

}  // namespace
