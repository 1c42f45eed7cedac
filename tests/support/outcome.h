#pragma once
// A Status or Result as table rows compare it: "ok" or the error's name.
#include <string>

#include "common/result.h"

namespace tl::test {

template <class R>
std::string outcome(const R& r) {
  return r.ok() ? "ok" : std::string(errorName(r.error()));
}

}  // namespace tl::test
