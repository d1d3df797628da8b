// Elementwise maps of vectors.
#pragma once

#include "linalg/array.hpp"
#include "linalg/view.hpp"

namespace tallyfit::linalg {

template <class F> Vector map(const VectorView &v, F &&f) {
    Vector result(v.size);
    for (Index i = 0; i < v.size; ++i) {
        result[i] = f(v[i]);
    }
    return result;
}

} // namespace tallyfit::linalg
