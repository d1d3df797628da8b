"""The results of a fit: one class per model kind ("lm", "glm"), with the family.

A result is the design `plan`, the `coefficients` of every design column (NaN where
`aliased`), the family, the ridge penalties of a penalized fit, and the `fit` statistics
(`FitStatistics`): what needs the data. A model loaded from a file has ``fit is None``, and
everything that needs the data says so.
"""

from __future__ import annotations

import functools
import math
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Optional, Union

import numpy as np

from . import (arguments, covariance, design, diagnostics, frames, inference, model_file,
               passes, plots, summary)
from .design import DesignPlan
from .engines import engine_for
from .families import (NATIVE_KINDS, PENALIZED_NATIVE_KINDS, Family, family_for_kind,
                       family_from)
from .frames import BoolArray, FloatArray

PenaltyKey = Union[str, tuple[str, str]]
PathLike = Union[str, "os.PathLike[str]"]

LOADED_MESSAGE = (
    "this model was loaded from a model file; refit on data to get {what} "
    "(model files hold the coefficients and the encoding, not the data)"
)


@dataclass
class FitStatistics:
    """What a fit on data adds to the coefficients. `unscaled` is (XᵀWX)⁻¹ of the estimated
    columns (None for a penalized fit); least squares has `rss`, `tss` and, in memory, the
    residuals and fitted values; a glm its deviances, Pearson χ², AIC and iterations."""

    nobs: int
    n_missing: int
    unscaled: Optional[FloatArray]
    rss: float = float("nan")
    tss: float = float("nan")
    residuals: Optional[FloatArray] = None
    fitted_values: Optional[FloatArray] = None
    deviance: float = float("nan")
    null_deviance: float = float("nan")
    df_null: int = 0
    pearson: float = float("nan")
    aic: float = float("nan")
    iterations: Optional[int] = None


@dataclass
class FitRows:
    """Where the rows of a fit on data are, for the covariance passes after it: the engine
    and its scan, the family the response is read by (None: as least squares), the family
    whose working weights and residuals form the scores, and where the weights are formed
    (`passes.WeightsAt`, in the data's units)."""

    engine: Any
    scan: Any
    response_family: Optional[Family]
    family: Family
    weights_at: passes.WeightsAt = "beta"
    #: The rows the fit read (those of weight 0 included, those with a missing value not).
    rows: int = 0
    #: The μ of the rows the fit started from, where it was given (None: R's start).
    mustart: Optional[FloatArray] = None


