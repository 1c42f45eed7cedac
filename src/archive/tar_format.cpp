#include "archive/tar_format.h"

#include <limits>

namespace tl {

Result<std::uint64_t> parseTarIntegerText(std::string_view text, unsigned base) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() == '_' || text.back() == '_') return Error::InvalidCharacter;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c == '_') continue;
    if (c < '0' || static_cast<unsigned>(c - '0') >= base) return Error::InvalidCharacter;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / base) return Error::Overflow;
    value = value * base + digit;
  }
  if (negative && value != 0) return Error::InvalidCharacter;
  return value;
}

Result<PaxRecord> takePaxRecord(std::string_view& data) {
  const std::size_t space = data.find(' ');
  if (space == std::string_view::npos) return Error::InvalidPaxRecord;
  const Result<std::uint64_t> length = parseTarIntegerText(data.substr(0, space), 10);
  if (!length) return Error::InvalidPaxRecord;
  // Each record is at least "<digits> k=\n" long, so a walk always moves
  // forward and ends.
  if (*length < space + 4 || *length > data.size()) return Error::InvalidPaxRecord;
  const std::string_view record = data.substr(0, static_cast<std::size_t>(*length));
  if (record.back() != '\n') return Error::InvalidPaxRecord;
  const std::string_view body = record.substr(space + 1, record.size() - space - 2);
  const std::size_t equals = body.find('=');
  if (equals == std::string_view::npos) return Error::InvalidPaxRecord;
  data.remove_prefix(record.size());
  return PaxRecord{body.substr(0, equals), body.substr(equals + 1)};
}

bool isPaxSparseKey(std::string_view key) { return key.substr(0, 10) == "GNU.sparse"; }

}  // namespace tl
