#pragma once

// A value or an error, for operations whose failures are ordinary outcomes (errors as values).

#include <utility>
#include <variant>

namespace kestrelamp {

template <class E>
struct Unexpected {
    E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
    return {std::forward<E>(error)};
}

template <class T, class E>
class Expected {
public:
    Expected(T value)
        : storage_(std::in_place_index<0>, std::move(value)) {}
    template <class G>
    Expected(Unexpected<G> failure)
        : storage_(std::in_place_index<1>, std::move(failure.error)) {}

    bool hasValue() const { return storage_.index() == 0; }
    explicit operator bool() const { return hasValue(); }

    T& value() & { return std::get<0>(storage_); }
    const T& value() const& { return std::get<0>(storage_); }
    T&& value() && { return std::get<0>(std::move(storage_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const E& error() const { return std::get<1>(storage_); }

private:
    std::variant<T, E> storage_;
};

// For operations that produce nothing on success.
template <class E>
class Expected<void, E> {
public:
    Expected() = default;
    template <class G>
    Expected(Unexpected<G> failure)
        : failed_(true)
        , error_(std::move(failure.error)) {}

    bool hasValue() const { return !failed_; }
    explicit operator bool() const { return hasValue(); }
    const E& error() const { return error_; }

private:
    bool failed_ = false;
    E error_{};
};

} // namespace kestrelamp