class Model:
    """What every model offers; see LinearModel and GeneralizedLinearModel.

    Coefficient-keyed results are dicts in design-column order; aliased columns (linear
    combinations of earlier ones) have the coefficient NaN, as R's NA.
    """

    kind = ""

    def __init__(self, *, plan: DesignPlan, formula: str, coefficients: FloatArray,
                 aliased: BoolArray, family: Family,
                 penalties: Optional[dict[PenaltyKey, float]] = None,
                 fit: Optional[FitStatistics] = None, native_namespace: Any = None) -> None:
        self._plan = plan
        self.formula = formula
        self.family = family
        self.column_names: list[str] = list(plan.column_names)
        self.has_intercept = plan.has_intercept
        self._coefficients = np.asarray(coefficients, dtype=np.float64)
        self._aliased = np.asarray(aliased, dtype=bool)
        self._estimated = ~self._aliased
        self.rank = int(self._estimated.sum())
        self.penalties = penalties
        self.fit = fit
        self._native_namespace = native_namespace
        self._core: Any = None
        self.iterations = None if fit is None else fit.iterations
        #: Whether the fit was given its link (the summary's Call shows it then).
        self.link_given = False
        #: The rows of the fit, for sandwich covariances (None: loaded from a file).
        self.fit_rows: Optional[FitRows] = None
        self._sandwiches: dict[Any, tuple[FloatArray, Optional[int]]] = {}

    @property
    def link(self) -> str:
        """The name of the link, as R names it."""
        return self.family.link.name

    @property
    def weights_name(self) -> Optional[str]:
        """The data column of the prior weights (None: none, or numbers given per row)."""
        name = self._plan.weights
        return None if name in arguments.ROW_VALUE_COLUMNS.values() else name

    @property
    def offset_name(self) -> Optional[str]:
        """The data column of the `offset=` argument (None: none, or numbers per row)."""
        name = self._plan.offset
        return None if name in arguments.ROW_VALUE_COLUMNS.values() else name

    # ---- the fit statistics -----------------------------------------------------------------

    @property
    def fit_statistics(self) -> Optional[FitStatistics]:
        return self.fit

    def _fit(self, what: str) -> FitStatistics:
        if self.fit is None:
            raise ValueError(LOADED_MESSAGE.format(what=what))
        return self.fit

    @property
    def nobs(self) -> int:
        """Rows the model was fitted on (after dropping rows with missing values)."""
        return self._fit("the number of observations").nobs

    @property
    def n_missing(self) -> int:
        """Rows dropped for a missing value in a used column."""
        return self._fit("the number of rows dropped").n_missing

    @property
    def df_resid(self) -> int:
        return self._fit("the residual degrees of freedom").nobs - self.rank

    # ---- results keyed by column --------------------------------------------------------------

    @property
    def aliased(self) -> list[str]:
        """Columns left out of the fit as linear combinations of earlier ones."""
        return [name for name, flag in zip(self.column_names, self._aliased) if flag]

    @property
    def coefficients(self) -> dict[str, float]:
        return self._keyed(self._coefficients)

    def _keyed(self, values: FloatArray) -> dict[str, float]:
        return {name: float(value) for name, value in zip(self.column_names, values)}

    def _unscaled(self, what: str) -> FloatArray:
        unscaled = self._fit(what).unscaled
        if unscaled is None:
            raise ValueError(
                f"{what} are not defined for a penalized model: the ridge penalty biases the "
                "estimates; fit without penalties for inference"
            )
        return unscaled

    @property
    def dispersion(self) -> float:
        """The dispersion the covariance is scaled by (σ² for least squares)."""
        return 1.0

    @property
    def uses_t(self) -> bool:
        """Whether the tests are t tests (an estimated dispersion), else z tests."""
        return True

    def _covariance(self, what: str) -> FloatArray:
        return covariance.classical(self._unscaled(what), self.dispersion)

    def vcov(self, type: Optional[str] = None, cluster: Any = None) -> FloatArray:
        """The covariance matrix of the coefficients (p × p, design-column order; NaN rows and
        columns for aliased columns): the model-based one, or with `type` "HC0", "HC1",
        "HC2" or "HC3" sandwich's ``vcovHC(m, type = ...)``; with `cluster` (a column name of
        the fitting data, or an array with one value per row of it) the one-way clustered
        ``vcovCL(m, cluster = ..., type = "HC1")`` (`type` "HC0" drops its (n−1)/(n−k);
        R's vcovCL takes HC0 by default for a glm). HC2 and HC3 need the leverages of every
        row: in-memory data only.

        >>> import tallyfit as tf
        >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
        >>> m.vcov("HC0").round(4).tolist()
        [[0.26, -0.089], [-0.089, 0.0566]]
        """
        chosen = covariance.choice(type, cluster)
        return inference.scatter_matrix(self._covariance_of(chosen, "the covariance matrix"),
                                        self._estimated, len(self.column_names))

    def _covariance_of(self, chosen: covariance.Choice, what: str) -> FloatArray:
        if chosen.classical:
            return self._covariance(what)
        return self._sandwich(chosen, what)[0]

    def _sandwich(self, chosen: covariance.Choice, what: str
                  ) -> tuple[FloatArray, Optional[int]]:
        """The sandwich covariance of the estimated columns and the number of clusters, from
        one pass over the fit's rows (kept per choice)."""
        key = chosen.key
        if key is not None and key in self._sandwiches:
            return self._sandwiches[key]
        unscaled = self._unscaled(what)
        rows = self.fit_rows
        if rows is None:
            raise ValueError(LOADED_MESSAGE.format(what=what))
        power = covariance.LEVERAGE_TYPES.index(chosen.type) + 1 \
            if chosen.type in covariance.LEVERAGE_TYPES else 0
        if power and rows.engine.NAME != "memory":
            raise ValueError(
                f"{chosen.type} needs the leverage of every row, which is computed for "
                f"in-memory data only: take type='HC0' or 'HC1' (or cluster=...) on "
                f"{rows.engine.NAME} data, or fit on the rows in memory")
        request = passes.MeatRequest(rows.family, self._coefficients[self._estimated],
                                     self._estimated, rows.weights_at,
                                     unscaled if power else None, power, rows.mustart)
        sums = rows.engine.meat(rows.scan, rows.response_family, request, chosen.cluster)
        if sums.rows != rows.rows:
            raise ValueError(
                f"the data changed since the fit: it had {rows.rows} rows to fit, the pass for "
                f"{what} found {sums.rows}; the covariance reads the fit's data again, so "
                "refit on the data as they are now (or leave them unchanged)")
        clusters = sums.clusters if isinstance(sums, covariance.ClusterSums) else None
        result = (covariance.sandwich(unscaled, sums, chosen, self.nobs), clusters)
        if key is not None:
            self._sandwiches[key] = result
        return result

    def _standard_errors(self, what: str = "standard errors",
                         chosen: covariance.Choice = covariance.Choice()) -> FloatArray:
        return inference.scatter(
            inference.standard_errors(self._covariance_of(chosen, what)), self._estimated,
            len(self.column_names))

    @property
    def std_errors(self) -> dict[str, float]:
        return self._keyed(self._standard_errors())

    def _statistics(self, chosen: covariance.Choice = covariance.Choice()) -> FloatArray:
        return self._coefficients / self._standard_errors("test statistics", chosen)

    @property
    def statistics(self) -> dict[str, float]:
        """t values with an estimated dispersion (lm, gaussian), z values otherwise."""
        return self._keyed(self._statistics())

    def _t_tests(self, chosen: covariance.Choice) -> bool:
        """Whether the tests are t tests: with an estimated dispersion for the model-based
        covariance; for a sandwich, for least squares only (a glm's are normal), as
        lmtest's coeftest."""
        return self.uses_t if chosen.classical else self.kind == "lm"

    def _p_values(self, statistics: FloatArray, chosen: covariance.Choice) -> FloatArray:
        if self._t_tests(chosen):
            return inference.t_p_values(statistics, self.df_resid)
        return inference.z_p_values(statistics)

    @property
    def p_values(self) -> dict[str, float]:
        return self._keyed(self._p_values(self._statistics(), covariance.Choice()))

    def inference_table(self, vcov: covariance.VcovArgument = None
                        ) -> tuple[dict[str, dict[str, float]], bool, Optional[str]]:
        """The standard errors, test statistics and p-values with the covariance `vcov`
        (see `summary`), whether the tests are t tests, and the line that names a sandwich
        covariance (None for the model-based one)."""
        chosen = covariance.choice_from(vcov)
        errors = self._standard_errors("standard errors", chosen)
        statistics = self._coefficients / errors
        table = {"std_errors": self._keyed(errors), "statistics": self._keyed(statistics),
                 "p_values": self._keyed(self._p_values(statistics, chosen))}
        line = None
        if not chosen.classical:
            line = covariance.description(chosen, self._sandwich(chosen, "standard errors")[1])
        return table, self._t_tests(chosen), line

    def _quantile(self, level: float, chosen: covariance.Choice = covariance.Choice()
                  ) -> float:
        if self._t_tests(chosen):
            return inference.t_quantile(level, self.df_resid)
        return inference.z_quantile(level)

    def conf_int(self, level: float = 0.95, vcov: covariance.VcovArgument = None
                 ) -> dict[str, tuple[float, float]]:
        """Wald confidence intervals (t with an estimated dispersion, else normal), as R's
        confint.lm / confint.default; with `vcov` (as for `summary`) from that covariance,
        as lmtest's coefci (t for least squares, normal for a glm).

        >>> import tallyfit as tf
        >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
        >>> [round(v, 4) for v in m.conf_int()["x"]]
        [-1.1357, 3.3357]
        >>> [round(v, 4) for v in m.conf_int(vcov="HC0")["x"]]
        [0.0764, 2.1236]
        """
        level = inference.check_level(level)
        chosen = covariance.choice_from(vcov)
        errors = self._standard_errors("confidence intervals", chosen)
        half = self._quantile(level, chosen) * errors
        return {
            name: (float(value - width), float(value + width))
            for name, value, width in zip(self.column_names, self._coefficients, half)
        }

    # ---- presentation -------------------------------------------------------------------------

    @property
    def _likelihood_parameters(self) -> int:
        """The parameters the log-likelihood counts (R's df of logLik)."""
        raise NotImplementedError

    def _criteria_rows(self, fit: FitStatistics) -> int:
        """The rows BIC counts (R's nobs of logLik)."""
        return fit.nobs

    def _criteria(self) -> tuple[float, float, float]:
        fit = self._fit("the information criteria")
        return inference.information_criteria(fit.aic, self._likelihood_parameters,
                                              self._criteria_rows(fit))

    @property
    def log_likelihood(self) -> float:
        """R's logLik (NaN for a quasi family)."""
        return self._criteria()[0]

    @property
    def aic(self) -> float:
        """R's AIC (NaN for a quasi family)."""
        return self._criteria()[1]

    @property
    def bic(self) -> float:
        """R's BIC (NaN for a quasi family)."""
        return self._criteria()[2]

    def summary(self, vcov: covariance.VcovArgument = None) -> summary.Summary:
        """An R-style summary; print it. `vcov` chooses the covariance of the standard errors,
        test statistics and p-values: None (the model-based one), a type of `vcov` ("HC0",
        "HC1", "HC2", "HC3") or a dict ``{"type": "HC1", "cluster": "g"}`` (the type may be
        left out: HC1); a line under the table names a sandwich covariance.

        >>> import tallyfit as tf
        >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
        >>> str(m.summary(vcov="HC1")).split("\\n")[-6]
        'Standard errors: heteroskedasticity-consistent (HC1)'
        """
        return summary.Summary(self, vcov)

    def tidy(self, vcov: covariance.VcovArgument = None) -> Any:
        """The coefficient table as a data frame of the library the model was fitted from;
        `vcov` as for `summary`."""
        return summary.tidy(self, self._native_namespace, vcov)

    def glance(self) -> Any:
        """One row summarizing the fit, as broom's ``glance(m)`` (snake_case names), as a data
        frame of the library the model was fitted from (as `tidy`): lm nobs, df, r_squared,
        adj_r_squared, sigma, statistic, p_value, log_likelihood, aic, bic, deviance,
        df_residual; glm nobs, df, null_deviance, df_null, log_likelihood, aic, bic,
        deviance, df_residual, dispersion.

        >>> import tallyfit as tf
        >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
        >>> round(float(m.glance()["r_squared"][0]), 6)
        0.691429
        """
        return summary.as_frame(diagnostics.glance(self), self._native_namespace)

    # ---- diagnostics of the fitted rows (in memory) -------------------------------------------

    def resid(self, type: Optional[str] = None) -> FloatArray:
        """R's ``residuals(m, type)``, one per fitted row (rows of weight 0 included, rows with
        a missing value not): "response", "deviance", "pearson" or "working"; by default
        "response" for lm and "deviance" for glm. In-memory fits only.

        >>> import tallyfit as tf
        >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
        >>> m.resid().round(4).tolist()
        [-0.1, 0.8, -1.3, 0.6]
        """
        return diagnostics.residuals(self, type)

    def hatvalues(self) -> FloatArray:
        """R's ``hatvalues(m)``: the leverages of the fitted rows of positive prior weight
        (R's lm.influence leaves out the rows of weight 0). In-memory fits only.

        >>> import tallyfit as tf
        >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
        >>> m.hatvalues().round(4).tolist()
        [0.7, 0.3, 0.3, 0.7]
        """
        return diagnostics.hatvalues(self)

    def cooks_distance(self) -> FloatArray:
        """R's ``cooks.distance(m)``, for the rows of `hatvalues`.

        >>> import tallyfit as tf
        >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
        >>> m.cooks_distance().round(4).tolist()
        [0.0288, 0.1451, 0.3832, 1.037]
        """
        return diagnostics.cooks_distance(self)

    def rstandard(self, type: str = "deviance") -> FloatArray:
        """R's ``rstandard(m, type)`` (of the deviance residuals by default, of the Pearson
        residuals for `type` "pearson"; the same for lm), for the rows of `hatvalues`."""
        return diagnostics.rstandard(self, type)

    def rstudent(self) -> FloatArray:
        """R's ``rstudent(m)``, for the rows of `hatvalues`."""
        return diagnostics.rstudent(self)

    def plot(self, which: Any = (1, 2, 3, 5), **options: Any) -> Any:
        """R's ``plot(m, which)``: the model-checking panels as a matplotlib Figure (1
        Residuals vs Fitted, 2 Q-Q Residuals, 3 Scale-Location, 4 Cook's distance, 5 Residuals
        vs Leverage); `options` are those of `tallyfit.plots.plot`. In-memory fits only;
        needs matplotlib (the plot extra).

        >>> import matplotlib
        >>> matplotlib.use("Agg")
        >>> import tallyfit as tf
        >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0, 5.0], "y": [1.0, 3.0, 2.0, 5.0, 4.0]})
        >>> [axes.get_title() for axes in m.plot().axes]
        ['Residuals vs Fitted', 'Q-Q Residuals', 'Scale-Location', 'Residuals vs Leverage']
        """
        return plots.plot(self, which, **options)

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.formula!r}, {len(self.column_names)} columns>"

    # ---- prediction, files and the native core --------------------------------------------------

    def _design_for(self, data: object, offset: object = None
                    ) -> tuple[FloatArray, BoolArray, Optional[FloatArray]]:
        """The design of new rows, the rows kept and their offset (the formula's offset terms
        and the fit's offset column, or `offset` numbers where the fit had numbers)."""
        frame, _ = frames.to_frame(data)
        column = self._plan.offset
        if column == arguments.ROW_VALUE_COLUMNS["offset"]:
            values = arguments.check_row_values("offset", offset)
            if not isinstance(values, np.ndarray):
                raise ValueError(
                    "this model was fitted with offset= numbers, one per row: give predict "
                    "the offset of the new rows (offset=[...])")
            arguments.check_row_count("offset", values, len(frame))
            frame = frames.with_column(frame, column, values)
        elif offset is not None:
            raise ValueError("offset= is for models fitted with offset= numbers; this model "
                             "reads its offset from the data's columns")
        block = self._plan.build(frame, with_response=False)
        matrix = block.matrix
        if self._aliased.any():
            matrix = design.compact_columns(matrix, self._estimated)
        return matrix, block.kept, block.offset

    def _linear_predictor(self, matrix: FloatArray,
                          offset: Optional[FloatArray] = None) -> FloatArray:
        eta = np.asarray(matrix @ self._coefficients[self._estimated], dtype=np.float64)
        return eta if offset is None else eta + offset

    @staticmethod
    def _aligned(values: FloatArray, kept: BoolArray) -> FloatArray:
        if kept.all():
            return values
        full = np.full(kept.shape[0], np.nan)
        full[kept] = values
        return full

    def _predict_lazily(self, data: object, type: str) -> Any:
        """Predictions of an engine that computes lazily (Dask), or None for in-memory data."""
        engine = engine_for(data)
        if not hasattr(engine, "predict"):
            return None
        columns = list(self._plan.predictors)
        if self._plan.offset is not None and self._plan.offset not in columns:
            columns.append(self._plan.offset)
        return engine.predict(data, columns,
                              functools.partial(_predict_rows, self.to_text(), type))

    def _check_type(self, type: str) -> None:
        if type not in ("response", "link"):
            raise ValueError(f"type must be 'response' or 'link', not {type!r}")

    def state(self) -> model_file.ModelState:
        """The model as the model file holds it."""
        plan = self._plan
        table = PENALIZED_NATIVE_KINDS if self.penalties is not None else NATIVE_KINDS
        key = (self.family.name, self.family.link.name)
        # A family without a native core of its own is written as the core of its kind.
        kind = table.get(key, "LinearRegression" if self.kind == "lm" else next(
            iter(table.values())))
        names = [name for name, flag in zip(self.column_names, self._estimated) if flag]
        penalties = None
        if self.penalties is not None:
            penalties = [(key[0], key[1], lam, 0.0) if isinstance(key, tuple)
                         else (key, None, lam, 0.0) for key, lam in self.penalties.items()]
        return model_file.ModelState(
            kind, dict(zip(names, self._coefficients[self._estimated].tolist())),
            model_file.encoding_of(plan.encoder()), plan.formula, penalties,  # type: ignore[arg-type]
            self.family.stored_name, self.family.link.name, self.kind, _design_state(plan))

    def to_text(self) -> str:
        """The model file's text."""
        return model_file.dumps(model_file.document(self.state()))

    def save(self, path: PathLike) -> None:
        """Writes the model file (JSON, replaced atomically); `tallyfit.load` reads it back."""
        model_file.write(self.state(), path)

    @property
    def core(self) -> Any:
        """The native core holding this model (built on first use)."""
        if self._core is None:
            self._core = model_file.native_core(self.state())
        return self._core


