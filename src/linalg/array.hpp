// Owned float64 arrays: contiguous, row-major, the result type of every kernel.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

#include "linalg/view.hpp"

namespace tallyfit::linalg {

// The element count of a rows x cols array. A size no array can have (negative, a product that
// overflows, more than a vector holds) is std::bad_alloc, like any allocation that cannot be met.
inline std::size_t element_count(Index rows, Index cols = 1) {
    std::size_t count = 0;
    if (rows < 0 || cols < 0 ||
        __builtin_mul_overflow(static_cast<std::size_t>(rows), static_cast<std::size_t>(cols),
                               &count) ||
        count > std::vector<double>().max_size()) {
        throw std::bad_alloc();
    }
    return count;
}

class Vector {
  public:
    Vector() = default;
    explicit Vector(Index size, double value = 0.0) : values_(element_count(size), value) {}

    Index size() const { return static_cast<Index>(values_.size()); }
    double *data() { return values_.data(); }
    const double *data() const { return values_.data(); }
    double &operator[](Index i) { return values_[static_cast<std::size_t>(i)]; }
    double operator[](Index i) const { return values_[static_cast<std::size_t>(i)]; }
    const std::vector<double> &values() const { return values_; }

    VectorView view() const { return {values_.data(), size(), 1}; }

  private:
    std::vector<double> values_;
};

class Matrix {
  public:
    Matrix() = default;
    Matrix(Index rows, Index cols, double value = 0.0)
        : rows_(rows), cols_(cols), values_(element_count(rows, cols), value) {}

    Index rows() const { return rows_; }
    Index cols() const { return cols_; }
    double *data() { return values_.data(); }
    const double *data() const { return values_.data(); }
    double &operator()(Index i, Index j) {
        return values_[static_cast<std::size_t>(i * cols_ + j)];
    }
    double operator()(Index i, Index j) const {
        return values_[static_cast<std::size_t>(i * cols_ + j)];
    }

    MatrixView view() const { return {values_.data(), rows_, cols_, cols_, 1}; }

  private:
    Index rows_ = 0;
    Index cols_ = 0;
    std::vector<double> values_;
};

} // namespace tallyfit::linalg
