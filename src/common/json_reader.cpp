#include "common/json_reader.h"

#include <charconv>
#include <cstdlib>
#include <limits>
#include <new>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace tl::json {

SchemaBase::SchemaBase(std::vector<Field> fields) : fields_(std::move(fields)) {
  // Seen keys are tracked in one 64-bit mask per open object.
  if (fields_.size() > 64) std::abort();
}

namespace {

using Json = nlohmann::json;

// Deeper documents are refused rather than walked: no record nests this far.
constexpr std::size_t kMaxDepth = 64;
constexpr int kNoField = -1;
constexpr int kSkipField = -2;

bool hasFractionOrExponent(std::string_view text) {
  return text.find_first_of(".eE") != std::string_view::npos;
}

// The value of JSON number text when it is integral and at most `max`:
// exact decimal arithmetic on the digits, never through a double.
Result<std::uint64_t> integralValue(std::string_view text, std::uint64_t max) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  bool negative = false;
  if (i < n && text[i] == '-') {
    negative = true;
    ++i;
  }
  auto isDigit = [&](std::size_t k) { return k < n && text[k] >= '0' && text[k] <= '9'; };
  if (!isDigit(i)) return Error::InvalidNumber;
  const std::size_t intBegin = i;
  if (text[i] == '0') {
    ++i;
  } else {
    while (isDigit(i)) ++i;
  }
  const std::string_view intDigits = text.substr(intBegin, i - intBegin);
  std::string_view fracDigits;
  if (i < n && text[i] == '.') {
    ++i;
    const std::size_t fracBegin = i;
    while (isDigit(i)) ++i;
    if (i == fracBegin) return Error::InvalidNumber;
    fracDigits = text.substr(fracBegin, i - fracBegin);
  }
  // Exponent, saturated far beyond anything that can still fit 64 bits.
  constexpr std::int64_t kExpLimit = 1000000000;
  std::int64_t exponent = 0;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool expNegative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
      expNegative = text[i] == '-';
      ++i;
    }
    if (!isDigit(i)) return Error::InvalidNumber;
    while (isDigit(i)) {
      if (exponent < kExpLimit) exponent = exponent * 10 + (text[i] - '0');
      ++i;
    }
    if (expNegative) exponent = -exponent;
  }
  if (i != n) return Error::InvalidNumber;

  // value = digits * 10^(exponent - fraction length), digits = int + frac.
  auto digitAt = [&](std::size_t k) { return k < intDigits.size() ? intDigits[k] : fracDigits[k - intDigits.size()]; };
  const std::size_t total = intDigits.size() + fracDigits.size();
  std::size_t first = 0;
  while (first < total && digitAt(first) == '0') ++first;
  if (first == total) return std::uint64_t{0};  // zero in any spelling, -0 included
  std::size_t last = total;
  while (digitAt(last - 1) == '0') --last;
  const std::int64_t scale =
      exponent - static_cast<std::int64_t>(fracDigits.size()) + static_cast<std::int64_t>(total - last);
  if (scale < 0) return Error::InvalidNumber;  // the last nonzero digit lies after the point
  if (negative) return Error::Overflow;
  if (static_cast<std::int64_t>(last - first) + scale > 20) return Error::Overflow;
  std::uint64_t value = 0;
  for (std::size_t k = first; k < last; ++k) {
    const std::uint64_t d = static_cast<std::uint64_t>(digitAt(k) - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return Error::Overflow;
    value = value * 10 + d;
  }
  for (std::int64_t k = 0; k < scale; ++k) {
    if (value > std::numeric_limits<std::uint64_t>::max() / 10) return Error::Overflow;
    value *= 10;
  }
  if (value > max) return Error::Overflow;
  return value;
}

// A number token in the form the parser delivers it.
struct Number {
  enum class Form : std::uint8_t { nonNegative, negative, text } form;
  std::uint64_t magnitude = 0;  // nonNegative: value; negative: absolute value
  std::string_view text;        // text: as written
};

class RecordReader {
 public:
  RecordReader(std::string_view input, const SchemaBase& schema, void* record, Options options)
      : input_(input), rootSchema_(schema), rootRecord_(record), options_(options) {}

  Status result() const {
    if (failed_) return error_;
    return success();
  }

