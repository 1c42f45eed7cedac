#pragma once
// Result<T>: a value or one named error, and TRY to pass an error up.
#include <new>
#include <type_traits>
#include <utility>

#include "common/error.h"

namespace tl {

namespace detail {
// Reading the value of an error, or the error of a value, is a fault of the
// caller: it ends the process with a message, in the shipped build too,
// rather than read memory that holds something else.
[[noreturn]] void resultMisused(const char* what, Error error) noexcept;
[[noreturn]] void resultMisused(const char* what) noexcept;
}  // namespace detail

// A value or one named error. Errors are values: nothing here throws.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(Error e) : ok_(false), error_(e) {}  // NOLINT: implicit by design
  template <typename U = T,
            typename = std::enable_if_t<std::is_constructible_v<T, U&&> &&
                                        !std::is_same_v<std::decay_t<U>, Error> &&
                                        !std::is_same_v<std::decay_t<U>, Result<T>>>>
  Result(U&& v) : ok_(true) {  // NOLINT: implicit by design
    new (&value_) T(std::forward<U>(v));
  }
  Result(const Result& o) : ok_(o.ok_) {
    if (ok_) new (&value_) T(o.value_); else error_ = o.error_;
  }
  Result(Result&& o) noexcept : ok_(o.ok_) {
    if (ok_) new (&value_) T(std::move(o.value_)); else error_ = o.error_;
  }
  Result& operator=(Result o) noexcept {
    destroy();
    ok_ = o.ok_;
    if (ok_) new (&value_) T(std::move(o.value_)); else error_ = o.error_;
    return *this;
  }
  ~Result() { destroy(); }

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  Error error() const {
    if (ok_) detail::resultMisused("the error of a Result that holds a value");
    return error_;
  }
  T& value() & { check(); return value_; }
  const T& value() const& { check(); return value_; }
  T&& value() && { check(); return std::move(value_); }
  T take() { check(); return std::move(value_); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

 private:
  void check() const {
    if (!ok_) detail::resultMisused("the value of a Result that holds the error", error_);
  }
  void destroy() { if (ok_) value_.~T(); }
  bool ok_;
  union {
    Error error_;
    T value_;
  };
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() : ok_(true), error_(Error::Unexpected) {}
  Result(Error e) : ok_(false), error_(e) {}  // NOLINT: implicit by design
  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  Error error() const {
    if (ok_) detail::resultMisused("the error of a Status that holds success");
    return error_;
  }
  // Nothing to read, so nothing to misread.
  void take() {}
  void value() const {}

 private:
  bool ok_;
  Error error_;
};

using Status = Result<void>;
inline Status success() { return {}; }

}  // namespace tl

// Evaluates a Result; on error returns the error from the enclosing function,
// otherwise yields the value (GNU statement expression; g++ and clang both
// accept it).
#define TRY(expr)                                           \
  ({                                                        \
    auto&& tl_try_result_ = (expr);                         \
    if (!tl_try_result_.ok()) return tl_try_result_.error(); \
    std::move(tl_try_result_).take();                       \
  })
