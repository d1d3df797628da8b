"""Model classes: fits through the native cores, inference, prediction and model files."""

from __future__ import annotations

import contextlib
import importlib
import json
import math
import numbers
import os
import tempfile
from dataclasses import dataclass
from collections.abc import Iterator, Mapping, Sequence
from types import ModuleType
from typing import Any, Optional, Union

import numpy as np

import _tallyfit

from . import _native, design, frames, inference, solvers
from .dask import is_dask_frame
from .engines.stream import is_stream_source
from .design import DesignPlan
from .frames import BoolArray, FloatArray

PenaltyKey = Union[str, tuple[str, str]]
Core = Union[
    _tallyfit.LinearRegressionCore,
    _tallyfit.LogisticRegressionCore,
    _tallyfit.PenalizedLogisticRegressionCore,
]
PathLike = Union[str, "os.PathLike[str]"]

_CORE_CLASSES: dict[str, Any] = {
    "LinearRegression": _tallyfit.LinearRegressionCore,
    "LogisticRegression": _tallyfit.LogisticRegressionCore,
    "PenalizedLogisticRegression": _tallyfit.PenalizedLogisticRegressionCore,
}


def _summary_module() -> Any:
    # Imported on first use: the summary layout is a module of its own.
    return importlib.import_module("tallyfit.summary")


