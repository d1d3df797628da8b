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

// Propagation of a failed Result from the enclosing function, whose own Result must accept the
// error type:
//     RETURN_IF_ERROR(json.parse_null());
//     ASSIGN_OR_RETURN(const linalg::Matrix inverse, linalg::inverse(gram.view()));
// The second declares its variable with the value of the Result that succeeded.
#define RETURN_IF_ERROR(...)                                                                       \
    if (auto &&tallyfit_failed_ = (__VA_ARGS__); !tallyfit_failed_) {                              \
        return ::tallyfit::err(std::move(tallyfit_failed_).error());                               \
    } else                                                                                         \
        static_cast<void>(0)

#define ASSIGN_OR_RETURN(declaration, ...)                                                         \
    TALLYFIT_ASSIGN_OR_RETURN(TALLYFIT_JOIN(tallyfit_result_, __LINE__), declaration, __VA_ARGS__)

#define TALLYFIT_JOIN_TOKENS(a, b) a##b
#define TALLYFIT_JOIN(a, b) TALLYFIT_JOIN_TOKENS(a, b)
#define TALLYFIT_ASSIGN_OR_RETURN(result, declaration, ...)                                        \
    auto result = (__VA_ARGS__);                                                                   \
    if (!result) {                                                                                 \
        return ::tallyfit::err(std::move(result).error());                                         \
    }                                                                                              \
    declaration = std::move(result).value()
