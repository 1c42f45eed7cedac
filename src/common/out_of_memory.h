#pragma once
// Allocation failure as a value. It is caught where a road begins, and where
// a failure road must still run after it (a stage to delete, a fallback to
// take, a warning to give and go on), never around each function.
#include <new>
#include <utility>

#include "common/result.h"

namespace tl {

// Runs f (returning a Result or a Status); a std::bad_alloc it throws comes
// back as OutOfMemory.
template <class F>
auto catchingOutOfMemory(F&& f) -> decltype(std::forward<F>(f)()) {
  try {
    return std::forward<F>(f)();
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
}

}  // namespace tl
