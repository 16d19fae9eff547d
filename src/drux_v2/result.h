// Error values for the library boundary.
//
// Library operations return either their result or an error message; they
// never throw across the boundary. The Python layer is the only place that
// turns an error value into an exception.
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
