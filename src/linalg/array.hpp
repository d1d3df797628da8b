// Owned float64 arrays: contiguous, row-major, the result type of every kernel.
#pragma once

#include <cstddef>
#include <vector>

#include "linalg/view.hpp"

namespace tallyfit::linalg {

class Vector {
  public:
    Vector() = default;
    explicit Vector(Index size, double value = 0.0)
        : values_(static_cast<std::size_t>(size), value) {}

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
        : rows_(rows), cols_(cols), values_(static_cast<std::size_t>(rows * cols), value) {}

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