class Model:
    """What every fitted model offers; see LinearModel and LogisticModel.

    Coefficient-keyed results are dicts in design-column order; aliased columns (linear
    combinations of earlier ones) have the coefficient NaN, as R's NA.

    A model is built from fit statistics alone, wherever they were computed (in memory or
    over partitions): the `core` holding the estimated coefficients, the design `plan`, the
    `coefficients` of every design column (NaN where `aliased`), the `unscaled_covariance` of
    the estimated columns ((XᵀX)⁻¹ or (XᵀWX)⁻¹; None for a penalized fit), `nobs` and
    `n_missing`; the subclasses add their own measures.
    """

    def __init__(
        self,
        *,
        core: Core,
        plan: DesignPlan,
        formula: str,
        coefficients: FloatArray,
        aliased: BoolArray,
        unscaled_covariance: Optional[FloatArray],
        nobs: int,
        n_missing: int,
        native_namespace: Optional[ModuleType] = None,
        loaded: bool = False,
    ) -> None:
        self.core = core
        self.formula = formula
        self.column_names: list[str] = list(plan.column_names)
        self._nobs = nobs
        self._n_missing = n_missing
        self.has_intercept = plan.has_intercept
        self._plan = plan
        self._coefficients = np.asarray(coefficients, dtype=np.float64)
        self._aliased = np.asarray(aliased, dtype=bool)
        self._estimated = ~self._aliased
        self._unscaled = unscaled_covariance
        self._native_namespace = native_namespace
        self._loaded = loaded
        self.rank = int(self._estimated.sum())

    @property
    def nobs(self) -> int:
        """Rows the model was fitted on (after dropping rows with missing values)."""
        self._require_data("the number of observations")
        return self._nobs

    @property
    def n_missing(self) -> int:
        """Rows dropped for a missing value in a used column."""
        self._require_data("the number of rows dropped")
        return self._n_missing

    @property
    def df_resid(self) -> int:
        self._require_data("the residual degrees of freedom")
        return self._nobs - self.rank

    # ---- results keyed by column ----------------------------------------------------------

    @property
    def aliased(self) -> list[str]:
        """Columns left out of the fit as linear combinations of earlier ones."""
        return [name for name, flag in zip(self.column_names, self._aliased) if flag]

    @property
    def coefficients(self) -> dict[str, float]:
        return self._keyed(self._coefficients)

    def _keyed(self, values: FloatArray) -> dict[str, float]:
        return {name: float(value) for name, value in zip(self.column_names, values)}

    def _require_data(self, what: str) -> None:
        if self._loaded:
            raise ValueError(
                f"this model was loaded from a model file; refit on data to get {what} "
                "(model files hold the coefficients and the encoding, not the data)"
            )

    def _require_inference(self, what: str) -> FloatArray:
        self._require_data(what)
        if self._unscaled is None:
            raise ValueError(self._no_inference_reason(what))
        return self._unscaled

    def _no_inference_reason(self, what: str) -> str:
        return f"{what} are not available for this model"

    def _scale(self) -> float:
        return 1.0

    def vcov(self) -> FloatArray:
        """The covariance matrix of the coefficients (p × p, design-column order; NaN rows and
        columns for aliased columns)."""
        unscaled = self._require_inference("the covariance matrix")
        return inference.scatter_matrix(
            unscaled * self._scale(), self._estimated, len(self.column_names)
        )

    def _standard_errors(self, what: str = "standard errors") -> FloatArray:
        unscaled = self._require_inference(what)
        return inference.scatter(
            inference.standard_errors(unscaled * self._scale()),
            self._estimated,
            len(self.column_names),
        )

    @property
    def std_errors(self) -> dict[str, float]:
        return self._keyed(self._standard_errors())

    def _statistics(self) -> FloatArray:
        return self._coefficients / self._standard_errors("test statistics")

    @property
    def statistics(self) -> dict[str, float]:
        """t values for a linear model, z values for a logistic one."""
        return self._keyed(self._statistics())

    def _p_values(self, statistics: FloatArray) -> FloatArray:
        raise NotImplementedError

    @property
    def p_values(self) -> dict[str, float]:
        self._require_inference("p-values")
        return self._keyed(self._p_values(self._statistics()))

    def _quantile(self, level: float) -> float:
        raise NotImplementedError

    def conf_int(self, level: float = 0.95) -> dict[str, tuple[float, float]]:
        """Wald confidence intervals (t for a linear model, normal for a logistic one), as R's
        confint.default / confint.lm.

        >>> import tallyfit as tf
        >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
        >>> [round(v, 4) for v in m.conf_int()["x"]]
        [-1.1357, 3.3357]
        """
        level = inference.check_level(level)
        errors = self._standard_errors("confidence intervals")
        half = self._quantile(level) * errors
        return {
            name: (float(value - width), float(value + width))
            for name, value, width in zip(self.column_names, self._coefficients, half)
        }

    # ---- presentation -----------------------------------------------------------------------

    def summary(self) -> Any:
        """An R-style summary; print it."""
        return _summary_module().Summary(self)

    def tidy(self) -> Any:
        """The coefficient table as a data frame of the library the model was fitted from."""
        return _summary_module().tidy(self, self._native_namespace)

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.formula!r}, {len(self.column_names)} columns>"

    # ---- prediction and files ---------------------------------------------------------------

    def _design_for(self, data: object) -> tuple[FloatArray, BoolArray]:
        frame, _ = frames.to_frame(data)
        block = self._plan.build(frame, with_response=False)
        matrix = block.matrix
        if self._aliased.any():
            matrix = design.compact_columns(matrix, self._estimated)
        return matrix, block.kept

    def _estimated_names(self) -> list[str]:
        return [name for name, flag in zip(self.column_names, self._estimated) if flag]

    def _linear_predictor(self, matrix: FloatArray) -> FloatArray:
        return np.asarray(matrix @ self._coefficients[self._estimated], dtype=np.float64)

    @staticmethod
    def _aligned(values: FloatArray, kept: BoolArray) -> FloatArray:
        if kept.all():
            return values
        full = np.full(kept.shape[0], np.nan)
        full[kept] = values
        return full

    def save(self, path: PathLike) -> None:
        """Writes the model file (JSON, replaced atomically); `tallyfit.load` reads it back."""
        self.core.save_to_file(os.fspath(path))


