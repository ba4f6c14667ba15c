#pragma once
// How much C stack the calling thread has left. Code that the host may re-enter without bound
// (a user __float__ that calls the module again, which calls the __float__ again) cannot rely on
// the host's recursion limit alone: the limit counts levels, not bytes, and a level's size
// depends on the compiler, the optimisation level and the sanitizers. Comparing the caller's
// frame address with the thread's stack bounds measures what is actually left.
//
// The bounds come from the thread library (for the main thread it derives them from the stack
// limit and the process's mappings) once per thread and are cached. A caller running on a stack
// of its own (a coroutine library's, say) lies outside those bounds; the room is then unknown.
// No Python here: the guard that uses it sits in the host boundary.

#include <cstddef>
#include <optional>

namespace tondra::base {

struct StackRoom {
  std::size_t left;  // bytes between the caller's frame and the stack's lowest usable address
  std::size_t size;  // the whole stack's size, for scaling a margin to small thread stacks
};

// The room on the calling thread's stack below the caller's frame; nothing when the bounds are
// unknown (the thread library cannot tell, or the caller is not on the thread's own stack).
// Assumes, as every platform we build for does, that the stack grows downwards.
std::optional<StackRoom> stack_room() noexcept;

}  // namespace tondra::base
