#pragma once
// A small in-memory tar writer for tests: ustar headers with correct
// checksums, pax ('x'/'g') and GNU long-name ('L'/'K') extension headers, and
// raw overrides of any header byte for hostile archives.
//
//   std::string tar = tl::test::TarBuilder()
//       .dir("app")
//       .file("app/a", "abc")
//       .symlink("app/l", "a")
//       .end()
//       .bytes();
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tl::test {

inline constexpr std::size_t kTarBlock = 512;

// One header block. Fields hold their bytes; numbers are written as octal
// text (base-256 when they do not fit) unless a raw field text is given.
struct TarHeader {
  std::string name;
  std::uint32_t mode = 0644;
  std::uint64_t size = 0;
  char typeflag = '0';
  std::string linkname;
  std::string prefix;
  // "ustar\0" + "00" is POSIX ustar; gnu() gives "ustar " + " \0".
  std::string magic = std::string("ustar\0", 6);
  std::string version = "00";
  std::uint64_t mtime = 0;
  // Raw text for a number field, written as is (padded with NUL bytes).
  std::optional<std::string> modeField;
  std::optional<std::string> sizeField;
  std::optional<std::string> checksumField;  // replaces the computed checksum
  // Byte overrides applied before the checksum is computed.
  std::vector<std::pair<std::size_t, std::string>> patches;
  // Byte overrides applied after the checksum is computed (break it on purpose).
  std::vector<std::pair<std::size_t, std::string>> postPatches;

  TarHeader& gnu() {
    magic = std::string("ustar ", 6);
    version = std::string(" \0", 2);
    return *this;
  }
};

inline void tarPutField(std::string& block, std::size_t offset, std::size_t length, const std::string& text) {
  for (std::size_t i = 0; i < length && i < text.size(); ++i) block[offset + i] = text[i];
}

// Octal text of `digits` digits and a NUL, or base-256 when too large.
inline std::string tarNumberField(std::uint64_t value, std::size_t length) {
  const std::size_t digits = length - 1;
  if (digits < 22 && value >> (3 * digits) != 0) {
    std::string out(length, '\0');
    out[0] = static_cast<char>(0x80);
    for (std::size_t i = length - 1; i > 0 && value != 0; --i) {
      out[i] = static_cast<char>(value & 0xFF);
      value >>= 8;
    }
    return out;
  }
  std::string out(digits, '0');
  for (std::size_t i = digits; i > 0; --i) {
    out[i - 1] = static_cast<char>('0' + (value & 7));
    value >>= 3;
  }
  out.push_back('\0');
  return out;
}

// Unsigned sum of the block with the checksum field counted as spaces.
inline std::uint32_t tarHeaderSum(const std::string& block) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kTarBlock; ++i) {
    sum += (i >= 148 && i < 156) ? 0x20u : static_cast<unsigned char>(block[i]);
  }
  return sum;
}

inline std::string tarHeaderBlock(const TarHeader& h) {
  std::string b(kTarBlock, '\0');
  tarPutField(b, 0, 100, h.name);
  tarPutField(b, 100, 8, h.modeField ? *h.modeField : tarNumberField(h.mode, 8));
  tarPutField(b, 108, 8, tarNumberField(0, 8));
  tarPutField(b, 116, 8, tarNumberField(0, 8));
  tarPutField(b, 124, 12, h.sizeField ? *h.sizeField : tarNumberField(h.size, 12));
  tarPutField(b, 136, 12, tarNumberField(h.mtime, 12));
  b[156] = h.typeflag;
  tarPutField(b, 157, 100, h.linkname);
  tarPutField(b, 257, 6, h.magic);
  tarPutField(b, 263, 2, h.version);
  tarPutField(b, 345, 155, h.prefix);
  for (const auto& [offset, bytes] : h.patches) tarPutField(b, offset, bytes.size(), bytes);
  if (h.checksumField) {
    tarPutField(b, 148, 8, std::string(8, '\0'));
    tarPutField(b, 148, 8, *h.checksumField);
  } else {
    std::string sum = tarNumberField(tarHeaderSum(b), 7);  // six digits and a NUL
    sum.push_back(' ');
    tarPutField(b, 148, 8, sum);
  }
  for (const auto& [offset, bytes] : h.postPatches) tarPutField(b, offset, bytes.size(), bytes);
  return b;
}

