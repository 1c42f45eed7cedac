#pragma once
// The one reader of JSON records (recipes, manifests, metadata, version
// files, plans). A record declares its keys once, each bound to a member of
// its struct; the reader streams the text into those members without
// building a document tree, so a 128 MiB recipe costs little more than the
// record itself.
//
//   const json::Schema<Meta>& metaSchema() {
//     static const json::Schema<Meta> s{
//         json::field<&Meta::identifier, json::kRequired>("identifier"),
//         json::field<&Meta::hash, json::kNullable>("hash"),   // std::optional member
//     };
//     return s;
//   }
//   Meta meta;
//   TRY(json::checkSize(text, 4096, Error::StreamTooLong));
//   TRY(json::readRecord(text, metaSchema(), meta, {json::Mode::lenient}));
//
// Errors: UnknownField (strict mode only), DuplicateField, MissingField,
// UnexpectedToken (wrong JSON type, or a top level that is not an object),
// InvalidNumber, Overflow, InvalidEnumTag (from enum readers), SyntaxError
// (malformed JSON, anything but white space after the object, nesting
// deeper than 64), UnexpectedEndOfInput (truncated text), OutOfMemory.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/result.h"

namespace tl::json {

// strict: a key the record does not define is UnknownField.
// lenient: such a key is skipped with its whole value.
enum class Mode : std::uint8_t { strict, lenient };

// integers: unsigned fields take integer tokens only.
// integral: they also take number tokens with a fraction or an exponent that
// denote an integral value (2.0, 1e3); a JSON string is never a number.
// integralText: as integral, and such number text inside a JSON string.
// Either way a value that is not whole is InvalidNumber, one beyond the
// field's width Overflow.
enum class Numbers : std::uint8_t { integers, integral, integralText };

// textOrBytes: a string field also takes an array of byte values, the form
// written for text that is not valid UTF-8.
// text: a string field takes a JSON string only.
enum class Strings : std::uint8_t { textOrBytes, text };

struct Options {
  Mode mode = Mode::strict;
  Numbers numbers = Numbers::integers;
  Strings strings = Strings::textOrBytes;
};

// Field flags. A field without kRequired may be absent: its member then keeps
// the value the record already holds (its default). kNullable accepts JSON
// null, which empties the member; the member must be a std::optional.
inline constexpr unsigned kOptional = 0;
inline constexpr unsigned kRequired = 1;
inline constexpr unsigned kNullable = 2;

// A string or number token handed to an enum reader. A number's text is as
// written in the document ("-0" stays "-0").
struct Scalar {
  bool isString = false;
  std::string_view text;
};

enum class ValueType : std::uint8_t { u32, u64, string, u32Array, records, enumeration };

class SchemaBase;

// One key of a record, type-erased. Built by json::field.
struct Field {
  std::string_view key;
  ValueType type = ValueType::string;
  bool required = false;
  bool nullable = false;
  bool optionalMember = false;  // the member is a std::optional<...>
  void* (*member)(void* record) = nullptr;
  // records: the element schema and how to append one element
  const SchemaBase* elements = nullptr;
  void* (*append)(void* vector) = nullptr;
  // enumeration: reads a token into the member
  Status (*readEnum)(const Scalar& token, void* member, void (*fn)()) = nullptr;
  void (*enumFn)() = nullptr;
};

class SchemaBase {
 public:
  const std::vector<Field>& fields() const { return fields_; }

 protected:
  explicit SchemaBase(std::vector<Field> fields);

 private:
  std::vector<Field> fields_;
};

template <class T>
struct FieldOf {
  Field field;
};

// The keys of record type T.
template <class T>
class Schema : public SchemaBase {
 public:
  Schema(std::initializer_list<FieldOf<T>> fields) : SchemaBase(unwrap(fields)) {}