  // --- nlohmann SAX interface --------------------------------------------
  bool null() { return scalar(Token::null); }
  bool boolean(bool) { return scalar(Token::boolean); }
  bool number_integer(Json::number_integer_t v) {
    // The parser uses this form only for text starting with '-'.
    const std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    return number({Number::Form::negative, magnitude, {}});
  }
  bool number_unsigned(Json::number_unsigned_t v) { return number({Number::Form::nonNegative, v, {}}); }
  bool number_float(Json::number_float_t, const Json::string_t& text) {
    return number({Number::Form::text, 0, text});
  }
  bool string(Json::string_t& value);
  bool binary(Json::binary_t&) { return fail(Error::UnexpectedToken); }
  bool start_object(std::size_t);
  bool key(Json::string_t& key);
  bool end_object();
  bool start_array(std::size_t);
  bool end_array();
  bool parse_error(std::size_t position, const std::string& lastToken, const nlohmann::detail::exception& ex);

 private:
  enum class Token : std::uint8_t { null, boolean };
  enum class FrameKind : std::uint8_t { object, records, u32s, bytes };
  struct Frame {
    FrameKind kind;
    const SchemaBase* schema;  // object
    void* target;              // object: the record; records/u32s: the vector; bytes: the string
    const Field* field;        // records: the owning field
    std::uint64_t seen;
    int pending;
  };

  bool fail(Error e) {
    if (!failed_) {
      failed_ = true;
      error_ = e;
    }
    return false;
  }

  bool tooDeep() const { return stack_.size() + skipDepth_ >= kMaxDepth; }

  Frame& top() { return stack_.back(); }

  bool scalar(Token t);
  bool number(const Number& n);
  bool numberValue(const Field& f, void* member, const Number& n);
  Result<std::uint64_t> toUnsigned(const Number& n, std::uint64_t max) const;
  bool storeUnsigned(const Field& f, void* member, std::uint64_t v);
  bool enumValue(const Field& f, void* member, const Scalar& s);
  bool pushObject(const SchemaBase* schema, void* record);

  // Resolves the slot the next value goes to. Returns false when the value
  // belongs to a skipped key (consumed), true otherwise; `field` is set for
  // an object member, null for an array element or the top level.
  bool takeSlot(const Field*& field, void*& member);

  std::string_view input_;
  const SchemaBase& rootSchema_;
  void* rootRecord_;
  Options options_;
  std::vector<Frame> stack_;
  std::size_t skipDepth_ = 0;
  bool done_ = false;  // the top-level object has closed
  bool failed_ = false;
  Error error_ = Error::Unexpected;
  std::string numberText_;
};

bool RecordReader::takeSlot(const Field*& field, void*& member) {
  field = nullptr;
  member = nullptr;
  if (stack_.empty()) return true;
  Frame& f = top();
  if (f.kind != FrameKind::object) return true;
  const int pending = f.pending;
  f.pending = kNoField;
  if (pending == kSkipField) return false;
  field = &f.schema->fields()[static_cast<std::size_t>(pending)];
  member = field->member(f.target);
  return true;
}

bool RecordReader::pushObject(const SchemaBase* schema, void* record) {
  stack_.push_back({FrameKind::object, schema, record, nullptr, 0, kNoField});
  return true;
}

bool RecordReader::scalar(Token t) {
  if (skipDepth_ > 0) return true;
  const Field* field;
  void* member;
  if (!takeSlot(field, member)) return true;
  if (field == nullptr) return fail(Error::UnexpectedToken);  // top level or array element
  if (t == Token::null && field->nullable) {
    switch (field->type) {
      case ValueType::u32: static_cast<std::optional<std::uint32_t>*>(member)->reset(); break;
      case ValueType::u64: static_cast<std::optional<std::uint64_t>*>(member)->reset(); break;
      case ValueType::string: static_cast<std::optional<std::string>*>(member)->reset(); break;
      case ValueType::u32Array: static_cast<std::optional<std::vector<std::uint32_t>>*>(member)->reset(); break;
      case ValueType::records:
      case ValueType::enumeration: return fail(Error::UnexpectedToken);
    }
    return true;
  }
  return fail(Error::UnexpectedToken);
}

Result<std::uint64_t> RecordReader::toUnsigned(const Number& n, std::uint64_t max) const {
  switch (n.form) {
    case Number::Form::nonNegative:
      if (n.magnitude > max) return Error::Overflow;
      return n.magnitude;
    case Number::Form::negative:
      if (n.magnitude != 0) return Error::Overflow;
      return std::uint64_t{0};  // "-0"
    case Number::Form::text:
      if (options_.numbers == Numbers::integers && hasFractionOrExponent(n.text)) return Error::InvalidNumber;
      return integralValue(n.text, max);
  }
  return Error::InvalidNumber;
}

