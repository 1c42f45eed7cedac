#pragma once
// The program's named errors, generated from errors.def, and their names.
#include <cstdint>
#include <string_view>

namespace tl {

enum class Error : std::uint16_t {
#define X(name) name,
#include "common/errors.def"
#undef X
};

// The error's name exactly as diagnostics show it.
constexpr std::string_view errorName(Error e) {
  switch (e) {
#define X(name) \
  case Error::name: return #name;
#include "common/errors.def"
#undef X
  }
  return "Unexpected";
}

}  // namespace tl
