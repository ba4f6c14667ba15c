#pragma once
// Result<T, E>: the value-or-error type of the numerical code. Errors that the caller's data can
// cause travel as values; only the fits and the host boundary decide that one is fatal, by
// unwrapping it into a fault. Member names follow std::expected so that it can be swapped in.

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "base/fault.hpp"

namespace tondra::base {

// The error side of a Result, spelled explicitly where T and E could be confused.
template <class E>
struct Unexpected {
  E error;
};
template <class E>
Unexpected(E) -> Unexpected<E>;

// A value for functions that succeed with nothing to say.
struct Unit {};

template <class T, class E>
class [[nodiscard]] Result {
 public:
  using value_type = T;
  using error_type = E;

  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit on purpose
  Result(Unexpected<E> e) : v_(std::in_place_index<1>, std::move(e.error)) {}  // NOLINT
  template <class U>
  requires(std::is_same_v<std::remove_cvref_t<U>, E> && !std::is_same_v<T, E>)
  Result(U&& error) : v_(std::in_place_index<1>, std::forward<U>(error)) {}  // NOLINT

  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  // get_if after the check, not std::get: std::get would pull std::bad_variant_access's
  // type information into the module, and the only symbol it may export is its init function.
  T& value() & {
    check_value();
    return *std::get_if<0>(&v_);
  }
  const T& value() const& {
    check_value();
    return *std::get_if<0>(&v_);
  }
  T&& value() && {
    check_value();
    return std::move(*std::get_if<0>(&v_));
  }

  E& error() & {
    check_error();
    return *std::get_if<1>(&v_);
  }
  const E& error() const& {
    check_error();
    return *std::get_if<1>(&v_);
  }
  E&& error() && {
    check_error();
    return std::move(*std::get_if<1>(&v_));
  }

 private:
  void check_value(SourcePos where = SourcePos::here()) const {
    if (!has_value()) fault("called `Result::value()` on an `Err` value", where);
  }
  void check_error(SourcePos where = SourcePos::here()) const {
    if (has_value()) fault("called `Result::error()` on an `Ok` value", where);
  }
  std::variant<T, E> v_;
};

// Takes the value out of a Result whose error the caller cannot use: the error becomes a fault
// reported at the caller's position. E needs a `debug_text(const E&)` found by lookup.
// Callers match the text "called `Result::unwrap()` on an `Err` value: <debug text>"; it has
// been the fault's message since the first release, so it stays.
template <class T, class E>
T unwrap(Result<T, E>&& result, SourcePos where = SourcePos::here()) {
  if (!result.has_value()) {
    fault("called `Result::unwrap()` on an `Err` value: " + debug_text(result.error()), where);
  }
  return std::move(result).value();
}

}  // namespace tondra::base