inline std::size_t tarPadded(std::size_t n) { return (n + kTarBlock - 1) / kTarBlock * kTarBlock; }

// One pax record "<len> key=value\n" with its length counting itself.
inline std::string paxRecord(const std::string& key, const std::string& value) {
  const std::size_t body = 1 + key.size() + 1 + value.size() + 1;
  std::size_t len = body + 1;
  while (std::to_string(len).size() + body != len) ++len;
  return std::to_string(len) + " " + key + "=" + value + "\n";
}

class TarBuilder {
 public:
  // A header followed by data and its fill bytes (filled with `fill`).
  TarBuilder& entry(const TarHeader& h, const std::string& data = {}, char fill = '\0') {
    out_ += tarHeaderBlock(h);
    out_ += data;
    out_.append(tarPadded(data.size()) - data.size(), fill);
    return *this;
  }

  TarBuilder& dir(const std::string& name, std::uint32_t mode = 0755) {
    TarHeader h;
    h.typeflag = '5';
    h.mode = mode;
    return named(h, name);
  }

  TarBuilder& file(const std::string& name, const std::string& data, std::uint32_t mode = 0644) {
    TarHeader h;
    h.typeflag = '0';
    h.mode = mode;
    h.size = data.size();
    return named(h, name, data);
  }

  TarBuilder& symlink(const std::string& name, const std::string& target) {
    TarHeader h;
    h.typeflag = '2';
    h.mode = 0777;
    return named(h, name, {}, target);
  }

  TarBuilder& hardlink(const std::string& name, const std::string& target) {
    TarHeader h;
    h.typeflag = '1';
    return named(h, name, {}, target);
  }

  // A pax header ('x' for the next entry, 'g' for all later ones).
  TarBuilder& pax(const std::vector<std::pair<std::string, std::string>>& records, char type = 'x') {
    std::string data;
    for (const auto& [k, v] : records) data += paxRecord(k, v);
    return paxRaw(data, type);
  }

  // An extension header ('x', 'g', 'L', 'K') whose data is given as is.
  TarBuilder& paxRaw(const std::string& data, char type = 'x') {
    TarHeader h;
    h.name = "././@PaxHeader";
    h.typeflag = type;
    h.size = data.size();
    return entry(h, data);
  }

  TarBuilder& gnuLongName(const std::string& name, char type = 'L') {
    TarHeader h;
    h.name = "././@LongLink";
    h.typeflag = type;
    h.gnu();
    std::string data = name;
    data.push_back('\0');
    h.size = data.size();
    return entry(h, data);
  }

  TarBuilder& raw(const std::string& bytes) {
    out_ += bytes;
    return *this;
  }

  // The two end-of-archive blocks, then `extraZeroBlocks` more zero blocks.
  TarBuilder& end(std::size_t extraZeroBlocks = 0) {
    out_.append((2 + extraZeroBlocks) * kTarBlock, '\0');
    return *this;
  }

  const std::string& bytes() const { return out_; }
  std::size_t size() const { return out_.size(); }

 private:
  // Names and link names longer than the header fields go into a pax header.
  TarBuilder& named(TarHeader h, const std::string& name, const std::string& data = {},
                    const std::string& linkname = {}) {
    std::vector<std::pair<std::string, std::string>> records;
    if (name.size() > 100) {
      records.emplace_back("path", name);
      h.name = name.substr(0, 100);
    } else {
      h.name = name;
    }
    if (linkname.size() > 100) {
      records.emplace_back("linkpath", linkname);
      h.linkname = linkname.substr(0, 100);
    } else {
      h.linkname = linkname;
    }
    if (!records.empty()) pax(records);
    return entry(h, data);
  }

  std::string out_;
};

}  // namespace tl::test
