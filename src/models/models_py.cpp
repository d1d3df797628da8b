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
template <const std::string_view &Kind> struct ModelCore {
    ModelState state = new_model_state(Kind);
};

using LinearCore = ModelCore<linear_model_type>;
using LogisticCore = ModelCore<logistic_model_type>;
using PenalizedCore = ModelCore<penalized_model_type>;

constexpr auto default_max_iterations = TALLYFIT_DEFAULT(long, 25);
constexpr auto default_convergence_delta = TALLYFIT_DEFAULT(double, 1e-8);
constexpr auto default_target = TALLYFIT_DEFAULT(double, 0.0);

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

constexpr py::Parameter file_parameters[] = {"filepath"};
constexpr Signature save_signature{"save_to_file", file_parameters};
constexpr Signature load_signature{"load_from_file", file_parameters};
constexpr Signature predict_signature{"predict", {"x_matrix", "x_col_names"}};

template <auto Predict, class Core>
linalg::Vector predict(Shared<Core> &self, const MatrixView &x_matrix, const Names &x_col_names) {
    return Predict(self->state.base, x_matrix, x_col_names);
}

// A core's class: its constructor and fit, then the methods all cores share. The method table is
// kept for the life of the class.
template <class Core, const Signature &Constructor, auto Fit, const Signature &FitSignature,
          auto Predict>
PyTypeObject *model_class(const char *name) {
    static PyMethodDef methods[] = {
        py::method_entry<Fit, FitSignature>(),
        py::method_entry<predict<Predict, Core>, predict_signature>(),
        py::method_entry<save<Core>, save_signature>(),
        py::method_entry<load<Core>, load_signature>(),
        py::end_of_methods,
    };
    return py::class_of<Core>({
        .name = name,
        .doc = py::constructor_doc<Constructor>,
        .methods = methods,
        .getset = model_getset<Core>,
        .constructor = py::constructor<make_core<Core>, Constructor>,
    });
}

// Linear regression

constexpr Signature linear_signature{
    "LinearRegressionCore",
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
    "- fit(design_matrix: ModelMatrix): Fits the regression model."};

Status<Error> linear_fit(Exclusive<LinearCore> &self, const MatrixView &x_matrix,
                         const VectorView &y_matrix, const Names &x_col_names,
                         Shared<Encoder> &encoder) {
    return fit_linear(self->state.base, x_matrix, y_matrix, x_col_names, *encoder);
}

// The data every fit takes, the iteration settings of the IRLS fits, and the penalized fit's
// penalty list.
constexpr py::Parameter data_parameters[] = {"x_matrix", "y_matrix", "x_col_names", "encoder"};
constexpr py::Parameter iteration_parameters[] = {{"max_iterations", default_max_iterations},
                                                  {"convergence_delta", default_convergence_delta}};
constexpr py::Parameter penalty_parameters[] = {{"penalties", "None"}};

constexpr Signature linear_fit_signature{
    "fit", data_parameters,
    "A method to fit a linear regression using a ModelMatrix object. Internally saves \n"
    "results and metadata. "};

// Logistic regression

constexpr Signature logistic_signature{
    "LogisticRegressionCore",
    "The main logistic regression class. Holds data and performs operations"};

Status<Error> logistic_fit(Exclusive<LogisticCore> &self, const MatrixView &x_matrix,
                           const VectorView &y_matrix, const Names &x_col_names,
                           Shared<Encoder> &encoder, const Omittable<__int128> &max_iterations,
                           const Omittable<double> &convergence_delta) {
    return fit_logistic(self->state.base, x_matrix, y_matrix, x_col_names, *encoder,
                        max_iterations.value_or(default_max_iterations.value),
                        convergence_delta.value_or(default_convergence_delta.value),
                        py::signal_raised);
}

constexpr Signature logistic_fit_signature{"fit", py::join(data_parameters, iteration_parameters)};

// Penalized logistic regression

constexpr Signature penalized_signature{
    "PenalizedLogisticRegressionCore",
    "The main penalized logistic regression class. Holds data and performs operations"};

Status<Error> penalized_fit(Exclusive<PenalizedCore> &self, const MatrixView &x_matrix,
                            const VectorView &y_matrix, const Names &x_col_names,
                            Shared<Encoder> &encoder, std::optional<PenaltyList> &penalties,
                            const Omittable<__int128> &max_iterations,
                            const Omittable<double> &convergence_delta) {
    return fit_penalized(
        self->state, x_matrix, y_matrix, x_col_names, *encoder, std::move(penalties),
        max_iterations.value_or(default_max_iterations.value),
        convergence_delta.value_or(default_convergence_delta.value), py::signal_raised);
}

constexpr Signature penalized_fit_signature{
    "fit", py::join(data_parameters, penalty_parameters, iteration_parameters)};

// PenaltySpecification

Result<PenaltySpecification, Error> new_penalty(const std::string &variable_name,
                                                const std::optional<std::string> &categorical_level,
                                                const double &lambda_param,
                                                const Omittable<double> &target) {
    return make_penalty(variable_name, categorical_level, lambda_param,
                        target.value_or(default_target.value));
}

constexpr Signature penalty_signature{
    "PenaltySpecification",
    {"variable_name", "categorical_level", "lambda_param", {"target", default_target}}};

} // namespace

PyTypeObject *linear_regression_class() {
    return model_class<LinearCore, linear_signature, linear_fit, linear_fit_signature,
                       predict_linear>("builtins.LinearRegressionCore");
}

PyTypeObject *logistic_regression_class() {
    return model_class<LogisticCore, logistic_signature, logistic_fit, logistic_fit_signature,
                       predict_logistic>("builtins.LogisticRegressionCore");
}

PyTypeObject *penalized_logistic_regression_class() {
    return model_class<PenalizedCore, penalized_signature, penalized_fit, penalized_fit_signature,
                       predict_logistic>("builtins.PenalizedLogisticRegressionCore");
}

PyTypeObject *penalty_class() {
    return py::class_of<PenaltySpecification>({
        .name = "builtins.PenaltySpecification",
        .doc = py::constructor_doc<penalty_signature>,
        .constructor = py::constructor<new_penalty, penalty_signature>,
    });
}

} // namespace tallyfit