class LinearModel(Model):
    """An ordinary least-squares fit, as R's lm.

    >>> import tallyfit as tf
    >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
    >>> round(m.coefficients["x"], 6), round(m.r_squared, 6)
    (1.1, 0.691429)
    """

    kind = "lm"

    def _measures(self, what: str) -> dict[str, Any]:
        fit = self._fit(what)
        return inference.linear_fit_measures(fit.rss, fit.tss, fit.nobs, self.rank,
                                             self.has_intercept)

    @property
    def rss(self) -> float:
        return self._fit("the residual sum of squares").rss

    @property
    def tss(self) -> float:
        return self._fit("the total sum of squares").tss

    def __init__(self, **common: Any) -> None:
        super().__init__(**common)
        fit = self.fit
        # None for a loaded model or a fit whose rows are not in memory.
        self.residuals = None if fit is None else fit.residuals
        self.fitted_values = None if fit is None else fit.fitted_values
        self.prior_weights: Optional[FloatArray] = None

    @property
    def sigma(self) -> float:
        """Residual standard error."""
        return float(self._measures("sigma")["sigma"])

    @property
    def r_squared(self) -> float:
        return float(self._measures("r squared")["r_squared"])

    @property
    def adj_r_squared(self) -> float:
        return float(self._measures("adj r squared")["adj_r_squared"])

    @property
    def f_statistic(self) -> tuple[float, float, float]:
        """(value, numdf, dendf) as R's summary.lm."""
        value: tuple[float, float, float] = self._measures("f statistic")["f_statistic"]
        return value

    @property
    def f_p_value(self) -> float:
        return float(self._measures("f p value")["f_p_value"])

    @property
    def dispersion(self) -> float:
        sigma = self.sigma
        return sigma * sigma

    @property
    def _likelihood_parameters(self) -> int:
        return self.rank + 1  # σ

    def predict(self, data: object, type: str = "response", interval: Optional[str] = None,
                level: float = 0.95, offset: object = None, se_fit: bool = False
                ) -> Union[FloatArray, tuple[FloatArray, FloatArray],
                           tuple[FloatArray, FloatArray, FloatArray]]:
        """Predictions for the rows of `data` (NaN where a predictor is missing), with the
        fit's encoding. `interval="confidence"` or `"prediction"` gives (fit, lower, upper) as
        R's predict.lm; `se_fit=True` gives (fit, se), se the standard error of the mean, as
        ``predict(m, se.fit = TRUE)``.

        >>> import tallyfit as tf
        >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
        >>> m.predict({"x": [5.0]}).round(6).tolist()
        [5.5]
        >>> [v.round(4).tolist() for v in m.predict({"x": [5.0]}, se_fit=True)]
        [[5.5], [1.423]]
        """
        self._check_type(type)
        if se_fit and interval is not None:
            raise ValueError("give either interval= (fit, lower, upper) or se_fit=True "
                             "(fit, se), not both")
        if (interval is not None or se_fit) and engine_for(data).NAME != "memory":
            what = "standard errors of predictions are" if se_fit else \
                "prediction intervals are"
            raise ValueError(
                f"{what} offered for in-memory data only: compute the rows "
                "you need (for example data.head(n) or data.partitions[i].compute()) and "
                "predict those"
            )
        if se_fit:
            matrix, kept, offset_values = self._design_for(data, offset)
            errors = diagnostics.prediction_errors(
                matrix, self._covariance("standard errors of predictions"))
            return (self._aligned(self._linear_predictor(matrix, offset_values), kept),
                    self._aligned(errors, kept))
        lazy = self._predict_lazily(data, type)
        if lazy is not None:
            return lazy  # type: ignore[no-any-return]
        if interval not in (None, "confidence", "prediction"):
            raise ValueError(
                f"interval must be None, 'confidence' or 'prediction', not {interval!r}"
            )
        level = inference.check_level(level)
        scaled = self._covariance("prediction intervals") if interval else None
        matrix, kept, offset_values = self._design_for(data, offset)
        fit = self._linear_predictor(matrix, offset_values)
        if scaled is None:
            return self._aligned(fit, kept)
        variance = passes.quadratic_forms(matrix, scaled)
        if interval == "prediction":
            variance = variance + self.dispersion
        half = self._quantile(level) * np.sqrt(variance)
        return (self._aligned(fit, kept), self._aligned(fit - half, kept),
                self._aligned(fit + half, kept))