bool RecordReader::storeUnsigned(const Field& f, void* member, std::uint64_t v) {
  if (f.type == ValueType::u32) {
    if (f.optionalMember) {
      static_cast<std::optional<std::uint32_t>*>(member)->emplace(static_cast<std::uint32_t>(v));
    } else {
      *static_cast<std::uint32_t*>(member) = static_cast<std::uint32_t>(v);
    }
  } else if (f.optionalMember) {
    static_cast<std::optional<std::uint64_t>*>(member)->emplace(v);
  } else {
    *static_cast<std::uint64_t*>(member) = v;
  }
  return true;
}

bool RecordReader::enumValue(const Field& f, void* member, const Scalar& s) {
  Status st = f.readEnum(s, member, f.enumFn);
  if (!st.ok()) return fail(st.error());
  return true;
}

bool RecordReader::numberValue(const Field& f, void* member, const Number& n) {
  switch (f.type) {
    case ValueType::u32:
    case ValueType::u64: {
      const std::uint64_t max = f.type == ValueType::u32 ? std::numeric_limits<std::uint32_t>::max()
                                                         : std::numeric_limits<std::uint64_t>::max();
      Result<std::uint64_t> v = toUnsigned(n, max);
      if (!v.ok()) return fail(v.error());
      return storeUnsigned(f, member, v.value());
    }
    case ValueType::enumeration: {
      std::string_view text = n.text;
      if (n.form != Number::Form::text) {
        char buf[24];
        char* p = buf;
        if (n.form == Number::Form::negative) *p++ = '-';
        p = std::to_chars(p, buf + sizeof buf, n.magnitude).ptr;
        numberText_.assign(buf, p);
        text = numberText_;
      }
      return enumValue(f, member, Scalar{false, text});
    }
    case ValueType::string:
    case ValueType::u32Array:
    case ValueType::records: return fail(Error::UnexpectedToken);
  }
  return fail(Error::UnexpectedToken);
}

bool RecordReader::number(const Number& n) {
  if (skipDepth_ > 0) return true;
  if (!stack_.empty()) {
    Frame& f = top();
    if (f.kind == FrameKind::u32s) {
      Result<std::uint64_t> v = toUnsigned(n, std::numeric_limits<std::uint32_t>::max());
      if (!v.ok()) return fail(v.error());
      static_cast<std::vector<std::uint32_t>*>(f.target)->push_back(static_cast<std::uint32_t>(v.value()));
      return true;
    }
    if (f.kind == FrameKind::bytes) {
      Result<std::uint64_t> v = toUnsigned(n, 255);
      if (!v.ok()) return fail(v.error());
      static_cast<std::string*>(f.target)->push_back(static_cast<char>(v.value()));
      return true;
    }
  }
  const Field* field;
  void* member;
  if (!takeSlot(field, member)) return true;
  if (field == nullptr) return fail(Error::UnexpectedToken);
  return numberValue(*field, member, n);
}

bool RecordReader::string(Json::string_t& value) {
  if (skipDepth_ > 0) return true;
  if (!stack_.empty() && options_.numbers == Numbers::integralText) {
    // Number text inside a string counts as the number, array elements too.
    Frame& f = top();
    if (f.kind == FrameKind::u32s || f.kind == FrameKind::bytes) return number({Number::Form::text, 0, value});
  }
  const Field* field;
  void* member;
  if (!takeSlot(field, member)) return true;
  if (field == nullptr) return fail(Error::UnexpectedToken);
  switch (field->type) {
    case ValueType::string:
      if (field->optionalMember) {
        static_cast<std::optional<std::string>*>(member)->emplace(std::move(value));
      } else {
        *static_cast<std::string*>(member) = std::move(value);
      }
      return true;
    case ValueType::u32:
    case ValueType::u64:
      if (options_.numbers != Numbers::integralText) return fail(Error::UnexpectedToken);
      return numberValue(*field, member, {Number::Form::text, 0, value});
    case ValueType::enumeration: return enumValue(*field, member, Scalar{true, value});
    case ValueType::u32Array:
    case ValueType::records: return fail(Error::UnexpectedToken);
  }
  return fail(Error::UnexpectedToken);
}

bool RecordReader::start_object(std::size_t) {
  if (tooDeep()) return fail(Error::SyntaxError);
  if (skipDepth_ > 0) {
    ++skipDepth_;
    return true;
  }
  if (stack_.empty()) {
    if (done_) return fail(Error::SyntaxError);
    return pushObject(&rootSchema_, rootRecord_);
  }
  Frame& f = top();
  if (f.kind == FrameKind::records) {
    void* element = f.field->append(f.target);
    return pushObject(f.field->elements, element);
  }
  const Field* field;
  void* member;
  if (!takeSlot(field, member)) {
    skipDepth_ = 1;
    return true;
  }
  return fail(Error::UnexpectedToken);
}

