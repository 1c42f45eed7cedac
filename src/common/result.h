#pragma once
#include <cassert>
#include <new>
#include <type_traits>
#include <utility>

#include "common/error.h"

namespace tl {

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
  Error error() const { assert(!ok_); return error_; }
  T& value() & { assert(ok_); return value_; }
  const T& value() const& { assert(ok_); return value_; }
  T&& value() && { assert(ok_); return std::move(value_); }
  T take() { assert(ok_); return std::move(value_); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

 private:
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
  Error error() const { assert(!ok_); return error_; }
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