 private:
  static std::vector<Field> unwrap(std::initializer_list<FieldOf<T>> fields) {
    std::vector<Field> out;
    out.reserve(fields.size());
    for (const auto& f : fields) out.push_back(f.field);
    return out;
  }
};

namespace detail {

template <class M>
struct MemberPointer;
template <class T, class M>
struct MemberPointer<M T::*> {
  using Record = T;
  using Type = M;
};

template <class M>
struct Unoptional {
  using Type = M;
  static constexpr bool optional = false;
};
template <class M>
struct Unoptional<std::optional<M>> {
  using Type = M;
  static constexpr bool optional = true;
};

template <auto Member>
using RecordOf = typename MemberPointer<decltype(Member)>::Record;
template <auto Member>
using MemberType = typename MemberPointer<decltype(Member)>::Type;

template <auto Member>
void* locate(void* record) {
  return &(static_cast<RecordOf<Member>*>(record)->*Member);
}

template <auto Member, unsigned Flags>
Field baseField(std::string_view key) {
  constexpr bool optionalMember = Unoptional<MemberType<Member>>::optional;
  static_assert(optionalMember || (Flags & kNullable) == 0, "a nullable field needs a std::optional member");
  Field f;
  f.key = key;
  f.required = (Flags & kRequired) != 0;
  f.nullable = (Flags & kNullable) != 0;
  f.optionalMember = optionalMember;
  f.member = &locate<Member>;
  return f;
}

template <class V>
void* appendElement(void* vector) {
  return &static_cast<std::vector<V>*>(vector)->emplace_back();
}

template <class E>
Status readEnumInto(const Scalar& token, void* member, void (*fn)()) {
  auto read = reinterpret_cast<Result<E> (*)(const Scalar&)>(fn);
  Result<E> r = read(token);
  if (!r.ok()) return r.error();
  *static_cast<E*>(member) = r.value();
  return success();
}

}  // namespace detail

// A scalar, string or unsigned-integer-array field: the member is one of
// std::uint32_t, std::uint64_t, std::string, std::vector<std::uint32_t>, or a
// std::optional of them. Unless the options say Strings::text, a string field
// also takes an array of integers 0 to 255 as its bytes.
//   json::field<&Meta::hash, json::kNullable>("hash")
template <auto Member, unsigned Flags>
FieldOf<detail::RecordOf<Member>> field(std::string_view key) {
  using V = typename detail::Unoptional<detail::MemberType<Member>>::Type;
  Field f = detail::baseField<Member, Flags>(key);
  if constexpr (std::is_same_v<V, std::uint32_t>) {
    f.type = ValueType::u32;
  } else if constexpr (std::is_same_v<V, std::uint64_t>) {
    f.type = ValueType::u64;
  } else if constexpr (std::is_same_v<V, std::string>) {
    f.type = ValueType::string;
  } else {
    static_assert(std::is_same_v<V, std::vector<std::uint32_t>>, "unsupported member type");
    f.type = ValueType::u32Array;
  }
  return {f};
}

// An array of sub-records: the member is a std::vector<Sub>.
template <auto Member, unsigned Flags, class Sub>
FieldOf<detail::RecordOf<Member>> field(std::string_view key, const Schema<Sub>& elements) {
  static_assert(std::is_same_v<detail::MemberType<Member>, std::vector<Sub>>,
                "a record array field needs a std::vector of the schema's type");
  Field f = detail::baseField<Member, Flags>(key);
  f.type = ValueType::records;
  f.elements = &elements;
  f.append = &detail::appendElement<Sub>;
  return {f};
}

// An enum field read by `read` from a string or number token; any other
// token is UnexpectedToken.
template <auto Member, unsigned Flags, class E>
FieldOf<detail::RecordOf<Member>> field(std::string_view key, Result<E> (*read)(const Scalar&)) {
  static_assert(std::is_same_v<detail::MemberType<Member>, E>, "the enum reader must produce the member's type");
  Field f = detail::baseField<Member, Flags>(key);
  f.type = ValueType::enumeration;
  f.readEnum = &detail::readEnumInto<E>;
  f.enumFn = reinterpret_cast<void (*)()>(read);
  return {f};
}

namespace detail {
[[nodiscard]] Status readRecord(std::string_view text, const SchemaBase& schema, void* record, Options options);
}

// Reads `text` as exactly one JSON object into `record`. Members whose keys
// are absent keep what `record` held. On failure `record` may be partly
// filled; callers discard it.
template <class T>
[[nodiscard]] Status readRecord(std::string_view text, const Schema<T>& schema, T& record, Options options = {}) {
  return detail::readRecord(text, schema, &record, options);
}

// The cap that every record reader applies before parsing.
[[nodiscard]] inline Status checkSize(std::string_view text, std::size_t cap, Error tooLarge) {
  if (text.size() > cap) return tooLarge;
  return success();
}

}  // namespace tl::json