class LinearModel(Model):
    """An ordinary least-squares fit, as R's lm.

    >>> import tallyfit as tf
    >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
    >>> round(m.coefficients["x"], 6), round(m.r_squared, 6)
    (1.1, 0.691429)
    """

    def __init__(
        self,
        *,
        rss: float,
        tss: float,
        residuals: Optional[FloatArray] = None,
        fitted_values: Optional[FloatArray] = None,
        **common: Any,
    ) -> None:
        super().__init__(**common)
        self.rss = rss
        self.tss = tss
        self.residuals = residuals
        self.fitted_values = fitted_values
        if not self._loaded:
            measures = inference.linear_fit_measures(
                rss, tss, self._nobs, self.rank, self.has_intercept
            )
            self._measures = measures

    def _measure(self, name: str) -> Any:
        self._require_data(name.replace("_", " "))
        return self._measures[name]

    @property
    def sigma(self) -> float:
        """Residual standard error."""
        return float(self._measure("sigma"))

    @property
    def r_squared(self) -> float:
        return float(self._measure("r_squared"))

    @property
    def adj_r_squared(self) -> float:
        return float(self._measure("adj_r_squared"))

    @property
    def f_statistic(self) -> tuple[float, float, float]:
        """(value, numdf, dendf) as R's summary.lm."""
        value: tuple[float, float, float] = self._measure("f_statistic")
        return value

    @property
    def f_p_value(self) -> float:
        return float(self._measure("f_p_value"))

    def _scale(self) -> float:
        sigma = self.sigma
        return sigma * sigma

    def _p_values(self, statistics: FloatArray) -> FloatArray:
        return inference.t_p_values(statistics, self.df_resid)

    def _quantile(self, level: float) -> float:
        return inference.t_quantile(level, self.df_resid)

    def predict(
        self,
        data: object,
        type: str = "response",
        interval: Optional[str] = None,
        level: float = 0.95,
    ) -> Union[FloatArray, tuple[FloatArray, FloatArray, FloatArray]]:
        """Predictions for the rows of `data` (NaN where a predictor is missing), with the
        fit's encoding. `interval="confidence"` or `"prediction"` gives (fit, lower, upper) as
        R's predict.lm.

        >>> import tallyfit as tf
        >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
        >>> m.predict({"x": [5.0]}).round(6).tolist()
        [5.5]
        """
        if type not in ("response", "link"):
            raise ValueError(f"type must be 'response' or 'link', not {type!r}")
        if is_dask_frame(data):
            from .dask import predict

            return predict(self, data, type=type, interval=interval)  # type: ignore[no-any-return]
        if is_stream_source(data):
            from .engines import stream

            return stream.predict(self, data, type=type, interval=interval, level=level)  # type: ignore[no-any-return]
        if interval not in (None, "confidence", "prediction"):
            raise ValueError(
                f"interval must be None, 'confidence' or 'prediction', not {interval!r}"
            )
        level = inference.check_level(level)
        unscaled = self._require_inference("prediction intervals") if interval else None
        matrix, kept = self._design_for(data)
        fit = self.core.predict(matrix, self._estimated_names())
        if unscaled is None:
            return self._aligned(fit, kept)
        variance = np.einsum("ij,jk,ik->i", matrix, unscaled * self._scale(), matrix)
        if interval == "prediction":
            variance = variance + self._scale()
        half = self._quantile(level) * np.sqrt(variance)
        return (
            self._aligned(fit, kept),
            self._aligned(fit - half, kept),
            self._aligned(fit + half, kept),
        )


class LogisticModel(Model):
    """A logistic regression (binomial family, logit link), as R's glm; with penalties a
    ridge-penalized one, which reports estimates and penalties but no inference.

    >>> import tallyfit as tf
    >>> g = tf.glm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
    ...                      "y": [0.0, 0.0, 1.0, 0.0, 1.0, 1.0]})
    >>> round(g.coefficients["x"], 4)
    1.214
    """

    def __init__(
        self,
        *,
        deviance: float,
        null_deviance: float,
        df_null: int,
        penalties: Optional[dict[PenaltyKey, float]] = None,
        iterations: Optional[int] = None,
        **common: Any,
    ) -> None:
        super().__init__(**common)
        self._deviance = deviance
        self._null_deviance = null_deviance
        self._df_null = df_null
        self.penalties = penalties
        self.iterations = iterations

    def _no_inference_reason(self, what: str) -> str:
        return (
            f"{what} are not defined for a penalized model: the ridge penalty biases the "
            "estimates; fit without penalties for inference"
        )

    def _fit_measure(self, value: Any, what: str) -> Any:
        self._require_data(what)
        return value

    @property
    def deviance(self) -> float:
        return float(self._fit_measure(self._deviance, "the deviance"))

    @property
    def null_deviance(self) -> float:
        return float(self._fit_measure(self._null_deviance, "the null deviance"))

    @property
    def df_null(self) -> int:
        return int(self._fit_measure(self._df_null, "the null degrees of freedom"))

    @property
    def log_likelihood(self) -> float:
        return inference.information_criteria(self.deviance, self.rank, self.nobs)[0]

    @property
    def aic(self) -> float:
        return inference.information_criteria(self.deviance, self.rank, self.nobs)[1]

    @property
    def bic(self) -> float:
        return inference.information_criteria(self.deviance, self.rank, self.nobs)[2]

    def _p_values(self, statistics: FloatArray) -> FloatArray:
        return inference.z_p_values(statistics)

    def _quantile(self, level: float) -> float:
        return inference.z_quantile(level)

    def predict(self, data: object, type: str = "response") -> FloatArray:
        """Probabilities (`type="response"`) or the linear predictor (`type="link"`) for the
        rows of `data`, NaN where a predictor is missing.

        >>> import tallyfit as tf
        >>> g = tf.glm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
        ...                      "y": [0.0, 0.0, 1.0, 0.0, 1.0, 1.0]})
        >>> g.predict({"x": [3.5]}).round(4).tolist()
        [0.5]
        """
        if type not in ("response", "link"):
            raise ValueError(f"type must be 'response' or 'link', not {type!r}")
        if is_dask_frame(data):
            from .dask import predict

            return predict(self, data, type=type)  # type: ignore[no-any-return]
        if is_stream_source(data):
            from .engines import stream

            return stream.predict(self, data, type=type)  # type: ignore[no-any-return]
        matrix, kept = self._design_for(data)
        if type == "link":
            values = self._linear_predictor(matrix)
        else:
            values = self.core.predict(matrix, self._estimated_names())
        return self._aligned(values, kept)


