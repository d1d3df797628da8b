// Python classes LinearRegressionCore, LogisticRegressionCore, PenalizedLogisticRegressionCore
// and PenaltySpecification. The three cores share their accessors and file methods.
#include "models/models_py.hpp"

#include "linalg/array.hpp"
#include "model_file/model_file.hpp"
#include "models/linear.hpp"
#include "models/logistic.hpp"
#include "models/penalized.hpp"
#include "py/call.hpp"
#include "py/class_builder.hpp"

namespace tallyfit {

namespace {

using linalg::MatrixView;
using linalg::VectorView;
using py::Exclusive;
using py::Omittable;
using py::Shared;
using py::Signature;
using Names = std::vector<std::string>;

ModelState new_model_state(std::string_view kind) {
    ModelState state;
    state.base.model_type = kind;
    return state;
}

// One Python class per model kind, all holding the same kind of value.
template <const std::string_view &Kind, const char *ClassName> struct ModelCore {
    static constexpr Signature constructor_signature{ClassName};
    ModelState state = new_model_state(Kind);
};

constexpr char linear_class_name[] = "LinearRegressionCore";
constexpr char logistic_class_name[] = "LogisticRegressionCore";
constexpr char penalized_class_name[] = "PenalizedLogisticRegressionCore";
using LinearCore = ModelCore<linear_model_type, linear_class_name>;
using LogisticCore = ModelCore<logistic_model_type, logistic_class_name>;
using PenalizedCore = ModelCore<penalized_model_type, penalized_class_name>;

constexpr long default_max_iterations = 25;
constexpr double default_convergence_delta = 1e-8;

// Shared accessors and file methods

template <class Core> Core make_core() { return Core{}; }

template <class Core> std::optional<CoefficientMap> get_coefficients(Shared<Core> &self) {
    return self->state.base.coefficients;
}

template <class Core> void set_coefficients(Exclusive<Core> &self, CoefficientMap &value) {
    self->state.base.coefficients = std::move(value);
}

template <class Core> std::optional<Formula> get_formula(Shared<Core> &self) {
    return self->state.base.formula;
}

template <class Core> void set_formula(Exclusive<Core> &self, Formula &value) {
    self->state.base.formula = std::move(value);
}

template <class Core> Encoder get_encoding_data(Shared<Core> &self) {
    return self->state.base.encoding_data;
}

template <class Core> Status<Error> save(Shared<Core> &self, const std::string &filepath) {
    return save_model_file(self->state, filepath);
}

template <class Core> Status<Error> load(Exclusive<Core> &self, const std::string &filepath) {
    return load_model_file(self->state, filepath);
}

constexpr char coefficients_value[] = "new_coefficients";
constexpr char formula_value[] = "new_formula";

template <class Core>
PyGetSetDef model_getset[] = {
    {"coefficients", py::getter<get_coefficients<Core>>,
     py::setter<set_coefficients<Core>, coefficients_value>, nullptr, nullptr},
    {"encoding_data", py::getter<get_encoding_data<Core>>, nullptr, nullptr, nullptr},
    {"formula", py::getter<get_formula<Core>>, py::setter<set_formula<Core>, formula_value>,
     nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char *file_parameters[] = {"filepath"};
constexpr Signature save_signature{"save_to_file", file_parameters, 1};
constexpr Signature load_signature{"load_from_file", file_parameters, 1};
constexpr const char *predict_parameters[] = {"x_matrix", "x_col_names"};
constexpr Signature predict_signature{"predict", predict_parameters, 2};

template <auto Predict, class Core>
linalg::Vector predict(Shared<Core> &self, const MatrixView &x_matrix, const Names &x_col_names) {
    return Predict(self->state.base, x_matrix, x_col_names);
}

// The methods every core has after its own fit.
// A core's methods: its own fit, then those all cores share. Kept for the life of the class.
template <class Core, auto Predict> PyMethodDef *model_methods(PyMethodDef fit) {
    static PyMethodDef methods[] = {
        fit,
        py::method_entry<predict<Predict, Core>, predict_signature>(
            "predict($self, x_matrix, x_col_names)\n--\n\n"),
        py::method_entry<save<Core>, save_signature>("save_to_file($self, filepath)\n--\n\n"),
        py::method_entry<load<Core>, load_signature>("load_from_file($self, filepath)\n--\n\n"),
        py::end_of_methods,
    };
    return methods;
}

template <class Core, auto Predict>
PyTypeObject *model_class(const char *name, const char *doc, PyMethodDef fit) {
    return py::class_of<Core>({
        .name = name,
        .doc = doc,
        .methods = model_methods<Core, Predict>(fit),
        .getset = model_getset<Core>,
        .constructor = py::constructor<make_core<Core>, Core::constructor_signature>,
    });
}

// Linear regression

Status<Error> linear_fit(Exclusive<LinearCore> &self, const MatrixView &x_matrix,
                         const VectorView &y_matrix, const Names &x_col_names,
                         Shared<Encoder> &encoder) {
    return fit_linear(self->state.base, x_matrix, y_matrix, x_col_names, *encoder);
}

constexpr const char *linear_fit_parameters[] = {"x_matrix", "y_matrix", "x_col_names", "encoder"};
constexpr Signature linear_fit_signature{"fit", linear_fit_parameters, 4};

PyMethodDef linear_fit_method = py::method_entry<linear_fit, linear_fit_signature>(
    "fit($self, x_matrix, y_matrix, x_col_names, encoder)\n--\n\n"
    "A method to fit a linear regression using a ModelMatrix object. Internally saves \n"
    "results and metadata. ");

// Logistic regression

Status<Error> logistic_fit(Exclusive<LogisticCore> &self, const MatrixView &x_matrix,
                           const VectorView &y_matrix, const Names &x_col_names,
                           Shared<Encoder> &encoder, const Omittable<__int128> &max_iterations,
                           const Omittable<double> &convergence_delta) {
    return fit_logistic(self->state.base, x_matrix, y_matrix, x_col_names, *encoder,
                        max_iterations.value_or(default_max_iterations),
                        convergence_delta.value_or(default_convergence_delta));
}

constexpr const char *logistic_fit_parameters[] = {
    "x_matrix", "y_matrix", "x_col_names", "encoder", "max_iterations", "convergence_delta"};
constexpr Signature logistic_fit_signature{"fit", logistic_fit_parameters, 4};

PyMethodDef logistic_fit_method = py::method_entry<logistic_fit, logistic_fit_signature>(
    "fit($self, x_matrix, y_matrix, x_col_names, encoder, max_iterations=25, "
    "convergence_delta=1e-8)\n--\n\n");

// Penalized logistic regression

Status<Error> penalized_fit(Exclusive<PenalizedCore> &self, const MatrixView &x_matrix,
                            const VectorView &y_matrix, const Names &x_col_names,
                            Shared<Encoder> &encoder, std::optional<PenaltyList> &penalties,
                            const Omittable<__int128> &max_iterations,
                            const Omittable<double> &convergence_delta) {
    return fit_penalized(self->state, x_matrix, y_matrix, x_col_names, *encoder,
                         std::move(penalties), max_iterations.value_or(default_max_iterations),
                         convergence_delta.value_or(default_convergence_delta));
}

constexpr const char *penalized_fit_parameters[] = {
    "x_matrix",  "y_matrix",       "x_col_names",      "encoder",
    "penalties", "max_iterations", "convergence_delta"};
constexpr Signature penalized_fit_signature{"fit", penalized_fit_parameters, 4};

PyMethodDef penalized_fit_method = py::method_entry<penalized_fit, penalized_fit_signature>(
    "fit($self, x_matrix, y_matrix, x_col_names, encoder, penalties=None, max_iterations=25, "
    "convergence_delta=1e-8)\n--\n\n");

// PenaltySpecification

Result<PenaltySpecification, Error> new_penalty(const std::string &variable_name,
                                                const std::optional<std::string> &categorical_level,
                                                const double &lambda_param,
                                                const Omittable<double> &target) {
    return make_penalty(variable_name, categorical_level, lambda_param, target.value_or(0.0));
}

constexpr const char *penalty_parameters[] = {"variable_name", "categorical_level", "lambda_param",
                                              "target"};
constexpr Signature penalty_signature{"PenaltySpecification", penalty_parameters, 3};

} // namespace

PyTypeObject *linear_regression_class() {
    return model_class<LinearCore, predict_linear>(
        "builtins.LinearRegressionCore",
        "LinearRegressionCore()\n--\n\n"
        "A class meant to hold the results and metadata of a linear regression.\n"
        "\n"
        "Attributes:\n"
        "- coefficients (dict[str, float]): A dictionary of coefficient names and values.\n"
        "- _encoding_data (Encoder): Encoding metadata. Used when predicting on other datasets \n"
        "        than the one used to fit. \n"
        "\n"
        "Methods:\n"
        "- save_to_file(filepath: str): Saves the model to a given filepath.\n"
        "- load_from_file(filepath: str): A method that will load a LinearRegression object "
        "from a JSON file.\n"
        "- predict(data: polars.DataFrame): Uses the model to make predictions on a new "
        "DataFrame\n"
        "- fit(design_matrix: ModelMatrix): Fits the regression model.",
        linear_fit_method);
}

PyTypeObject *logistic_regression_class() {
    return model_class<LogisticCore, predict_logistic>(
        "builtins.LogisticRegressionCore",
        "LogisticRegressionCore()\n--\n\n"
        "The main logistic regression class. Holds data and performs operations",
        logistic_fit_method);
}

PyTypeObject *penalized_logistic_regression_class() {
    return model_class<PenalizedCore, predict_logistic>(
        "builtins.PenalizedLogisticRegressionCore",
        "PenalizedLogisticRegressionCore()\n--\n\n"
        "The main penalized logistic regression class. Holds data and performs operations",
        penalized_fit_method);
}

PyTypeObject *penalty_class() {
    return py::class_of<PenaltySpecification>({
        .name = "builtins.PenaltySpecification",
        .doc = "PenaltySpecification(variable_name, categorical_level, lambda_param, "
               "target=0.0)\n--\n\n",
        .constructor = py::constructor<new_penalty, penalty_signature>,
    });
}

} // namespace tallyfit
