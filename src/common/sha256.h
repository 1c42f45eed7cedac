#pragma once
// Incremental SHA-256 with a lowercase hexadecimal digest.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/hex.h"

namespace tl {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::string_view bytes);
  void update(const void* data, std::size_t n);
  std::array<std::uint8_t, 32> finish();
  std::string finishHex();

  static std::array<std::uint8_t, 32> digest(std::string_view bytes);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The digest of a byte buffer as 64 lowercase hexadecimal digits.
std::string sha256Hex(std::string_view bytes);
// 64 lowercase hexadecimal digits, as sha256Hex writes them.
inline bool isSha256Hex(std::string_view text) { return isLowerHexOfLength(text, 64); }

}  // namespace tl
