#include "linalg/spline_basis.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace tallyfit::linalg {

namespace {

// The interval [knots[mu], knots[mu + 1]) holding x among the ones inside the boundary knots;
// the right boundary belongs to the last of them, as R's splineDesign takes it. Few interior
// knots (the usual df) are counted without branches: x is random, and mispredicted branches
// of a binary search would cost more than the comparisons.
Index interval_of(double x, const std::vector<double> &knots, Index order) {
    const Index last = static_cast<Index>(knots.size()) - order; // index of the right boundary
    if (last - order < 16) {
        Index mu = order - 1;
        for (Index j = order; j < last; ++j) {
            mu += static_cast<Index>(x >= knots[static_cast<std::size_t>(j)]);
        }
        return mu;
    }
    const auto first = knots.begin() + (order - 1);
    const auto end = knots.begin() + last;
    const Index mu = (std::upper_bound(first, end, x) - knots.begin()) - 1;
    return std::clamp(mu, order - 1, last - 1);
}

// de Boor's recurrence for the `order` basis functions that are nonzero on interval mu, into
// values[0 .. order - 1] (functions mu - order + 1 .. mu).
void nonzero_basis(double x, const std::vector<double> &knots, Index order, Index mu,
                   double *values, double *left, double *right) {
    values[0] = 1.0;
    for (Index j = 1; j < order; ++j) {
        left[j] = x - knots[static_cast<std::size_t>(mu + 1 - j)];
        right[j] = knots[static_cast<std::size_t>(mu + j)] - x;
        double saved = 0.0;
        for (Index r = 0; r < j; ++r) {
            const double denominator = right[r + 1] + left[j - r];
            const double term = denominator != 0.0 ? values[r] / denominator : 0.0;
            values[r] = saved + right[r + 1] * term;
            saved = left[j - r] * term;
        }
        values[j] = saved;
    }
}

} // namespace

Matrix spline_basis(VectorView x, VectorView knots, Index order, MatrixView combination) {
    const std::vector<double> knot_values = [&] {
        std::vector<double> values(static_cast<std::size_t>(knots.size));
        for (Index i = 0; i < knots.size; ++i) {
            values[static_cast<std::size_t>(i)] = knots[i];
        }
        return values;
    }();
    const Index columns = combination.cols;
    Matrix out(x.size, columns);
    std::vector<double> scratch(static_cast<std::size_t>(3 * order));
    double *values = scratch.data();
    double *left = values + order;
    double *right = left + order;
    for (Index i = 0; i < x.size; ++i) {
        double *row = out.data() + i * columns;
        const double value = x[i];
        if (std::isnan(value)) {
            std::fill(row, row + columns, std::numeric_limits<double>::quiet_NaN());
            continue;
        }
        const Index mu = interval_of(value, knot_values, order);
        nonzero_basis(value, knot_values, order, mu, values, left, right);
        const Index first = mu - order + 1;
        for (Index c = 0; c < columns; ++c) {
            double sum = 0.0;
            for (Index r = 0; r < order; ++r) {
                sum += values[r] * combination(first + r, c);
            }
            row[c] = sum;
        }
    }
    return out;
}

} // namespace tallyfit::linalg
