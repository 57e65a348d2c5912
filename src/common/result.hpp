// Value-or-error for the few fallible steps of the core and the boundary's own
// validation. Errors carry the kind that decides the Python exception type and
// the exact message; the core never throws for bad input.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace marbolt {

// Each kind becomes one Python exception type at the boundary. `reported` is
// an error that the caller's own code has already reported where it arose
// (at the boundary: a Python exception is already set); it carries no message
// and only travels back.
enum class ErrorKind { value, runtime, assertion, reported };

struct Error {
    ErrorKind kind;
    std::string message;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(Error error) : state_(std::move(error)) {}

    explicit operator bool() const noexcept { return state_.index() == 0; }
    T& operator*() & { return std::get<0>(state_); }
    const T& operator*() const& { return std::get<0>(state_); }
    T&& operator*() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }
    const Error& error() const { return std::get<1>(state_); }

private:
    std::variant<T, Error> state_;
};

// For steps that only check.
struct Ok {};
using Status = Result<Ok>;

inline Error value_error(std::string message) { return {ErrorKind::value, std::move(message)}; }

}  // namespace marbolt