class GeneralizedLinearModel(Model):
    """A generalized linear model of its `family`, as R's glm; with penalties a
    ridge-penalized one, which reports estimates and penalties but no inference.

    >>> import tallyfit as tf
    >>> g = tf.glm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
    ...                      "y": [0.0, 0.0, 1.0, 0.0, 1.0, 1.0]})
    >>> round(g.coefficients["x"], 4)
    1.214
    """

    kind = "glm"

    def __init__(self, **common: Any) -> None:
        super().__init__(**common)
        # Of the rows of a fit in memory (None for a loaded model or rows not in memory): η
        # with the offset, μ, the prior weights and the response as the fit read it.
        self.linear_predictors: Optional[FloatArray] = None
        self.fitted_values: Optional[FloatArray] = None
        self.prior_weights: Optional[FloatArray] = None
        self.y: Optional[FloatArray] = None

    @property
    def deviance(self) -> float:
        return float(self._fit("the deviance").deviance)

    @property
    def null_deviance(self) -> float:
        return float(self._fit("the null deviance").null_deviance)

    @property
    def df_null(self) -> int:
        return int(self._fit("the null degrees of freedom").df_null)

    @property
    def uses_t(self) -> bool:
        return self.family.dispersion_estimated

    @property
    def dispersion(self) -> float:
        """1 for a family with a fixed dispersion, else the Pearson χ² over the residual
        degrees of freedom, as summary.glm."""
        if not self.family.dispersion_estimated:
            return 1.0
        fit = self._fit("the dispersion")
        df = fit.nobs - self.rank
        return fit.pearson / df if df > 0 else float("nan")

    @property
    def _likelihood_parameters(self) -> int:
        return self.rank + (1 if self.family.dispersion_estimated else 0)

    def _criteria_rows(self, fit: FitStatistics) -> int:
        # R's logLik.glm counts every fitted row, those of prior weight 0 too (logLik.lm
        # does not).
        return self.fit_rows.rows if self.fit_rows is not None else fit.nobs

    def predict(self, data: object, type: str = "response", offset: object = None,
                se_fit: bool = False) -> Union[FloatArray, tuple[FloatArray, FloatArray]]:
        """The mean (`type="response"`, probabilities for binary responses) or the linear
        predictor (`type="link"`) for the rows of `data`, NaN where a predictor is missing.
        `se_fit=True` gives (fit, se) as ``predict(m, se.fit = TRUE)``: se of the linear
        predictor for "link", and |dμ/dη| times it (the delta method) for "response".

        >>> import tallyfit as tf
        >>> g = tf.glm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
        ...                      "y": [0.0, 0.0, 1.0, 0.0, 1.0, 1.0]})
        >>> g.predict({"x": [3.5]}).round(4).tolist()
        [0.5]
        >>> [v.round(4).tolist() for v in g.predict({"x": [5.0]}, type="link", se_fit=True)]
        [[1.821], [1.7747]]
        """
        self._check_type(type)
        if se_fit:
            if engine_for(data).NAME != "memory":
                raise ValueError(
                    "standard errors of predictions are offered for in-memory data only: "
                    "compute the rows you need (for example data.head(n)) and predict those")
            matrix, kept, offset_values = self._design_for(data, offset)
            eta = self._linear_predictor(matrix, offset_values)
            errors = diagnostics.prediction_errors(
                matrix, self._covariance("standard errors of predictions"))
            if type == "response":
                return (self._aligned(self.family.link.inverse(eta), kept),
                        self._aligned(diagnostics.response_errors(self, eta, errors), kept))
            return self._aligned(eta, kept), self._aligned(errors, kept)
        lazy = self._predict_lazily(data, type)
        if lazy is not None:
            return lazy  # type: ignore[no-any-return]
        matrix, kept, offset_values = self._design_for(data, offset)
        values = self._linear_predictor(matrix, offset_values)
        if type == "response":
            values = self.family.link.inverse(values)
        return self._aligned(values, kept)


