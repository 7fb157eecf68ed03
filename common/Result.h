#pragma once

// The one way an operation that can fail reports it: a value, or an Error
// whose message says what went wrong in words fit for a log line or a reply.
// Exceptions are kept for constructors that cannot complete.
//
//   Result<int> parse(std::string_view text);
//   if (auto r = parse(text)) { use(*r); } else { log(r.error().message); }
//
// Result<void> carries no value: default-constructed it is a success.

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace quorvane {

struct Error {
    std::string message;

    friend bool operator==(const Error&, const Error&) = default;
};

template <class T>
class [[nodiscard]] Result {
    static_assert(!std::is_same_v<std::remove_cv_t<T>, Error>, "a Result cannot carry an Error as its value");

public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // The value; only when ok().
    [[nodiscard]] T& value() & { return std::get<0>(state_); }
    [[nodiscard]] const T& value() const& { return std::get<0>(state_); }
    [[nodiscard]] T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    // The error; only when !ok().
    [[nodiscard]] const Error& error() const { return std::get<1>(state_); }

private:
    std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)), failed_(true) {}

    [[nodiscard]] bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    [[nodiscard]] const Error& error() const { return error_; }

private:
    Error error_;
    bool failed_ = false;
};

// Shorthand for returning a failure: `return fail("Could not create account.");`
[[nodiscard]] inline Error fail(std::string message) {
    return Error{std::move(message)};
}

} // namespace quorvane
