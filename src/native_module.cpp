// Entry point of tallyfit._native, the package's private extension module: the per-row sums
// that the Python layer needs beside the model cores (the Hessian at the final coefficients for
// inference, and the statistics of one data partition for fits spread over many). Built from
// the same core as _tallyfit, so a partition's sums are exactly what a core fit computes.
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "linalg/array.hpp"
#include "linalg/blas.hpp"
#include "linalg/group_sums.hpp"
#include "linalg/inverse.hpp"
#include "linalg/product.hpp"
#include "linalg/share_products.hpp"
#include "linalg/spline_basis.hpp"
#include "models/coded_pass.hpp"
#include "models/glm_pass.hpp"
#include "models/gram_pass.hpp"
#include "models/irls.hpp"
#include "models/penalty_resolution.hpp"
#include "py/blas_scipy.hpp"
#include "py/call.hpp"
#include "py/module_init.hpp"

namespace tallyfit {

namespace {

using linalg::Index;
using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using linalg::VectorView;
using py::Signature;

constexpr py::Default<const char *> default_kind{"gram", "'gram'"};

IrlsPassKind pass_kind(const std::optional<std::string> &kind) {
    const std::string name = kind.value_or(default_kind.value);
    if (name == "gram") {
        return IrlsPassKind::LikelihoodAndGram;
    }
    if (name == "likelihood") {
        return IrlsPassKind::LikelihoodOnly;
    }
    if (name == "start") {
        return IrlsPassKind::Start;
    }
    py::raise(PyExc_ValueError, "kind must be 'gram', 'likelihood' or 'start', got '" + name + "'");
}

void require_rows_match(const MatrixView &x, const VectorView &y) {
    if (x.rows != y.size) {
        py::raise(PyExc_ValueError, "x has " + std::to_string(x.rows) + " rows but y has " +
                                        std::to_string(y.size) + " values");
    }
}

using PassResult = std::tuple<double, std::optional<Matrix>, std::optional<Vector>>;

PassResult irls_pass_of(MatrixView x, VectorView y, VectorView beta,
                        std::optional<std::string> kind) {
    require_rows_match(x, y);
    if (beta.size != x.cols) {
        py::raise(PyExc_ValueError, "beta has " + std::to_string(beta.size) + " values but x has " +
                                        std::to_string(x.cols) + " columns");
    }
    IrlsPass pass = irls_pass(x, y, beta, std::nullopt, pass_kind(kind));
    if (!pass.gram) {
        return {pass.log_likelihood, std::nullopt, std::nullopt};
    }
    return {pass.log_likelihood, std::move(pass.gram->h), std::move(pass.gram->t)};
}

GlmFamily family_named(const std::string &name) {
    if (auto family = glm_family_named(name)) {
        return *family;
    }
    py::raise(PyExc_ValueError, "family must be one of " + glm_family_names() + ", got '" + name +
                                    "' (a quasi family passes its base family's name)");
}

GlmLink link_named(GlmFamily family, const std::string &name) {
    const std::optional<GlmLink> link = glm_link_named(name);
    if (!link) {
        py::raise(PyExc_ValueError,
                  "link must be one of " + glm_link_names() + ", got '" + name + "'");
    }
    const auto links = glm_links_of(family);
    if (std::find(links.begin(), links.end(), *link) == links.end()) {
        std::string names;
        for (GlmLink taken : links) {
            names += (names.empty() ? "'" : ", '") + std::string(glm_link_name(taken)) + "'";
        }
        py::raise(PyExc_ValueError, "the " + std::string(glm_family_name(family)) +
                                        " family does not take the '" + name + "' link; it takes " +
                                        names);
    }
    return *link;
}

void require_one_per_row(const MatrixView &x, const std::optional<VectorView> &v,
                         const char *what) {
    if (v && v->size != x.rows) {
        py::raise(PyExc_ValueError, "x has " + std::to_string(x.rows) + " rows but " + what +
                                        " has " + std::to_string(v->size) + " values");
    }
}

using PassTuple = std::tuple<double, Matrix, Vector, bool>;

// What both GLM passes check of their arguments: y, the weights and the offset one per row of
// x, and beta one per column of the design (`design` names it in the message).
void require_pass_arguments(const MatrixView &x, const VectorView &y, const VectorView &beta,
                            Index columns, const std::string &design,
                            const std::optional<VectorView> &weights,
                            const std::optional<VectorView> &offset) {
    require_rows_match(x, y);
    if (beta.size != columns) {
        py::raise(PyExc_ValueError, "beta has " + std::to_string(beta.size) + " values but " +
                                        design + " has " + std::to_string(columns) + " columns");
    }
    require_one_per_row(x, weights, "weights");
    require_one_per_row(x, offset, "offset");
}

PassTuple pass_tuple(GlmPass pass) {
    return {pass.deviance, std::move(pass.gram.h), std::move(pass.gram.t), pass.valid};
}

PassTuple glm_pass_of(MatrixView x, VectorView y, VectorView beta, std::string family,
                      std::string link, std::optional<VectorView> weights,
                      std::optional<VectorView> offset) {
    require_pass_arguments(x, y, beta, x.cols, "x", weights, offset);
    const GlmFamily family_id = family_named(family);
    return pass_tuple(
        glm_pass(x, y, beta, family_id, link_named(family_id, link), weights, offset));
}

// The coded columns of a pass, their codes checked: whole numbers from -1 to the factor's
// levels - 1 (-1: none of its columns), one row per row of x.
CodedColumns coded_columns_of(const MatrixView &x, MatrixView codes, VectorView levels) {
    if (codes.rows != x.rows) {
        py::raise(PyExc_ValueError, "x has " + std::to_string(x.rows) + " rows but codes has " +
                                        std::to_string(codes.rows));
    }
    if (codes.cols != levels.size) {
        py::raise(PyExc_ValueError, "codes has " + std::to_string(codes.cols) +
                                        " columns but levels has " + std::to_string(levels.size) +
                                        " values");
    }
    CodedColumns coded{codes, {}};
    for (Index f = 0; f < levels.size; ++f) {
        const double count = levels[f];
        if (!(count >= 0.0 && count < 2147483647.0) || count != std::floor(count)) {
            py::raise(PyExc_ValueError, "levels must be whole numbers of levels; levels[" +
                                            std::to_string(f) + "] is not");
        }
        coded.levels.push_back(static_cast<Index>(count));
        for (Index i = 0; i < codes.rows; ++i) {
            const double code = codes(i, f);
            if (!(code >= -1.0 && code < count) || code != std::floor(code)) {
                py::raise(PyExc_ValueError,
                          "codes must be whole numbers from -1 to levels - 1; row " +
                              std::to_string(i) + " of column " + std::to_string(f) +
                              " has another value");
            }
        }
    }
    return coded;
}

PassTuple coded_glm_pass_of(MatrixView x, MatrixView codes, VectorView levels, VectorView y,
                            VectorView beta, std::string family, std::string link,
                            std::optional<VectorView> weights, std::optional<VectorView> offset) {
    require_rows_match(x, y);
    const CodedColumns coded = coded_columns_of(x, codes, levels);
    Index columns = x.cols;
    for (Index count : coded.levels) {
        columns += count;
    }
    require_pass_arguments(x, y, beta, columns, "the design", weights, offset);
    const GlmFamily family_id = family_named(family);
    return pass_tuple(
        coded_glm_pass(x, coded, y, beta, family_id, link_named(family_id, link), weights, offset));
}

std::tuple<Matrix, std::optional<Vector>> gram_of(MatrixView x, std::optional<VectorView> y,
                                                  std::optional<VectorView> weights) {
    if (y) {
        require_rows_match(x, *y);
    }
    require_one_per_row(x, weights, "weights");
    if (weights) {
        for (Index i = 0; i < weights->size; ++i) {
            if (!((*weights)[i] >= 0.0)) {
                py::raise(PyExc_ValueError, "weights must be 0 or more; weights[" +
                                                std::to_string(i) + "] is " +
                                                std::to_string((*weights)[i]));
            }
        }
    }
    linalg::WeightedGram sums = gram_pass(x, y, weights);
    if (!y) {
        return {std::move(sums.h), std::nullopt};
    }
    return {std::move(sums.h), std::move(sums.t)};
}

Result<Matrix, Error> inverse_of(MatrixView a) { return linalg::inverse(a); }

Vector matvec_of(MatrixView x, VectorView v) {
    if (x.cols != v.size) {
        py::raise(PyExc_ValueError, "x has " + std::to_string(x.cols) + " columns but v has " +
                                        std::to_string(v.size) + " values");
    }
    return linalg::share_matvec(x, v);
}

Vector rmatvec_of(MatrixView x, VectorView v) {
    require_rows_match(x, v);
    return linalg::share_transposed_matvec(x, v);
}

Matrix group_sums_of(MatrixView x, VectorView codes, VectorView factors, __int128 groups) {
    require_one_per_row(x, codes, "codes");
    require_one_per_row(x, factors, "factors");
    if (groups < 0 || groups > (static_cast<__int128>(1) << 40)) {
        py::raise(PyExc_ValueError, "groups must be a count of groups");
    }
    const auto count = static_cast<linalg::Index>(groups);
    for (linalg::Index i = 0; i < codes.size; ++i) {
        const double code = codes[i];
        if (!(code >= 0.0 && code < static_cast<double>(count)) || code != std::floor(code)) {
            py::raise(PyExc_ValueError, "codes must be whole numbers from 0 to groups - 1; row " +
                                            std::to_string(i) + " has another value");
        }
    }
    return linalg::group_sums(x, codes, factors, count);
}

Matrix spline_basis_of(VectorView x, VectorView knots, __int128 order, MatrixView combination) {
    if (order < 1 || order > 32) {
        py::raise(PyExc_ValueError, "order must be between 1 and 32");
    }
    const auto k = static_cast<linalg::Index>(order);
    if (knots.size < 2 * k) {
        py::raise(PyExc_ValueError, "an order-" + std::to_string(k) + " basis needs at least " +
                                        std::to_string(2 * k) + " knots, got " +
                                        std::to_string(knots.size));
    }
    for (linalg::Index i = 1; i < knots.size; ++i) {
        if (!(knots[i - 1] <= knots[i])) {
            py::raise(PyExc_ValueError, "the knots must be finite and non-decreasing");
        }
    }
    if (!std::isfinite(knots[0]) || !std::isfinite(knots[knots.size - 1]) ||
        !(knots[k - 1] < knots[knots.size - k])) {
        py::raise(PyExc_ValueError, "the boundary knots must be finite and distinct");
    }
    if (combination.rows != knots.size - k) {
        py::raise(PyExc_ValueError, "combination has " + std::to_string(combination.rows) +
                                        " rows but the basis has " +
                                        std::to_string(knots.size - k) + " functions");
    }
    return linalg::spline_basis(x, knots, k, combination);
}

using PenaltyTuple = std::tuple<std::string, std::optional<std::string>, double>;

Result<Vector, Error> penalty_diagonal_of(const std::vector<PenaltyTuple> &penalties,
                                          const std::vector<std::string> &names) {
    PenaltyList list;
    for (const auto &[variable, level, lambda] : penalties) {
        list.push_back(PenaltySpecification{variable, level, lambda, 0.0});
    }
    return resolve_penalties(list, names);
}

constexpr Signature irls_pass_signature{
    "irls_pass",
    {"x", "y", "beta", {"kind", default_kind}},
    "One pass of the logistic fit over the rows of x at the coefficients beta.\n\n"
    "Returns (log_likelihood, h, t). kind 'gram': the log-likelihood (probabilities\n"
    "clamped to [1e-9, 1 - 1e-9], as the fit's convergence test uses it), h = X'WX with\n"
    "w = mu (1 - mu) and t, the right-hand side of the Newton step from beta.\n"
    "'likelihood': the log-likelihood only (h and t are None). 'start': h and t of the\n"
    "fit's first step, with mu fixed at 0.5 (the log-likelihood is 0.0). Sums of passes\n"
    "over row blocks equal the pass over all rows."};
constexpr Signature glm_pass_signature{
    "glm_pass",
    {"x", "y", "beta", "family", "link", {"weights", "None"}, {"offset", "None"}},
    "One IRLS pass of a generalized linear model over the rows of x at beta.\n\n"
    "Returns (deviance, information, right, valid) with eta = x beta + offset,\n"
    "mu = linkinv(eta), w = weights mu.eta(eta)^2 / V(mu),\n"
    "z = eta - offset + (y - mu) / mu.eta(eta): the deviance sum(dev.resids(y, mu,\n"
    "weights)), information = X'WX, right = X'Wz (rows of weight 0 add nothing) and\n"
    "valid, R's valideta(eta) && validmu(mu). family and link by R's names (a quasi\n"
    "family by its base family's); weights default to 1, offset to 0."};
constexpr Signature coded_glm_pass_signature{
    "coded_glm_pass",
    {"x",
     "codes",
     "levels",
     "y",
     "beta",
     "family",
     "link",
     {"weights", "None"},
     {"offset", "None"}},
    "glm_pass of the design [x | C_1 | ... | C_m] whose columns C_f are the 0/1\n"
    "indicators of factor f's levels, given as codes: codes[i, f] is row i's level of\n"
    "factor f, a whole number from 0 to levels[f] - 1, or -1 for none of its columns\n"
    "(float64). beta and the normal equations have x's columns first, then each\n"
    "factor's levels in order. Returns (deviance, information, right, valid) as\n"
    "glm_pass, without forming the indicator columns."};
constexpr Signature gram_signature{
    "gram",
    {"x", {"y", "None"}, {"weights", "None"}},
    "(X'WX, X'Wy) of a float64 matrix x and response y in one read of x, W the\n"
    "diagonal of the weights (all 1 without them; none may be negative); X'Wy is None\n"
    "without y. Row blocks on this process's threads (TALLYFIT_THREADS sets how many);\n"
    "the result does not depend on how many."};
constexpr Signature inverse_signature{
    "inverse",
    {"a"},
    "The inverse of a square float64 matrix by LU factorization, as the model fits\n"
    "compute it; ValueError for an exactly singular matrix."};
constexpr Signature matvec_signature{
    "matvec",
    {"x", "v"},
    "x @ v for a float64 matrix x and vector v, row blocks on this process's threads."};
constexpr Signature rmatvec_signature{
    "rmatvec",
    {"x", "v"},
    "x.T @ v for a float64 matrix x and vector v (one value per row), row blocks on this\n"
    "process's threads, added in row order (the result does not depend on how many)."};
constexpr Signature group_sums_signature{
    "group_sums",
    {"x", "codes", "factors", "groups"},
    "The groups x cols matrix whose row g sums factors[i] * x[i] over the rows i with\n"
    "codes[i] == g (codes: whole numbers from 0 to groups - 1, as float64)."};
constexpr Signature spline_basis_signature{
    "spline_basis",
    {"x", "knots", "order", "combination"},
    "B(x) C: the B-spline basis of the given order (degree + 1) on the non-decreasing\n"
    "knots at each x, times the combination matrix C (one row per basis function), as\n"
    "R's splineDesign(knots, x, order) %*% C. x beyond the boundary knots gets the end\n"
    "intervals' polynomials; a NaN x a row of NaN."};
constexpr Signature penalty_signature{
    "penalty_diagonal",
    {"penalties", "names"},
    "The ridge strength of each named column for (variable, level or None, lambda)\n"
    "penalties, resolved as the penalized fit resolves them."};

constexpr auto shown = py::Receiver::Module;

PyMethodDef functions[] = {
    py::function_entry<irls_pass_of, irls_pass_signature, shown>(),
    py::function_entry<glm_pass_of, glm_pass_signature, shown>(),
    py::function_entry<coded_glm_pass_of, coded_glm_pass_signature, shown>(),
    py::function_entry<gram_of, gram_signature, shown>(),
    py::function_entry<inverse_of, inverse_signature, shown>(),
    py::function_entry<matvec_of, matvec_signature, shown>(),
    py::function_entry<rmatvec_of, rmatvec_signature, shown>(),
    py::function_entry<spline_basis_of, spline_basis_signature, shown>(),
    py::function_entry<group_sums_of, group_sums_signature, shown>(),
    py::function_entry<penalty_diagonal_of, penalty_signature, shown>(),
    py::end_of_methods,
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tallyfit._native",
    "Private kernels of the tallyfit package: streaming sums over design matrices.",
    -1,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

py::Ref create_module() {
#ifndef TALLYFIT_SYSTEM_BLAS
    py::install_scipy_blas_loader(); // binds nothing yet: SciPy is imported on the first call
#endif
    return py::check(PyModule_Create(&module_definition));
}

} // namespace tallyfit

PyMODINIT_FUNC PyInit__native() {
    return tallyfit::py::initialize_once("tallyfit._native", tallyfit::create_module);
}
