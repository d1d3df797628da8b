// A value or an error value: how every core operation reports failure.
#pragma once

#include <utility>
#include <variant>

namespace tallyfit {

template <class E> struct Err { E error; };

template <class E> Err<std::decay_t<E>> err(E &&error) { return {std::forward<E>(error)}; }

// The success value of an operation that returns nothing.
struct Unit {};

template <class T, class E> class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class F>
    Result(Err<F> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T &value() & { return std::get<0>(state_); }
    const T &value() const & { return std::get<0>(state_); }
    T &&value() && { return std::get<0>(std::move(state_)); }
    E &error() & { return std::get<1>(state_); }
    const E &error() const & { return std::get<1>(state_); }
    E &&error() && { return std::get<1>(std::move(state_)); }

  private:
    std::variant<T, E> state_;
};

template <class E> using Status = Result<Unit, E>;

} // namespace tallyfit
