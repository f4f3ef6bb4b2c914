// What every fallible call of the library answers (the protocol client and the transport
// aside, which throw): the value, or the error value saying why there is none. The error is
// made where the failure happens; callers pass it on, log it or show it, never rebuild it.
#pragma once

#include <utility>
#include <variant>

#include "session_error.h"

namespace vbprog {

// An error value with the status and the sentence; the rest is filled in where known.
inline SessionError failure(int status, std::string what)
{
    SessionError e;
    e.status = status;
    e.what = std::move(what);
    return e;
}

template <typename T>
class [[nodiscard]] Result {
public:
    // By reference, so that `return local;` moves the value rather than copying it.
    Result(T&& value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(const T& value) : state_(std::in_place_index<0>, value) {}
    // `error.status` is not 0.
    Result(SessionError error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    const T& value() const& { return std::get<0>(state_); }
    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const T* operator->() const { return &value(); }
    T* operator->() { return &value(); }

    // Empty (status 0) for a value.
    const SessionError& error() const
    {
        static const SessionError none;
        return ok() ? none : std::get<1>(state_);
    }

private:
    std::variant<T, SessionError> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(SessionError error) : error_(std::move(error)) {}
    bool ok() const { return error_.status == 0; }
    explicit operator bool() const { return ok(); }
    const SessionError& error() const { return error_; }

private:
    SessionError error_;
};

}  // namespace vbprog
