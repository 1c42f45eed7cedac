#pragma once
// The benchmarks' source of incompressible bytes: a fixed-seed xorshift, so
// every run builds the same archives.
#include <cstdint>
#include <cstring>
#include <string>

namespace tl::bench {

class PseudoRandom {
 public:
  std::uint64_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  std::uint64_t below(std::uint64_t n) { return next() % n; }
  std::string bytes(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; i += 8) {
      const std::uint64_t v = next();
      std::memcpy(&s[i], &v, n - i < 8 ? n - i : 8);
    }
    return s;
  }

 private:
  std::uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

}  // namespace tl::bench
