// Errors are values across the engine's API: every operation that can fail returns a Result.
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace ss {

struct Error {
    std::string message;  // a complete sentence for the user: names the file and the reason
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }

    const Error& error() const { return std::get<1>(v_); }
    const std::string& message() const { return error().message; }

private:
    std::variant<T, Error> v_;
};

struct Ok {};

// Result of an operation that yields nothing but success or an error.
using Status = Result<Ok>;

inline Status okStatus() {
    return Ok{};
}
inline Error fail(std::string message) {
    return Error{std::move(message)};
}

}  // namespace ss
