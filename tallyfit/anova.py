"""Analysis of variance and deviance tables, as R's ``anova`` and ``drop1`` of lm and glm fits.

* ``anova(m)``: the sequential table (terms added first to last), R's ``anova.lm`` and
  ``anova.glm``.
* ``anova(m0, m1, ...)``: nested models compared in turn, R's ``anova.lmlist`` and
  ``anova.glmlist``.
* ``drop1(m)``: single term deletions that respect marginality (a term contained in a
  higher-order term is not dropped), R's ``drop1.lm`` and ``drop1.glm``.

Every table is made of refits: each fit keeps what refits its data with another formula (a
reference to the same data object, and the weights, offset, family, link and iteration
control), so the tables work on every engine (in memory, streams and Dask) at the cost of one
fit per row. The sub-models are the formulas of the leading terms (anova) or of every term but
one (drop1), with the offsets and the intercept of the model, fitted on the model's rows: in
memory and on Dask, the rows with a missing value in a variable of the model are left out of
every refit; streamed data with missing values in a variable that only some of the models use
are refused (drop those rows first). Without an intercept, dropping a term that leaves a factor
coded by all its levels is refused, as R keeps the model's contrast columns there.

R 4.2 is the reference: without `test`, ``anova`` of a glm (one model or several) prints no
test, that of lm models an F test; ``drop1`` prints no test. Tests: ``"F"``, ``"Chisq"`` and
its synonym ``"LRT"``. An F test of a family whose dispersion is fixed warns, as R does.

The result prints as R's ``print.anova`` (``printCoefmat`` with 5 digits, the test
statistics rounded to 4 decimals, the other columns passed through ``zapsmall``, NA printed
blank, significance stars), and `AnovaTable.table` is a frame of the caller's library with
R's column names and R's row names (the index of a pandas frame; a first column "term"
otherwise).
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
from scipy import stats

from . import design, frames
from .engines import engine_for
from .errors import TallyfitWarning
from .formula import deparse
from .results import Model
from .summary import SIGNIF_LEGEND, _print_matrix, _stars, _zapsmall, deparse_lines
from .summary import format_numbers, format_pvalues, preformatted

__all__ = ["AnovaTable", "anova", "drop1", "keep_refit"]

PRINT_DIGITS = 5  # print.anova's max(getOption("digits") - 2, 3)
TESTS = (None, "F", "Chisq", "LRT")
_REFIT = "_anova_refit"


Fitter = Callable[[str, object, object, object], Model]  # formula, data, weights, offset


@dataclass(frozen=True)
class _Refit:
    """How a model refits its data (with its weights and offset arguments) with another
    formula, and its count of rows (zero weights included: R's nrow of the model matrix,
    which drop1's AIC counts)."""

    fit: Fitter
    data: object
    weights: object
    offset: object
    rows: int


def keep_refit(model: Model, fit: Fitter, data: object, weights: object, offset: object,
               rows: int) -> None:
    """Records on `model` how to refit its `data` with another formula (done at fit time)."""
    setattr(model, _REFIT, _Refit(fit, data, weights, offset, rows))


# ---- the table and its printing ------------------------------------------------------------


class AnovaTable:
    """An analysis of variance or deviance table: ``str()`` gives R's printed text, `table`
    the numbers as a data frame. `columns` and `rows` are R's names; `values` maps each
    column to its numbers (NaN where R has NA)."""

    def __init__(self, heading: list[str], rows: list[str], values: dict[str, list[float]],
                 native_namespace: Any = None) -> None:
        self.heading = heading
        self.rows = rows
        self.columns = list(values)
        self.values = {name: [float(v) for v in column] for name, column in values.items()}
        self._native_namespace = native_namespace

    @property
    def table(self) -> Any:
        """The table as a frame of the library the model was fitted from (pandas: R's row
        names as the index; polars and pyarrow: a first column "term"); a pandas frame for
        dict data, or a dict of lists without pandas."""
        namespace = self._native_namespace
        if namespace is None:
            try:
                import pandas
            except ImportError:
                return {"term": list(self.rows), **self.values}
            namespace = pandas
        if getattr(namespace, "__name__", "") == "pandas":
            return namespace.DataFrame(self.values, index=list(self.rows))
        import narwhals.stable.v1 as nw

        return nw.from_dict({"term": list(self.rows), **self.values},
                            native_namespace=namespace).to_native()

    def __str__(self) -> str:
        # print.anova: cat(heading, sep = "\n"), then printCoefmat.
        return "\n".join(["\n".join(self.heading)] + _coefficient_matrix(
            self.rows, self.columns, [self.values[c] for c in self.columns]))

    def __repr__(self) -> str:
        return str(self)

    def _repr_html_(self) -> str:
        return preformatted(str(self))


def _coefficient_matrix(rows: Sequence[str], columns: Sequence[str],
                        values: Sequence[Sequence[float]]) -> list[str]:
    """printCoefmat as print.anova calls it: no estimate columns; the test statistics
    (columns named "... value", "F", "Chisq") rounded to 4 decimals; the other columns but
    the degrees of freedom and the p-value passed through zapsmall(digits = 5); NA blank."""
    digits = PRINT_DIGITS
    test_digits = digits - 1
    n, nc = len(rows), len(columns)
    has_p = columns[-1].startswith(("P(", "Pr("))
    tests = [j for j, name in enumerate(columns)
             if name[1:7] == " value" or name in ("F", "Cp", "Chisq")]
    zapped = [j for j in range(nc - 1 if has_p else nc)
              if j not in tests and not columns[j].endswith("Df")]
    data = [np.array(column, dtype=float) for column in values]
    for j in zapped:
        data[j] = _zapsmall(data[j], digits)
    cells: list[list[str]] = [[""] * nc for _ in range(n)]
    redo: list[tuple[int, int]] = []
    for j in range(nc):
        if has_p and j == nc - 1:
            continue
        column = [None if math.isnan(v) else float(v) for v in data[j]]
        if j in tests:
            column = [None if v is None else round(v, test_digits) for v in column]
        texts = format_numbers(column, digits)
        for i, (value, text) in enumerate(zip(column, texts)):
            if value is None:
                continue
            cells[i][j] = text
            # A nonzero value that shows as zero is formatted again with one digit fewer.
            if j not in tests and math.isfinite(value) and (value == 0) != (float(text) == 0):
                redo.append((i, j))
    if redo:
        texts = format_numbers([float(data[j][i]) for i, j in redo], digits - 1)
        for (i, j), text in zip(redo, texts):
            cells[i][j] = text
    names = list(columns)
    stars = False
    if has_p:
        pvalues = data[-1]
        present = [i for i in range(n) if not math.isnan(pvalues[i])]
        for i, text in zip(present, format_pvalues([float(pvalues[i]) for i in present],
                                                   test_digits)):
            cells[i][-1] = text
        stars = any(pvalues[i] < 0.1 for i in present)
        if stars:
            symbols = [_stars(None if math.isnan(p) else float(p)) for p in pvalues]
            width = max(len(s) for s in symbols)
            names.append("")
            for row, symbol in zip(cells, symbols):
                row.append(symbol.ljust(width))
    lines = _print_matrix(rows, names, cells)
    if stars:
        lines += ["---", SIGNIF_LEGEND]
    return lines


# ---- refits -----------------------------------------------------------------------------------


def _refit_of(model: Model) -> _Refit:
    if model.fit is None:
        raise ValueError("this model was loaded from a model file, which holds no data: refit "
                         "it on its data to get an analysis of variance table")
    if getattr(model, "penalties", None):
        raise ValueError("analysis of variance tables are not offered for a penalized model: "
                         "fit without penalties")
    if getattr(model, "theta", None) is not None:
        raise ValueError("analysis of deviance tables are offered for tf.lm and tf.glm fits; a "
                         "tf.glm_nb fit estimates theta in every refit (R's anova.negbin), "
                         "which is not offered")
    refit: Optional[_Refit] = getattr(model, _REFIT, None)
    if refit is None:
        raise ValueError(f"the model {model.formula!r} does not record how to refit its data; "
                         "fit it with tf.lm or tf.glm")
    return refit


def _terms(model: Model) -> list[tuple[str, frozenset[str]]]:
    """(label, variables) of the model's terms, in R's order."""
    formula = model._plan.model_formula
    return [(label, frozenset(deparse(variable) for variable in term))
            for label, term in zip(formula.term_labels, formula.terms)]


def _formula_of(model: Model, labels: Sequence[str], intercept: bool) -> str:
    """The model's formula with the given terms and its offsets."""
    formula = model._plan.model_formula
    parts = list(labels) or ["1" if intercept else "0"]
    parts += [f"offset({deparse(offset)})" for offset in formula.offsets]
    text = f"{formula.response_label} ~ {' + '.join(parts)}"
    return text + " - 1" if labels and not intercept else text


def _fitted_rows(model: Model) -> Rows:
    """The data, weights and offset of the rows the model was fitted on: in memory and on
    Dask, the rows with a missing value in a variable of the model are left out, so that a
    sub-model is fitted on the model's rows, as R's tables of one model matrix are."""
    refit = _refit_of(model)
    found = (refit.data, refit.weights, refit.offset)
    engine = engine_for(refit.data).NAME
    if not model.n_missing or engine not in ("memory", "dask"):
        return found
    plan = model._plan
    named = [v for v in (refit.weights, refit.offset) if isinstance(v, str)]
    used = [*plan.predictors, *plan.model_formula.response_columns, *named]
    if engine == "dask":
        # Lazily, as the fits read it (Dask's dropna counts NaN and None as missing).
        lazy: Any = refit.data
        return (lazy.dropna(subset=[c for c in used if c in lazy.columns]), refit.weights,
                refit.offset)
    frame, _ = frames.to_frame(refit.data)
    used = [c for c in used if c in frame.columns]
    missing = design.missing_rows(frame, used)
    if missing is None:
        return found
    keep = ~missing
    if isinstance(refit.data, Mapping):
        data: object = {name: [v for v, k in zip(values, keep) if k]
                        for name, values in refit.data.items()}
    else:
        data = frame[np.flatnonzero(keep).tolist()].to_native()
    weights, offset = (v if v is None or isinstance(v, str) else np.asarray(v, dtype=float)[keep]
                       for v in (refit.weights, refit.offset))
    return data, weights, offset


Rows = tuple[object, object, object]  # data, weights, offset


def _sub_model(model: Model, rows: Rows, labels: Sequence[str],
               intercept: Optional[bool] = None) -> Model:
    """The model refitted on `rows` (of `_fitted_rows`) with the given terms (and its
    intercept, unless told)."""
    formula = _formula_of(model, labels, model.has_intercept if intercept is None else intercept)
    sub = _refit_of(model).fit(formula, *rows)
    if sub.nobs != model.nobs:
        raise ValueError(
            f"the model {formula!r} is fitted on {sub.nobs} rows and {model.formula!r} on "
            f"{model.nobs}: the data have missing values in a variable some of the models do "
            "not use; drop the rows with missing values before fitting")
    return sub


def _measure(model: Model, name: str) -> float:
    """A statistic of the model's kind: `rss` of lm, `deviance`, `null_deviance` and
    `df_null` of glm."""
    return float(getattr(model, name))


def _check_test(test: Optional[str]) -> Optional[str]:
    if test not in TESTS:
        raise ValueError(f"test must be None, 'F', 'Chisq' or 'LRT', not {test!r}")
    return "Chisq" if test == "LRT" else test


def _fixed_dispersion_warning(model: Model) -> None:
    warnings.warn(f"using an F test with the {model.family.name!r} family, whose dispersion "
                  "is fixed, is inappropriate", TallyfitWarning, stacklevel=3)


def _f_p(values: np.ndarray, df: np.ndarray, df_scale: float) -> np.ndarray:
    """P(F > value); with a fixed dispersion (infinite denominator df) F·df is χ²(df)."""
    with np.errstate(invalid="ignore", divide="ignore"):
        if math.isinf(df_scale):
            return np.asarray(stats.chi2.sf(values * df, df), dtype=float)
        return np.asarray(stats.f.sf(values, df, df_scale), dtype=float)


def _stat_anova(values: dict[str, list[float]], deviance_column: str, test: str,
                scale: float, df_scale: float) -> None:
    """R's stat.anova: adds the Chisq or F test of the change in deviance to the table."""
    df = np.array(values["Df"], dtype=float)
    change = np.array(values[deviance_column], dtype=float)
    with np.errstate(invalid="ignore", divide="ignore"):
        if test == "Chisq":
            statistic = change / scale * np.sign(df)
            statistic[(df == 0) | (statistic < 0)] = np.nan
            values["Pr(>Chi)"] = list(stats.chi2.sf(statistic, np.abs(df)))
            return
        statistic = change / df / scale
        statistic[(df == 0) | (statistic < 0)] = np.nan
    values["F"] = list(statistic)
    values["Pr(>F)"] = list(_f_p(statistic, np.abs(df), df_scale))


def _response_line(model: Model) -> str:
    return "\n".join(deparse_lines(str(model._plan.model_formula.response_label)))


# ---- anova --------------------------------------------------------------------------------


def anova(model: Model, *models: Model, test: Optional[str] = None) -> AnovaTable:
    """R's ``anova``: the sequential table of one model, or nested models compared in turn.

    For one lm: rows per term (terms whose columns are all aliased are left out) and
    "Residuals", columns ``Df``, ``Sum Sq``, ``Mean Sq``, ``F value``, ``Pr(>F)``; `test` is
    not used. For one glm: rows "NULL" and each term, columns ``Df``, ``Deviance``,
    ``Resid. Df``, ``Resid. Dev``, and with `test` ``Pr(>Chi)`` ("Chisq" or "LRT") or ``F``
    and ``Pr(>F)`` ("F"). For several models, fitted on the same data: ``Res.Df``, ``RSS``,
    ``Df``, ``Sum of Sq`` and the test (lm: "F" by default) or ``Resid. Df``,
    ``Resid. Dev``, ``Df``, ``Deviance`` and the test (glm: none by default). The
    dispersion of a comparison is that of the model with the fewest residual degrees of
    freedom.

    >>> import tallyfit as tf
    >>> data = {"x": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0], "g": ["a", "b", "a", "b", "a", "b"],
    ...         "y": [1.1, 2.3, 2.8, 4.5, 4.9, 6.4]}
    >>> print(tf.anova(tf.lm("y ~ x + g", data)))
    Analysis of Variance Table
    <BLANKLINE>
    Response: y
              Df  Sum Sq Mean Sq F value    Pr(>F)    
    x          1 18.5143 18.5143 865.603 8.624e-05 ***
    g          1  0.3149  0.3149  14.722   0.03121 *  
    Residuals  3  0.0642  0.0214                      
    ---
    Signif. codes:  0 ‘***’ 0.001 ‘**’ 0.01 ‘*’ 0.05 ‘.’ 0.1 ‘ ’ 1
    """
    chosen = _check_test(test)
    if models:
        return _compare([model, *models], test, chosen)
    _refit_of(model)
    if model.kind == "lm":
        return _anova_lm(model)
    return _anova_glm(model, chosen)


def _anova_lm(model: Model) -> AnovaTable:
    terms = [label for label, _ in _terms(model)]
    fitted_rows = _fitted_rows(model)
    fits = [_sub_model(model, fitted_rows, terms[:k]) for k in range(1, len(terms))] + [model]
    rss = [_empty_rss(model, fitted_rows)] + [_measure(fit, "rss") for fit in fits]
    ranks = [1 if model.has_intercept else 0] + [fit.rank for fit in fits]
    df_resid = model.df_resid
    rows, df, ss = [], [], []
    for k, label in enumerate(terms, 1):
        if ranks[k] > ranks[k - 1]:  # R leaves out the terms whose columns are all aliased
            rows.append(label)
            df.append(float(ranks[k] - ranks[k - 1]))
            ss.append(rss[k - 1] - rss[k])
    rows.append("Residuals")
    df.append(float(df_resid))
    ss.append(rss[-1])
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.array(ss) / np.array(df)
        f = mean / mean[-1]
        p = _f_p(f, np.array(df), float(df_resid))
    f[-1] = p[-1] = math.nan
    heading = ["Analysis of Variance Table", "", f"Response: {_response_line(model)}"]
    return AnovaTable(heading, rows, {"Df": df, "Sum Sq": ss, "Mean Sq": list(mean),
                                      "F value": list(f), "Pr(>F)": list(p)},
                      model._native_namespace)


def _empty_rss(model: Model, rows: Rows) -> float:
    """The RSS of the model of no terms: of the intercept with an intercept, else Σw(y - o)²,
    the RSS of the intercept-and-offset fit plus its Σw·β₀² (Σw is 1 / (XᵀWX)⁻¹)."""
    fit = _sub_model(model, rows, [], intercept=True)
    if model.has_intercept:
        return _measure(fit, "rss")
    unscaled = fit._fit("the residual sum of squares").unscaled
    assert unscaled is not None
    beta = float(fit.coefficients["(Intercept)"])
    return _measure(fit, "rss") + beta * beta / float(unscaled[0, 0])


def _dispersion_df(model: Model) -> float:
    """summary.glm's dispersion is 1 for a fixed one: its tests are against the χ²."""
    return math.inf if model.dispersion == 1 else float(model.df_resid)


def _anova_glm(model: Model, test: Optional[str]) -> AnovaTable:
    terms = [label for label, _ in _terms(model)]
    rows = _fitted_rows(model)
    fits = [_sub_model(model, rows, terms[:k]) for k in range(1, len(terms))]
    resdf = ([_measure(model, "df_null")] + [float(f.df_resid) for f in fits]
             + [float(model.df_resid)])
    resdev = ([_measure(model, "null_deviance")] + [_measure(f, "deviance") for f in fits]
              + [_measure(model, "deviance")])
    values: dict[str, list[float]] = {
        "Df": [math.nan] + [resdf[k - 1] - resdf[k] for k in range(1, len(resdf))],
        "Deviance": [math.nan] + [max(0.0, resdev[k - 1] - resdev[k])
                                  for k in range(1, len(resdev))],
        "Resid. Df": resdf, "Resid. Dev": resdev}
    if not terms:
        values = {name: column[:1] for name, column in values.items()}
    family = model.family
    heading = ["Analysis of Deviance Table", "", f"Model: {family.name}, link: "
               f"{family.link.name}", "", f"Response: {_response_line(model)}", "",
               "Terms added sequentially (first to last)", "", ""]
    if test is not None:
        df_scale = _dispersion_df(model)
        if test == "F" and math.isinf(df_scale):
            _fixed_dispersion_warning(model)
        _stat_anova(values, "Deviance", test, model.dispersion, df_scale)
    return AnovaTable(heading, ["NULL"] + terms, values, model._native_namespace)


def _compare(models: list[Model], given: Optional[str], test: Optional[str]) -> AnovaTable:
    first = models[0]
    for model in models:
        _refit_of(model)
    kinds = {model.kind for model in models}
    if len(kinds) > 1:
        raise ValueError("anova compares models of one kind: all tf.lm or all tf.glm fits, "
                         f"not a mix of {' and '.join(sorted(kinds))}")
    for position, model in enumerate(models[1:], 2):
        _check_comparable(first, model, position)
        _check_nested(models[position - 2], model, position)
    if first.kind == "lm":
        resdf = [float(m.df_resid) for m in models]
        rss = [_measure(m, "rss") for m in models]
        values: dict[str, list[float]] = {
            "Res.Df": resdf, "RSS": rss,
            "Df": [math.nan] + [resdf[k - 1] - resdf[k] for k in range(1, len(models))],
            "Sum of Sq": [math.nan] + [rss[k - 1] - rss[k] for k in range(1, len(models))]}
        chosen = "F" if given is None else test
        big = int(np.argmin(resdf))
        assert chosen is not None
        _stat_anova(values, "Sum of Sq", chosen, rss[big] / resdf[big], resdf[big])
        title = "Analysis of Variance Table"
    else:
        resdf = [float(m.df_resid) for m in models]
        resdev = [_measure(m, "deviance") for m in models]
        values = {
            "Resid. Df": resdf, "Resid. Dev": resdev,
            "Df": [math.nan] + [resdf[k - 1] - resdf[k] for k in range(1, len(models))],
            "Deviance": [math.nan] + [resdev[k - 1] - resdev[k] for k in range(1, len(models))]}
        if test is not None:
            largest = models[int(np.argmin(resdf))]
            dispersion = largest.dispersion
            df_scale = math.inf if dispersion == 1 else min(resdf)
            if test == "F" and math.isinf(df_scale):
                _fixed_dispersion_warning(largest)
            _stat_anova(values, "Deviance", test, dispersion, df_scale)
        title = "Analysis of Deviance Table"
    width = len(str(len(models)))
    notes = [f"Model {str(k).rjust(width)}: " + "\n".join(deparse_lines(m.formula))
             for k, m in enumerate(models, 1)]
    return AnovaTable([title, "", *notes], [str(k) for k in range(1, len(models) + 1)], values,
                      first._native_namespace)


def _check_comparable(first: Model, model: Model, position: int) -> None:
    """The models must be fitted on the same rows of the same data, with one response."""
    formula, other = first._plan.model_formula, model._plan.model_formula
    if formula.response_label != other.response_label:
        raise ValueError(
            f"model {position} ({model.formula!r}) has the response "
            f"{other.response_label!r}, model 1 {formula.response_label!r}: anova compares "
            "models of one response")
    if model.nobs != first.nobs:
        raise ValueError(
            f"model {position} ({model.formula!r}) is fitted on {model.nobs} rows, model 1 "
            f"({first.formula!r}) on {first.nobs}: compare models fitted on the same rows "
            "(drop the rows with missing values before fitting)")
    if first.kind == "glm" and model.family.name != first.family.name:
        raise ValueError(
            f"model {position} is of the {model.family.name!r} family, model 1 of "
            f"{first.family.name!r}: anova compares models of one family")
    responses = [_response_values(m) for m in (first, model)]
    if responses[0] is not None and responses[1] is not None:
        same = responses[0].shape == responses[1].shape and bool(
            np.array_equal(responses[0], responses[1], equal_nan=True))
    else:
        same = _refit_of(first).data is _refit_of(model).data
    if not same:
        raise ValueError(
            f"model {position} ({model.formula!r}) and model 1 ({first.formula!r}) are not "
            "fitted on the same data: fit every model on the same data object")


def _response_values(model: Model) -> Optional[np.ndarray]:
    """The response of the fitted rows, in memory (None when the rows are not in memory)."""
    y = getattr(model, "y", None)
    if y is not None:
        return np.asarray(y, dtype=np.float64)
    residuals = getattr(model, "residuals", None)
    fitted = getattr(model, "fitted_values", None)
    if residuals is None or fitted is None:
        return None
    response: np.ndarray = np.asarray(residuals, dtype=np.float64) + np.asarray(
        fitted, dtype=np.float64)
    return response


def _check_nested(previous: Model, model: Model, position: int) -> None:
    small, large = sorted((previous, model), key=lambda m: len(m.column_names))
    missing = [name for name in small.column_names if name not in set(large.column_names)]
    if missing:
        raise ValueError(
            f"models {position - 1} ({previous.formula!r}) and {position} ({model.formula!r}) "
            f"are not nested: the columns {', '.join(map(repr, missing))} of "
            f"{small.formula!r} are not columns of {large.formula!r}; anova compares each "
            "model with the next, one within the other")


# ---- drop1 --------------------------------------------------------------------------------


def _drop_scope(model: Model) -> list[str]:
    """drop.scope: the terms no other term contains (marginality)."""
    terms = _terms(model)
    return [label for label, variables in terms
            if not any(variables < others for _, others in terms)]


def drop1(model: Model, test: Optional[str] = None) -> AnovaTable:
    """R's ``drop1``: the model refitted without each term that no other term contains.

    For lm: rows "<none>" and each such term, columns ``Df``, ``Sum of Sq``, ``RSS``, ``AIC``
    (R's extractAIC, n log(RSS/n) + 2 edf with n the rows, zero weights included), and with
    `test` ``F value``, ``Pr(>F)`` ("F") or ``Pr(>Chi)`` ("Chisq" or "LRT", of the change in
    n log(RSS/n)). For glm: ``Df``, ``Deviance``, ``AIC`` (left out for a quasi family, whose
    AIC is NA), and ``LRT`` (``scaled dev.`` with an estimated dispersion) and ``Pr(>Chi)``
    ("Chisq" or "LRT"), or ``F value`` and ``Pr(>F)`` ("F").

    >>> import tallyfit as tf
    >>> data = {"x": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0], "g": ["a", "b", "a", "b", "a", "b"],
    ...         "y": [1.1, 2.3, 2.8, 4.5, 4.9, 6.4]}
    >>> print(tf.drop1(tf.lm("y ~ x + g", data), test="F"))
    Single term deletions
    <BLANKLINE>
    Model:
    y ~ x + g
           Df Sum of Sq     RSS      AIC F value    Pr(>F)    
    <none>               0.0642 -21.2282                      
    x       1   15.6025 15.6667   9.7587 729.467 0.0001114 ***
    g       1    0.3149  0.3790 -12.5711  14.722 0.0312149 *  
    ---
    Signif. codes:  0 ‘***’ 0.001 ‘**’ 0.01 ‘*’ 0.05 ‘.’ 0.1 ‘ ’ 1
    """
    chosen = _check_test(test)
    refit = _refit_of(model)
    terms = [label for label, _ in _terms(model)]
    scope = _drop_scope(model)
    fits = []
    rows = _fitted_rows(model)
    for label in scope:
        sub = _sub_model(model, rows, [t for t in terms if t != label])
        extra = [name for name in sub.column_names if name not in set(model.column_names)]
        if extra:
            # Without an intercept, a factor left alone is coded by all its levels, where R
            # keeps the model's contrast columns.
            raise ValueError(
                f"dropping {label!r} from {model.formula!r} recodes the other terms (the "
                f"columns {', '.join(map(repr, extra))} are new): drop1 of this model is not "
                "offered; compare the models you mean with tf.anova")
        fits.append(sub)
    n = float(refit.rows)
    ranks = np.array([model.rank] + [sub.rank for sub in fits], dtype=float)
    df = [math.nan] + list(ranks[0] - ranks[1:])
    heading = ["Single term deletions", "", "Model:", *deparse_lines(model.formula)]
    if model.kind == "lm":
        rss = np.array([_measure(m, "rss") for m in (model, *fits)])
        with np.errstate(divide="ignore"):
            scaled = n * np.log(rss / n)
        values: dict[str, list[float]] = {
            "Df": df, "Sum of Sq": [math.nan] + list(rss[1:] - rss[0]), "RSS": list(rss),
            "AIC": list(scaled + 2.0 * ranks)}
        if chosen == "Chisq":
            change = scaled - scaled[0]
            values["Pr(>Chi)"] = [math.nan] + list(stats.chi2.sf(change[1:], df[1:]))
        elif chosen == "F":
            _drop_f(values, "Sum of Sq", float(rss[0]), model.df_resid)
    else:
        deviance = np.array([_measure(m, "deviance") for m in (model, *fits)])
        dispersion = model.dispersion
        if model.family.name == "gaussian":
            with np.errstate(divide="ignore"):
                loglik = n * np.log(deviance / n)
        else:
            loglik = deviance / dispersion
        aic = loglik + 2.0 * ranks
        # R's AIC of the model (NA for a quasi family) fixes the constant of every row.
        aic = aic + (model._fit("the AIC").aic - aic[0])
        values = {"Df": df, "Deviance": list(deviance)}
        if not np.all(np.isnan(aic)):
            values["AIC"] = list(aic)
        if chosen == "Chisq":
            change = np.maximum(0.0, loglik - loglik[0])
            values["LRT" if dispersion == 1 else "scaled dev."] = [math.nan] + list(change[1:])
            values["Pr(>Chi)"] = [math.nan] + list(stats.chi2.sf(change[1:], df[1:]))
        elif chosen == "F":
            if not model.family.dispersion_estimated:
                _fixed_dispersion_warning(model)
            values["Sum of Sq"] = [math.nan] + list(np.maximum(0.0, deviance[1:] - deviance[0]))
            _drop_f(values, "Sum of Sq", float(deviance[0]), model.df_resid)
            del values["Sum of Sq"]
    return AnovaTable(heading, ["<none>"] + scope, values, model._native_namespace)


def _drop_f(values: dict[str, list[float]], column: str, residual: float,
            df_resid: int) -> None:
    """drop1's F test of each deletion against the model's residual mean square."""
    df = np.array(values["Df"], dtype=float)
    change = np.array(values[column], dtype=float)
    with np.errstate(invalid="ignore", divide="ignore"):
        f = change / df / (residual / df_resid)
        f[~(df >= 1e-4)] = np.nan
        p = stats.f.sf(f, df, df_resid)
    values["F value"] = list(f)
    values["Pr(>F)"] = list(np.where(np.isnan(f), np.nan, p))
