// The one error value of the core: a code from one enumeration, and the texts that fill the
// code's message. Every core operation that can fail returns Result<T, Error>; the binding layer
// maps the code to its Python exception class (src/py/errors.cpp) and raises the message. The
// layers below keep their own small error values (the JSON reader's JsonError with its offset,
// the file layer's errno); the model-file layer turns them into an Error with its message.
#pragma once

#include <string>
#include <vector>

namespace tallyfit {

enum class ErrorCode {
    // The formula language
    EmptyFormula,
    MissingTilde,
    MultipleTildes,
    EmptyDependent,
    EmptyIndependent,
    InvalidTerm, // the term
    // Model fits
    InversionFailure,
    ConvergenceFailure,
    MultiplePenalties, // the column with several penalties
    NegativeLambda,
    Interrupted, // the caller's interruption check stopped the fit; no message is shown
    // Model files
    NotFitted,
    Serialize,    // what cannot be written
    Write,        // the path, the system's reason
    Read,         // the path, the system's reason
    Deserialize,  // the first problem of the text, with its line and column
    TypeMismatch, // the file's model kind, the object's model kind
};

struct Error {
    ErrorCode code;
    // The texts the code's message names, in order (see the comments of ErrorCode).
    std::vector<std::string> details;

    template <class... Details>
    explicit Error(ErrorCode error_code, Details &&...texts)
        : code(error_code), details{std::string(std::forward<Details>(texts))...} {}

    // The code's message with the details put in: "Invalid term found in formula: 'a*b*c'".
    std::string message() const;

    bool operator==(const Error &) const = default;
};

} // namespace tallyfit
