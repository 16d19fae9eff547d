// Error values for the library boundary, and the one checking idiom of the
// decoders.
//
// Library operations return either their result or an error message; they
// never throw across the boundary. Every decoder of untrusted bytes refuses
// what it cannot trust through DRUX_FAIL_IF, so "not enough bytes" and
// "value out of range" all become the one bad-data error, with a message
// that is built only when the check fails. Deliberately not here: exceptions
// (the Python layer is the only place that turns an error value into one).
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace drux {

// Which kind of failure an error is: the Python layer maps Io to OSError
// and Data (bad input: malformed bytes, an empty CSV file) to ValueError.
enum class ErrorKind { Io, Data };

// What went wrong, in words a user can act on.
struct Error {
  std::string message;
  ErrorKind kind = ErrorKind::Io;
};

inline Error data_error(std::string message) { return Error{std::move(message), ErrorKind::Data}; }

// Returns the bad-data error `message` from the enclosing function (one that
// returns a Result or a Status) when `condition` holds. A read that can run
// short is checked the same way: DRUX_FAIL_IF(!in.read_u8(tag), "...").
#define DRUX_FAIL_IF(condition, message)   \
  do {                                     \
    if (condition) [[unlikely]] {          \
      return ::drux::data_error(message);  \
    }                                      \
  } while (false)

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const std::string& error() const { return std::get<1>(state_).message; }
  ErrorKind error_kind() const { return std::get<1>(state_).kind; }
  const Error& error_value() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

// The result of an operation that yields nothing but success or an error.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : failed_(true), error_(std::move(error)) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const std::string& error() const { return error_.message; }
  ErrorKind error_kind() const { return error_.kind; }
  const Error& error_value() const { return error_; }

 private:
  bool failed_ = false;
  Error error_;
};

using Status = Result<void>;

}  // namespace drux
