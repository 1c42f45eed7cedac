#pragma once
// What the two tar readers (the full one and the retained-archive unpacker)
// share of the format: the block size, the integer text that headers and
// records hold, and pax records "<length> <key>=<value>\n" one after
// another, so that both read an extended header the same way.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/result.h"

namespace tl {

// Headers are one block; data is padded with zeros to whole blocks.
inline constexpr std::size_t kTarBlockSize = 512;

// Unsigned integer text: an optional '+' (or '-' before a zero value), digits
// of the base, '_' between digits. Anything else is InvalidCharacter, a value
// beyond 64 bits Overflow.
[[nodiscard]] Result<std::uint64_t> parseTarIntegerText(std::string_view text, unsigned base);

struct PaxRecord {
  std::string_view key;
  std::string_view value;
};

// Takes the first record off `data` (which must not be empty); a record that
// does not follow the form is InvalidPaxRecord.
[[nodiscard]] Result<PaxRecord> takePaxRecord(std::string_view& data);

// GNU sparse records rename a member and change the meaning of its data.
bool isPaxSparseKey(std::string_view key);

}  // namespace tl