bool RecordReader::key(Json::string_t& key) {
  if (skipDepth_ > 0) return true;
  Frame& f = top();
  const auto& fields = f.schema->fields();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].key != key) continue;
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (f.seen & bit) return fail(Error::DuplicateField);
    f.seen |= bit;
    f.pending = static_cast<int>(i);
    return true;
  }
  if (options_.mode == Mode::strict) return fail(Error::UnknownField);
  f.pending = kSkipField;
  return true;
}

bool RecordReader::end_object() {
  if (skipDepth_ > 0) {
    --skipDepth_;
    return true;
  }
  const Frame& f = top();
  const auto& fields = f.schema->fields();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].required && (f.seen & (std::uint64_t{1} << i)) == 0) return fail(Error::MissingField);
  }
  stack_.pop_back();
  if (stack_.empty()) done_ = true;
  return true;
}

bool RecordReader::start_array(std::size_t) {
  if (tooDeep()) return fail(Error::SyntaxError);
  if (skipDepth_ > 0) {
    ++skipDepth_;
    return true;
  }
  const Field* field;
  void* member;
  if (!takeSlot(field, member)) {
    skipDepth_ = 1;
    return true;
  }
  if (field == nullptr) return fail(Error::UnexpectedToken);  // top level or nested array
  switch (field->type) {
    case ValueType::string: {
      if (options_.strings == Strings::text) return fail(Error::UnexpectedToken);
      std::string* s;
      if (field->optionalMember) {
        s = &static_cast<std::optional<std::string>*>(member)->emplace();
      } else {
        s = static_cast<std::string*>(member);
        s->clear();
      }
      stack_.push_back({FrameKind::bytes, nullptr, s, field, 0, kNoField});
      return true;
    }
    case ValueType::u32Array: {
      std::vector<std::uint32_t>* v;
      if (field->optionalMember) {
        v = &static_cast<std::optional<std::vector<std::uint32_t>>*>(member)->emplace();
      } else {
        v = static_cast<std::vector<std::uint32_t>*>(member);
        v->clear();
      }
      stack_.push_back({FrameKind::u32s, nullptr, v, field, 0, kNoField});
      return true;
    }
    case ValueType::records:
      stack_.push_back({FrameKind::records, nullptr, member, field, 0, kNoField});
      return true;
    case ValueType::u32:
    case ValueType::u64:
    case ValueType::enumeration: return fail(Error::UnexpectedToken);
  }
  return fail(Error::UnexpectedToken);
}

bool RecordReader::end_array() {
  if (skipDepth_ > 0) {
    --skipDepth_;
    return true;
  }
  stack_.pop_back();
  return true;
}

bool RecordReader::parse_error(std::size_t position, const std::string& lastToken,
                               const nlohmann::detail::exception& ex) {
  if (failed_) return false;
  if (ex.id == 406) {
    // A number beyond the range of a double: still a number to the record
    // (an integral one far too large), but the parser cannot go on.
    number({Number::Form::text, 0, lastToken});
    return fail(Error::Overflow);
  }
  if (done_) return fail(Error::SyntaxError);  // something after the object
  // The lexer counts the end of input as one more character read.
  if (position > input_.size()) return fail(Error::UnexpectedEndOfInput);
  return fail(Error::SyntaxError);
}

}  // namespace

namespace detail {

Status readRecord(std::string_view text, const SchemaBase& schema, void* record, Options options) {
  // The parser would skip a byte-order mark; a record is plain JSON text.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") return Error::SyntaxError;
  try {
    RecordReader reader(text, schema, record, options);
    const bool ok = Json::sax_parse(text.begin(), text.end(), &reader);
    Status st = reader.result();
    if (!st.ok()) return st;
    if (!ok) return Error::SyntaxError;
    // The parser takes a NUL byte for the end of the text; JSON holds none,
    // so after an accepted object it can only lead text that was never read.
    if (text.find('\0') != std::string_view::npos) return Error::SyntaxError;
    return success();
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  } catch (const std::length_error&) {
    return Error::OutOfMemory;
  } catch (const Json::exception&) {
    return Error::SyntaxError;
  } catch (...) {
    return Error::Unexpected;
  }
}

}  // namespace detail
}  // namespace tl::json