def model_class(kind: str) -> type[Model]:
    return {"lm": LinearModel, "glm": GeneralizedLinearModel}[kind]


def from_state(state: model_file.ModelState, filepath: str) -> Model:
    """The model of a model file's state, checked against the design its formula and
    encoding describe; it has no fit statistics."""
    family = family_from(state.family, state.link) if state.family else family_for_kind(
        state.kind)
    try:
        plan = _plan_from_state(state, family)
    except ValueError as error:
        raise ValueError(f"{filepath!r}: {error}") from None
    stored = state.coefficients
    renamed = _with_interactions_renamed(plan, stored)
    if renamed is not None and state.penalties is None:
        stored = renamed
    _check_coefficients(plan, stored, filepath)
    coefficients = np.array([stored.get(name, math.nan) for name in plan.column_names],
                            dtype=np.float64)
    aliased = np.array([name not in stored for name in plan.column_names], dtype=bool)
    penalties: Optional[dict[PenaltyKey, float]] = None
    if state.kind in PENALIZED_NATIVE_KINDS.values():
        penalties = {(v if level is None else (v, level)): lam
                     for v, level, lam, _ in state.penalties or []}
        if penalties:
            _check_stored_penalties(penalties, plan, filepath)
        else:
            penalties = None
    kind = state.model or ("lm" if state.kind == NATIVE_KINDS[("gaussian", "identity")]
                           else "glm")
    model = model_class(kind)(plan=plan, formula=plan.formula.original,
                              coefficients=coefficients, aliased=aliased, family=family,
                              penalties=penalties)
    return model