# ---- fitting -------------------------------------------------------------------------------


def _check_positive_int(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or int(value) <= 0:
        raise ValueError(f"{name} must be a positive integer, not {value!r}")
    return int(value)


def _check_non_negative(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a finite number >= 0, not {value!r}")
    number = float(value)
    if not (math.isfinite(number) and number >= 0.0):
        raise ValueError(f"{name} must be a finite number >= 0, not {value!r}")
    return number


def _check_penalties(penalties: object) -> Optional[dict[PenaltyKey, float]]:
    if penalties is None:
        return None
    if not isinstance(penalties, Mapping):
        raise ValueError(
            "penalties must be a dict from a column name or a (variable, level) pair to a "
            f"lambda, not {penalties!r}"
        )
    checked: dict[PenaltyKey, float] = {}
    for key, value in penalties.items():
        valid_key = isinstance(key, str) or (
            isinstance(key, tuple) and len(key) == 2 and all(isinstance(k, str) for k in key)
        )
        if not valid_key:
            raise ValueError(
                f"penalty key {key!r} must be a column name or a (variable, level) pair of str"
            )
        checked[key] = _check_non_negative(f"the penalty on {key!r}", value)
    return checked


def _penalty_records(
    penalties: dict[PenaltyKey, float], plan: DesignPlan
) -> list[tuple[str, Optional[str], float]]:
    """The penalties as (variable, level, lambda) after checking that each names a column."""
    records: list[tuple[str, Optional[str], float]] = []
    columns = set(plan.column_names)
    for key, value in penalties.items():
        if isinstance(key, str):
            if key not in columns:
                raise ValueError(
                    f"penalty on {key!r}: no design column of that name; columns: "
                    + ", ".join(map(repr, plan.column_names))
                )
            records.append((key, None, value))
            continue
        variable, level = key
        if plan.kinds.get(variable) != "categorical" or variable not in plan.predictors:
            raise ValueError(
                f"penalty on {key!r}: {variable!r} is not a categorical variable of the formula"
            )
        if level not in plan.levels[variable]:
            raise ValueError(
                f"penalty on {key!r}: {variable!r} has no level {level!r}; levels: "
                + ", ".join(map(repr, plan.levels[variable]))
            )
        if f"{variable}_{level}" not in columns:
            raise ValueError(
                f"penalty on {key!r}: level {level!r} is the reference level of {variable!r} "
                "and has no column of its own"
            )
        records.append((variable, level, value))
    return records


def _prepare(
    formula: object, data: object, binary_response: bool
) -> tuple[str, DesignPlan, frames.Frame, Optional[ModuleType]]:
    if not isinstance(formula, str):
        raise TypeError(f"formula must be a str such as 'y ~ x1 + x2', not {formula!r}")
    parsed = design.parse_formula(formula)
    frame, namespace = frames.to_frame(data)
    plan = design.plan_from_frame(parsed, frame, binary_response=binary_response)
    return formula, plan, frame, namespace


@dataclass
class _Estimable:
    """The design reduced to its estimable columns: the compacted matrix (its columns scaled by
    `scales` where their squares over- or underflowed), the aliased mask and the XᵀX of the
    kept, scaled columns."""

    matrix: FloatArray
    aliased: BoolArray
    xtx: FloatArray
    scales: Optional[FloatArray]

    def unscale(self, coefficients: FloatArray) -> FloatArray:
        return coefficients if self.scales is None else coefficients * self.scales

    def unscale_covariance(self, covariance: FloatArray) -> FloatArray:
        if self.scales is None:
            return covariance
        # One factor at a time: the product of two scales may overflow where neither does. A
        # variance beyond the largest double is infinite, as in R.
        with np.errstate(over="ignore"):
            return (covariance * self.scales[:, None]) * self.scales[None, :]


def _estimate(
    plan: DesignPlan, block: design.DesignBlock, ridge: Optional[FloatArray] = None
) -> _Estimable:
    """Finds the aliased columns (R's rule, from XᵀX) and drops them from the design in place."""
    xtx, _ = _native.gram(block.matrix)
    assert xtx is not None
    matrix = block.matrix
    # Penalties are set in the data's own units, so a penalized design is never rescaled.
    scales = solvers.column_scales(xtx, matrix) if ridge is None else None
    if scales is not None:
        matrix *= scales
        xtx, _ = _native.gram(matrix)
    check = xtx if ridge is None else xtx + np.diag(4.0 * ridge)
    aliased = design.aliased_columns(check)
    if aliased.any():
        keep = ~aliased
        matrix = design.compact_columns(matrix, keep)
        xtx = xtx[np.ix_(keep, keep)]
        scales = None if scales is None else scales[keep]
    return _Estimable(matrix, aliased, xtx, scales)


@contextlib.contextmanager
def convergence_hint(max_iterations: int, convergence_delta: float) -> Iterator[None]:
    """Adds the limits and what to try to the fit's "Algorithm failed to converge"."""
    try:
        yield
    except ValueError as error:
        if "converge" not in str(error):
            raise
        raise ValueError(
            f"{error} within max_iterations={max_iterations} "
            f"(convergence_delta={convergence_delta}): raise max_iterations, or look for a "
            "predictor that separates the outcomes"
        ) from None


def _coefficient_vector(core: Core, names: Sequence[str]) -> FloatArray:
    found = core.coefficients or {}
    return np.array([found[name] for name in names], dtype=np.float64)


def lm(formula: str, data: object) -> LinearModel:
    """Fits a linear model by ordinary least squares, as R's ``lm(formula, data)``.

    `data` is a pandas or polars DataFrame, a pyarrow Table or a dict of equal-length
    sequences. Rows with a missing value in a used column are dropped (R's na.omit).

    >>> import tallyfit as tf
    >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
    >>> round(m.coefficients["x"], 6), round(m.std_errors["x"], 6)
    (1.1, 0.519615)
    """
    if is_dask_frame(data):
        from . import dask

        return dask.lm(formula, data)
    if is_stream_source(data):
        from .engines import stream

        return stream.lm(formula, data)  # type: ignore[no-any-return]
    text, plan, frame, namespace = _prepare(formula, data, binary_response=False)
    block = plan.build(frame)
    assert block.response is not None
    y = block.response
    estimable = _estimate(plan, block)
    aliased = estimable.aliased
    names = [name for name, flag in zip(plan.column_names, aliased) if not flag]
    fit = solvers.least_squares(estimable.matrix, y, estimable.xtx)
    beta = estimable.unscale(fit.coefficients)
    core = core_from_coefficients(
        "LinearRegression", names, beta.tolist(), plan.encoder(), plan.formula
    )
    fitted = fit.fitted
    residuals = y - fitted
    rss = float(residuals @ residuals)
    if plan.has_intercept:
        centred = y - y.mean()
        tss = float(centred @ centred)
    else:
        tss = float(y @ y)
    return LinearModel(
        core=core,
        plan=plan,
        formula=text,
        coefficients=inference.scatter(beta, ~aliased, len(plan.column_names)),
        aliased=aliased,
        unscaled_covariance=estimable.unscale_covariance(fit.unscaled_covariance),
        nobs=int(y.shape[0]),
        n_missing=block.n_missing,
        native_namespace=namespace,
        rss=rss,
        tss=tss,
        residuals=residuals,
        fitted_values=fitted,
    )


def glm(
    formula: str,
    data: object,
    family: str = "binomial",
    penalties: Optional[Mapping[PenaltyKey, float]] = None,
    max_iterations: int = 25,
    convergence_delta: float = 1e-8,
) -> LogisticModel:
    """Fits a logistic regression (binomial family, logit link), as R's
    ``glm(formula, data, family = binomial)``.

    The response is 0/1, boolean or a two-level category (the second level counts as 1).
    `penalties` maps a column name, or a (variable, level) pair of a categorical variable, to
    a ridge lambda; a penalized model reports estimates and penalties but no inference.

    >>> import tallyfit as tf
    >>> g = tf.glm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
    ...                      "y": [0.0, 0.0, 1.0, 0.0, 1.0, 1.0]}, penalties={"x": 1.0})
    >>> round(g.coefficients["x"], 4)
    0.7671
    """
    if family != "binomial":
        raise ValueError(f"family must be 'binomial' (the one family offered), not {family!r}")
    checked = _check_penalties(penalties)
    iterations = _check_positive_int("max_iterations", max_iterations)
    delta = _check_non_negative("convergence_delta", convergence_delta)
    if is_dask_frame(data):
        from . import dask

        return dask.glm(formula, data, checked, iterations, delta)
    if is_stream_source(data):
        from .engines import stream

        return stream.glm(formula, data, checked, iterations, delta)  # type: ignore[no-any-return]
    text, plan, frame, namespace = _prepare(formula, data, binary_response=True)
    records = _penalty_records(checked, plan) if checked else None
    block = plan.build(frame)
    assert block.response is not None
    y = block.response
    ridge = None
    if records:
        ridge = _native.penalty_diagonal(records, plan.column_names)
    estimable = _estimate(plan, block, ridge)
    matrix, aliased = estimable.matrix, estimable.aliased
    names = [name for name, flag in zip(plan.column_names, aliased) if not flag]
    core: Core
    unscaled = None
    iteration_count: Optional[int] = None
    if records:
        with convergence_hint(iterations, delta):
            core = _tallyfit.PenalizedLogisticRegressionCore()
            specs = [_tallyfit.PenaltySpecification(v, level, lam) for v, level, lam in records]
            core.fit(matrix, y, names, plan.encoder(), specs, iterations, delta)
        core.formula = plan.formula
        beta = _coefficient_vector(core, names)
        eta = np.asarray(matrix @ beta, dtype=np.float64)
    else:
        fit = solvers.logistic_irls(matrix, y, estimable.xtx, iterations, delta)
        eta = fit.linear_predictor
        unscaled = estimable.unscale_covariance(fit.unscaled_covariance)
        beta = estimable.unscale(fit.coefficients)
        iteration_count = fit.iterations
        core = core_from_coefficients(
            "LogisticRegression", names, beta.tolist(), plan.encoder(), plan.formula
        )
    nobs = int(y.shape[0])
    return LogisticModel(
        core=core,
        plan=plan,
        formula=text,
        coefficients=inference.scatter(beta, ~aliased, len(plan.column_names)),
        aliased=aliased,
        unscaled_covariance=unscaled,
        nobs=nobs,
        n_missing=block.n_missing,
        native_namespace=namespace,
        deviance=inference.binomial_deviance(y, eta),
        null_deviance=inference.binomial_null_deviance(
            float(y.sum()), nobs, plan.has_intercept
        ),
        df_null=nobs - (1 if plan.has_intercept else 0),
        penalties=dict(checked) if checked else None,
        iterations=iteration_count,
    )


# ---- model files ---------------------------------------------------------------------------


def _plan_from_core(core: Core) -> DesignPlan:
    formula = core.formula
    if formula is None:
        raise ValueError(
            "the model file has no formula, so its design cannot be rebuilt: save models "
            "with tallyfit (model.save) to predict from data frames"
        )
    encoder = core.encoding_data
    kinds: dict[str, frames.Kind] = {}
    levels: dict[str, list[str]] = {}
    for name, info in encoder.column_mappings.items():
        encoding = info.encoding_type
        if encoding == _tallyfit.EncodingType.Numeric:
            kinds[name] = "numeric"
        elif encoding == _tallyfit.EncodingType.Bool:
            kinds[name] = "bool"
        else:
            kinds[name] = "categorical"
            levels[name] = list(info.levels or [])
            repeated = _repeated(levels[name])
            if repeated:
                # A fit's levels are distinct; a repeated one would code as its first place.
                raise ValueError(
                    f"the model file lists the level(s) {', '.join(map(repr, repeated))} of "
                    f"{name!r} more than once; was the file edited?"
                )
    missing = [name for name in design.predictor_names(formula) if name not in kinds]
    if missing:
        raise ValueError(
            f"the model file has no encoding for {', '.join(map(repr, missing))}: it was not "
            "written by a tallyfit model"
        )
    response = design.response_name(formula)
    binary = not isinstance(core, _tallyfit.LinearRegressionCore)
    return design.plan_design(
        formula, kinds, levels, binary_response=binary, with_response=response in kinds
    )


def load(path: PathLike) -> Union[LinearModel, LogisticModel]:
    """Reads a model file written by ``model.save`` (any of the three kinds) and returns a
    model that predicts from data frames. Inference needs the data and is not in the file.

    A file whose coefficients do not fit the design its formula and encoding describe (a
    coefficient that names no design column, say after the levels were reordered) is
    refused: a design column without a coefficient is read as aliased, as tallyfit writes
    aliased columns by leaving them out.

    >>> import os, tempfile, tallyfit as tf
    >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
    >>> path = os.path.join(tempfile.mkdtemp(), "m.json")
    >>> m.save(path)
    >>> tf.load(path).predict({"x": [5.0]}).round(6).tolist()
    [5.5]
    """
    filepath = os.fspath(path)
    document = _read_document(filepath)
    kind = document.get("model_type") if isinstance(document, dict) else None
    if not isinstance(kind, str) or kind not in _CORE_CLASSES:
        raise ValueError(
            f"{filepath!r} is not a tallyfit model file (no known model_type; expected one of "
            f"{', '.join(_CORE_CLASSES)})"
        )
    core = _CORE_CLASSES[kind]()
    core.load_from_file(filepath)
    try:
        plan = _plan_from_core(core)
    except ValueError as error:
        raise ValueError(f"{filepath!r}: {error}") from None
    stored = core.coefficients or {}
    renamed = _with_interactions_renamed(plan, stored)
    if renamed is not None and kind != "PenalizedLogisticRegression":
        stored = renamed
        core = core_from_coefficients(kind, list(stored), list(stored.values()),
                                      core.encoding_data, plan.formula)
    _check_coefficients(plan, stored, filepath)
    coefficients = np.array(
        [stored.get(name, math.nan) for name in plan.column_names], dtype=np.float64
    )
    aliased = np.array([name not in stored for name in plan.column_names], dtype=bool)
    common: dict[str, Any] = dict(
        core=core,
        plan=plan,
        formula=plan.formula.original,
        coefficients=coefficients,
        aliased=aliased,
        unscaled_covariance=None,
        nobs=0,
        n_missing=0,
        loaded=True,
    )
    if kind == "LinearRegression":
        return LinearModel(rss=math.nan, tss=math.nan, **common)
    penalties: Optional[dict[PenaltyKey, float]] = None
    if kind == "PenalizedLogisticRegression":
        penalties = _stored_penalties(document)
        if penalties:
            _check_stored_penalties(penalties, plan, filepath)
    return LogisticModel(
        deviance=math.nan, null_deviance=math.nan, df_null=0, penalties=penalties, **common
    )


def _stored_penalties(document: Mapping[str, Any]) -> Optional[dict[PenaltyKey, float]]:
    """The penalties of a parsed model file (one the core has loaded, so well-formed)."""
    records = document.get("penalties")
    if not records:
        return None
    penalties: dict[PenaltyKey, float] = {}
    for record in records:
        if isinstance(record, list):  # the core also reads a record as an array
            record = dict(zip(("variable_name", "categorical_level", "lambda_param"), record))
        level = record.get("categorical_level")
        key: PenaltyKey = (
            record["variable_name"] if level is None else (record["variable_name"], level)
        )
        penalties[key] = float(record["lambda_param"])
    return penalties


def _read_document(filepath: str) -> Any:
    """The model file parsed by Python's json. A file that is not UTF-8 JSON is reported by
    the core's loader of the kind the text names (its error gives the line and column)."""
    with open(filepath, "rb") as handle:
        raw = handle.read()
    try:
        return json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError, RecursionError) as error:
        failure = error
    import re

    found = re.search(r'"model_type"\s*:\s*"([A-Za-z]+)"', raw.decode("utf-8", "replace"))
    kind = found.group(1) if found and found.group(1) in _CORE_CLASSES else "LinearRegression"
    # Raises the core's own error for the file (IOError for bytes that are not UTF-8,
    # ValueError with the line and column of a JSON error).
    _CORE_CLASSES[kind]().load_from_file(filepath)
    if isinstance(failure, json.JSONDecodeError):
        raise ValueError(
            f"{filepath!r} is not valid JSON: {failure.msg} at line {failure.lineno} column "
            f"{failure.colno}"
        ) from None
    raise ValueError(f"{filepath!r} is not a readable JSON document: {failure}") from None


def _repeated(values: Sequence[str]) -> list[str]:
    seen: set[str] = set()
    repeated: set[str] = set()
    for value in values:
        (repeated if value in seen else seen).add(value)
    return sorted(repeated)


def _with_interactions_renamed(
    plan: DesignPlan, stored: Mapping[str, float]
) -> Optional[dict[str, float]]:
    """The coefficients with interaction names of earlier versions (whose parts followed the
    written order of the term, as ``g_b:x`` for R's ``x:g_b``) renamed to the design's, or
    None when no name needs it. A name is renamed only to the one design column made of the
    same parts that has no coefficient of its own."""
    columns = set(plan.column_names)
    by_parts: dict[frozenset[str], list[str]] = {}
    for name in plan.column_names:
        by_parts.setdefault(frozenset(name.split(":")), []).append(name)
    renamed: dict[str, float] = {}
    changed = False
    for name, value in stored.items():
        matches = by_parts.get(frozenset(name.split(":")), [])
        if name not in columns and ":" in name and len(matches) == 1 and matches[0] not in stored:
            renamed[matches[0]] = value
            changed = True
        else:
            renamed[name] = value
    return renamed if changed else None


def _check_coefficients(plan: DesignPlan, stored: Mapping[str, float], filepath: str) -> None:
    """Refuses coefficients that a tallyfit fit of this design could not have written: every
    coefficient names a design column, and the intercept (the first column, all ones) is
    never aliased, so never left out."""
    columns = set(plan.column_names)
    unknown = [name for name in stored if name not in columns]
    absent = [name for name in plan.column_names if name not in stored]
    problems = []
    if unknown:
        problems.append(
            f"the coefficient(s) {', '.join(map(repr, unknown))} name no design column"
        )
    if design.INTERCEPT in absent:
        problems.append(f"the design's {design.INTERCEPT!r} has no coefficient")
    if not problems:
        return
    if absent:
        problems.append(
            f"the design column(s) {', '.join(map(repr, absent))} have no coefficient"
        )
    raise ValueError(
        f"{filepath!r}: the model file's coefficients do not match the design its formula and "
        f"encoding describe: {'; '.join(problems)} (design columns: "
        f"{', '.join(map(repr, plan.column_names))}); was the file edited? A reordered level "
        "list changes the reference level and so the column names: refit and save the model"
    )


def _check_stored_penalties(
    penalties: dict[PenaltyKey, float], plan: DesignPlan, filepath: str
) -> None:
    """Refuses penalties that name no column or level of the design, as a fit would."""
    try:
        _penalty_records(penalties, plan)
        _check_penalties(penalties)
    except ValueError as error:
        raise ValueError(
            f"{filepath!r}: the model file's penalties do not match its design: {error}; "
            "was the file edited?"
        ) from None


def _term_record(term: _tallyfit.FormulaTerm) -> dict[str, object]:
    return {
        "name": term.name,
        "dependent": term.dependent,
        "subtracted": term.subtracted,
        "intercept": term.intercept,
        "interaction": term.interaction,
    }


def core_from_coefficients(
    kind: str,
    names: Sequence[str],
    coefficients: Sequence[float],
    encoder: _tallyfit.Encoder,
    formula: _tallyfit.Formula,
    penalties: Optional[Sequence[tuple[str, Optional[str], float]]] = None,
) -> Core:
    """A core of the given kind ("LinearRegression", "LogisticRegression" or
    "PenalizedLogisticRegression") holding coefficients computed elsewhere (on Dask, say),
    with the encoding and formula a model file needs. NaN coefficients are left out."""
    if kind not in _CORE_CLASSES:
        raise ValueError(f"kind must be one of {', '.join(_CORE_CLASSES)}, not {kind!r}")
    document: dict[str, object] = {
        "coefficients": {
            name: float(value)
            for name, value in zip(names, coefficients)
            if math.isfinite(float(value))
        },
        "encoding_data": {
            "column_mappings": {
                name: {"levels": info.levels, "encoding_type": info.encoding_type.name}
                for name, info in encoder.column_mappings.items()
            }
        },
        "formula": {
            "original": formula.original,
            "dependent": _term_record(formula.dependent),
            "independent": [_term_record(term) for term in formula.independent],
        },
        "model_type": kind,
    }
    if kind == "PenalizedLogisticRegression":
        document["penalties"] = [
            {"variable_name": v, "categorical_level": level, "lambda_param": lam, "target": 0.0}
            for v, level, lam in (penalties or [])
        ]
    core: Core = _CORE_CLASSES[kind]()
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "model.json")
        with open(path, "w", encoding="utf-8") as handle:
            json.dump(document, handle, ensure_ascii=False, allow_nan=False)
        core.load_from_file(path)
    return core