def _design_state(plan: DesignPlan) -> Optional[dict[str, Any]]:
    """What the file must keep of the plan beyond the encoding and the formula (None when
    nothing): the transforms' learned states and the columns ``.`` stood for."""
    record: dict[str, Any] = {}
    if plan.states:
        record["states"] = plan.states
    if plan.dot_columns is not None:
        record["dot_columns"] = plan.dot_columns
    for what in ("weights", "offset"):
        if getattr(plan, what) is not None:
            record[what] = getattr(plan, what)
    return record or None


def _plan_from_state(state: model_file.ModelState, family: Family) -> DesignPlan:
    formula = state.formula
    if formula is None:
        raise ValueError(
            "the model file has no formula, so its design cannot be rebuilt: save models "
            "with tallyfit (model.save) to predict from data frames"
        )
    kinds: dict[str, frames.Kind] = {}
    levels: dict[str, list[str]] = {}
    for name, (stored_levels, encoding) in state.encoding.items():
        if encoding == "Numeric":
            kinds[name] = "numeric"
        elif encoding == "Bool":
            kinds[name] = "bool"
        else:
            kinds[name] = "categorical"
            levels[name] = list(stored_levels or [])
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
    rule = family if family.name != "gaussian" else None
    stored = state.design or {}
    states = stored.get("states") or {}
    dot_columns = stored.get("dot_columns")
    if not isinstance(states, dict) or not (dot_columns is None or isinstance(dot_columns, list)):
        raise ValueError("the model file's design state is not readable; was the file edited?")
    return design.plan_design(
        formula, kinds, levels, response_rule=rule, with_response=response in kinds,
        states=states, columns=dot_columns, weights=stored.get("weights"),
        offset=stored.get("offset"),
    )


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
        arguments.penalty_records(penalties, plan)
        arguments.check_penalties(penalties)
    except ValueError as error:
        raise ValueError(
            f"{filepath!r}: the model file's penalties do not match its design: {error}; "
            "was the file edited?"
        ) from None




@functools.lru_cache(maxsize=8)
def from_text(text: str) -> Model:
    """The model of a model file's text (what a worker predicts from)."""
    return from_state(model_file.loads(text), "<model text>")


def _predict_rows(text: str, type: str, frame: Any) -> FloatArray:
    """The in-memory prediction of the model of a model file's text (run on workers)."""
    return from_text(text).predict(frame, type=type)  # type: ignore[attr-defined, no-any-return]
