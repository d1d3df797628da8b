"""R-style summaries of fitted models and their coefficient tables as data frames.

`Summary(model)` prints like R's ``print(summary(lm(...)))`` and
``print(summary(glm(..., family = ...)))`` (R 4.3 and later, which no longer prints
deviance residuals for a glm). It is built from the model's public attributes only, so it
works the same for a model fitted in memory or on Dask.

The number formats follow R's printing code with R's default options (``digits = 7``,
``scipen = 0``), as the summary methods call it with ``digits = 4``:

- ``format(x, digits)`` of a numeric vector (``formatReal``): each value is rounded to
  ``digits`` significant digits to find how many it needs; the vector shares one layout,
  fixed with as many decimals as the most demanding value needs, unless scientific notation
  with the largest count of significant digits is narrower; all values are padded to one width.
- ``printCoefmat``: estimates and standard errors are rounded to
  ``max(1, digits - 1 - floor(log10(smallest nonzero |value|)))`` decimals and formatted
  together with ``digits`` (a nonzero value that would show as zero is formatted again with
  ``digits - 1``); the test statistics are rounded to ``digits - 1`` decimals and formatted with
  ``digits``; p-values go through ``format.pval`` with ``digits - 1``: those from 1e-4 up
  are formatted together (so 0.000811 prints fixed and widens the others), the smaller ones
  together, those below ``.Machine$double.eps`` as ``<2e-16`` (with a blank after "<" when
  another p-value is wider than six characters); significance stars from the cut points
  0.001, 0.01, 0.05 and 0.1, shown with the legend only when some p-value is below 0.1;
  aliased rows print "NA".
- The table is ``print.default`` of a character matrix: row names left-aligned (control
  characters shown as escapes, ``a\\tb``), columns right-aligned and separated by one blank,
  widths counted in printed columns, split into column blocks at 80 characters.
- A zero prints without a sign (``0.000``, not ``-0.000``), as R's ``encodeReal``.
- ``Residuals:`` is the five-number summary (R's quantile type 7, ``zapsmall`` to 5 digits:
  ``round(x, 5 - log10(max |x|))``, the places rounded to a whole number) when the residual
  degrees of freedom exceed 5, and every residual otherwise, printed as a named vector
  (names then values, each right-aligned and followed by a blank).
- Bottom lines: the residual standard error as ``format(signif(sigma, 4))``; R-squared and
  the F statistic as ``formatC(x, digits = 4)`` (C's ``%5.4g``: 59.9 prints as " 59.9");
  its p-value as ``format.pval(p, digits = 4)`` (``< 2.2e-16``); deviances as
  ``format(c(null, residual), digits = 5)``; AIC as ``format(aic, digits = 5)``; then the
  count of Fisher scoring iterations when the model has one.

The Call is written as R prints the call a user would type: ``glm(formula = f, family =
poisson)``, ``family = poisson(link = "sqrt")`` when a link was given, then ``weights = w`` and
``offset = o`` when they were given as column names; ``lm(formula = f, weights = w)``;
``glm.nb(formula = f, weights = w, init.theta = 1.327373868, link = log)`` as MASS stores it.
A weighted lm prints ``Weighted Residuals:``, √w times the residuals (zero for a zero weight),
when the weights are not all equal; a quasi family's AIC prints NA; a glm.nb fit
ends with MASS's Theta, Std. Err. and 2 x log-likelihood lines.

The Call line is broken as R's ``deparse`` breaks it (after an operator or a comma once a line
is longer than 60 characters, continuation lines indented by four blanks).

Differences from R: the Call line shows the formula as the user wrote it (R deparses it, and
adds ``data = ...``); residuals printed one by one are named 1, 2, ... after the rows used in
the fit, not the data's row names.

A ridge-penalized model has no standard errors or p-values: its table shows the estimates and
each column's penalty.
"""

from __future__ import annotations

import html
import math
import unicodedata
from typing import Any, Optional, Sequence

import numpy as np

from ._native import penalty_diagonal

__all__ = ["Summary", "tidy", "format_numbers", "format_pvalues", "deparse_lines"]

R_DIGITS = 4  # max(3, getOption("digits") - 3), the digits of R's summary printing
DOUBLE_EPS = 2.220446049250313e-16  # .Machine$double.eps
LINE_WIDTH = 80  # getOption("width")
SIGNIF_LEGEND = "Signif. codes:  0 ‘***’ 0.001 ‘**’ 0.01 ‘*’ 0.05 ‘.’ 0.1 ‘ ’ 1"
_KP_MAX = 22
# term, estimate, standard error, statistic, p-value; None where R prints NA.
Row = tuple[str, Optional[float], Optional[float], Optional[float], Optional[float]]


# ---- R's number formatting ---------------------------------------------------------------


def _scientific(x: float, digits: int) -> tuple[bool, int, int, bool]:
    """(negative, exponent, significant digits needed, rounding widens) of x at `digits`
    significant digits, as R's scientific() in format.c."""
    if x == 0.0:
        return False, 0, 1, False
    r = abs(x)
    mantissa, exponent = f"{r:.{digits - 1}e}".split("e")
    kpower = int(exponent)
    nsig = max(1, len(mantissa.replace(".", "").rstrip("0")))
    # 9996 at 3 digits is 1.00e+04 in scientific notation but 9996 in fixed notation.
    rgt = min(max(digits - kpower, 0), _KP_MAX)
    widens = 0 < kpower <= _KP_MAX and r < 10.0**kpower - 0.5 / 10.0**rgt
    return x < 0, kpower, nsig, widens


def _layout(values: Sequence[float], digits: int) -> tuple[int, int, int]:
    """R's formatReal: (width, decimals or mantissa digits, exponent digits; 0 = fixed)."""
    finite = [v for v in values if v is not None and math.isfinite(v)]
    width = 0
    decimals, exponent = 0, 0
    if finite:
        neg = 0
        rgt = mxsl = mxns = mxl = -(10**9)
        mnl = 10**9
        for v in finite:
            negative, kpower, nsig, widens = _scientific(v, digits)
            left = kpower + 1 - (1 if widens else 0)
            sleft = int(negative) + (1 if left <= 0 else left)
            rgt = max(rgt, nsig - left)
            mxl, mnl = max(mxl, left), min(mnl, left)
            mxsl, mxns = max(mxsl, sleft), max(mxns, nsig)
            neg = neg or int(negative)
        if mxl < 0:
            mxsl = 1 + neg
        rgt = max(rgt, 0)
        fixed_width = mxsl + rgt + (1 if rgt else 0)
        exponent = 2 if (mxl > 100 or mnl <= -99) else 1
        decimals = mxns - 1
        width = neg + (1 if decimals > 0 else 0) + decimals + 4 + exponent
        if fixed_width <= width:
            exponent, decimals, width = 0, rgt, fixed_width
    for v in values:
        if v is None or math.isnan(v):
            width = max(width, 2 if v is None else 3)
        elif v == math.inf:
            width = max(width, 3)
        elif v == -math.inf:
            width = max(width, 4)
    return width, decimals, exponent


def format_numbers(values: Sequence[Optional[float]], digits: int = 7) -> list[str]:
    """R's ``format(values, digits = digits)``: one common layout, one common width.

    None stands for R's NA.

    >>> format_numbers([5.032, -0.371, 0.2202, 0.3114], 4)
    [' 5.0320', '-0.3710', ' 0.2202', ' 0.3114']
    >>> format_numbers([100000.0])
    ['1e+05']
    """
    floats = [None if v is None else float(v) for v in values]
    width, decimals, exponent = _layout(floats, digits)  # type: ignore[arg-type]
    out = []
    for v in floats:
        if v is None:
            text = "NA"
        elif math.isnan(v):
            text = "NaN"
        elif math.isinf(v):
            text = "Inf" if v > 0 else "-Inf"
        else:
            # R's encodeReal prints a zero (as -0.0001 rounded to 3 decimals) without a sign.
            v = _unsigned_zero(v)
            if exponent:
                text = f"{v:#.{decimals}e}" if decimals else f"{v:.0e}"
            else:
                text = f"{v:.{decimals}f}"
        out.append(text.rjust(width))
    return out


def _unsigned_zero(x: float) -> float:
    return 0.0 if x == 0 else x


def format_pvalues(pvalues: Sequence[float], digits: int, eps: float = DOUBLE_EPS) -> list[str]:
    """R's ``format.pval``: values below `eps` as "<eps", the others formatted in two groups:
    those from 1e-4 up (from 1e-3 up when `digits` is 1), and the smaller ones.

    >>> format_pvalues([9.547e-15, 0.249], 3)
    ['9.55e-15', '0.249']
    >>> format_pvalues([1e-20, 0.0123], 3)
    ['<2e-16', '0.0123']
    >>> format_pvalues([8.11e-4, 0.004718, 0.5], 3)
    ['0.000811', '0.004718', '0.500000']
    """
    out = ["NA"] * len(pvalues)  # NaN, as R's na.form
    small = [i for i, p in enumerate(pvalues) if p < eps]
    rest = [i for i, p in enumerate(pvalues) if p >= eps]
    if rest:
        fixed = [i for i in rest if _fixed_pvalue(pvalues[i], digits)]
        other = [i for i in rest if i not in fixed]
        for group in (fixed, other):
            for i, text in zip(group, format_numbers([pvalues[i] for i in group], digits)):
                out[i] = text
    if small:
        eps_digits = max(1, digits - 2)
        if rest:
            widest = max(len(out[i]) for i in rest)
            if eps_digits > 1 and eps_digits + 6 > widest:
                eps_digits = max(1, widest - 7)
            sep = "" if eps_digits == 1 and widest <= 6 else " "
        else:
            sep = "" if eps_digits == 1 else " "
        text = "<" + sep + format_numbers([eps], eps_digits)[0]
        for i in small:
            out[i] = text
    return out


def _fixed_pvalue(p: float, digits: int) -> bool:
    """format.pval's ``expo >= -3 | (expo == -4 & digits > 1)``."""
    exponent = math.floor(math.log10(p if p > 0 else 1e-50))
    return exponent >= -3 or (exponent == -4 and digits > 1)


_BREAK_AFTER = ("+ ", "- ", "~ ", "* ", "/ ", ", ")
_DEPARSE_CUTOFF = 60  # deparse's width.cutoff


def deparse_lines(call: str) -> list[str]:
    """A call's text broken into lines as R's deparse breaks it: after an operator or comma
    followed by a blank, once the line is longer than 60 characters; continuation lines are
    indented by four blanks.

    >>> for line in deparse_lines("lm(formula = y ~ " + " + ".join(
    ...         f"x{j}" for j in range(1, 16)) + ")"):
    ...     print(line)
    lm(formula = y ~ x1 + x2 + x3 + x4 + x5 + x6 + x7 + x8 + x9 + 
        x10 + x11 + x12 + x13 + x14 + x15)
    """
    lines, current, start = [], "", 0
    for end in range(2, len(call) + 1):
        if call[end - 2:end] in _BREAK_AFTER:
            current += call[start:end]
            start = end
            if len(current) > _DEPARSE_CUTOFF:
                lines.append(current)
                current = "    "
    lines.append(current + call[start:])
    return lines


def _signif(x: float, digits: int) -> float:
    """R's signif()."""
    if x == 0 or not math.isfinite(x):
        return x
    return float(f"{x:.{digits - 1}e}")


def _format_c(x: Optional[float], digits: int) -> str:
    """R's ``formatC(x, digits = digits)`` for a double: C's ``%*.*g`` at width digits + 1,
    NA, NaN and Inf right-aligned to that width. (C keeps the sign of a zero, as R does here.)

    >>> _format_c(59.9, 4), _format_c(0.07308, 4), _format_c(float("nan"), 4)
    (' 59.9', '0.07308', '  NaN')
    """
    width = digits + 1
    if x is None:
        return "NA".rjust(width)
    if not math.isfinite(x):
        return ("NaN" if math.isnan(x) else "Inf" if x > 0 else "-Inf").rjust(width)
    return f"{x:{width}.{digits}g}"


def _zapsmall(values: np.ndarray, digits: int) -> np.ndarray:
    """R's ``zapsmall(values, digits)``: rounded to ``digits - log10(max |value|)`` decimals,
    a fraction that R's round() takes to the nearest whole number."""
    finite = values[~np.isnan(values)]
    if not finite.size:
        return values
    largest = float(np.max(np.abs(finite)))
    places = digits
    if largest > 0:
        places = max(0, math.floor(digits - math.log10(largest) + 0.5))
    return np.round(values, places)


def _stars(p: Optional[float]) -> str:
    if p is None or math.isnan(p):
        return ""
    for cut, symbol in ((0.001, "***"), (0.01, "**"), (0.05, "*"), (0.1, ".")):
        if p <= cut:
            return symbol
    return " "


_ESCAPES = {"\a": "\\a", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r",
            "\t": "\\t", "\v": "\\v", "\\": "\\\\"}
# Characters R shows as escapes: controls, unassigned code points, surrogates, and the line
# and paragraph separators.
_UNPRINTABLE = {"Cc", "Cn", "Cs", "Zl", "Zp"}


def _escaped(text: str) -> str:
    r"""A dimnames label as R's print shows it: backslash escapes for \a \b \f \n \r \t
    \v and the backslash, \ooo for the other ASCII controls, \uxxxx for the other
    characters that cannot be printed.

    >>> print(_escaped("g_b\tc"), _escaped("x\001"), _escaped("\u0080é"))
    g_b\tc x\001 \u0080é
    """
    out = []
    for char in text:
        code = ord(char)
        if char in _ESCAPES:
            out.append(_ESCAPES[char])
        elif code < 0x20 or code == 0x7F:
            out.append(f"\\{code:03o}")
        elif code > 0x7F and unicodedata.category(char) in _UNPRINTABLE:
            out.append(f"\\u{code:04x}" if code <= 0xFFFF else f"\\U{code:08x}")
        else:
            out.append(char)
    return "".join(out)


def _display_width(text: str) -> int:
    """Columns a printed text takes: wide East Asian characters 2, combining marks and
    zero-width format characters 0 (the soft hyphen 1, as R counts it)."""
    width = 0
    for char in text:
        if unicodedata.category(char) in ("Mn", "Me") or (
                unicodedata.category(char) == "Cf" and char != "\u00ad"):
            continue
        width += 2 if unicodedata.east_asian_width(char) in ("W", "F") else 1
    return width


def _pad(text: str, width: int, right: bool) -> str:
    blanks = " " * max(0, width - _display_width(text))
    return blanks + text if right else text + blanks


def _print_matrix(row_names: Sequence[str], col_names: Sequence[str],
                  cells: Sequence[Sequence[str]]) -> list[str]:
    """R's print.default of a character matrix (quote = FALSE, right = TRUE): blocks of
    columns that fit in the line width, each block repeating the row names. Labels show
    control characters as escapes; widths are counted as printed."""
    row_names = [_escaped(name) for name in row_names]
    col_names = [_escaped(name) for name in col_names]
    name_width = max([_display_width(name) for name in row_names], default=0)
    widths = [max([_display_width(col)] + [_display_width(row[j]) for row in cells])
              for j, col in enumerate(col_names)]
    blocks: list[list[int]] = []
    used = LINE_WIDTH
    for j, width in enumerate(widths):
        if not blocks or used + 1 + width > LINE_WIDTH:
            blocks.append([])
            used = name_width
        blocks[-1].append(j)
        used += 1 + width
    lines: list[str] = []
    for block in blocks:
        lines.append(" " * name_width + "".join(" " + _pad(col_names[j], widths[j], True)
                                                for j in block))
        for name, row in zip(row_names, cells):
            lines.append(_pad(name, name_width, False) + "".join(
                " " + _pad(row[j], widths[j], True) for j in block))
    return lines


def _print_named(names: Sequence[str], values: Sequence[float], digits: int) -> list[str]:
    """R's print of a named numeric vector: lines of names over lines of values."""
    texts = [t.strip() for t in format_numbers(values, digits)]
    width = max([len(t) for t in texts] + [len(n) for n in names])
    per_line = max(1, LINE_WIDTH // (width + 1))
    lines = []
    for start in range(0, len(texts), per_line):
        chunk = range(start, min(start + per_line, len(texts)))
        lines.append("".join(names[i].rjust(width) + " " for i in chunk))
        lines.append("".join(texts[i].rjust(width) + " " for i in chunk))
    return lines


def _present(values: Sequence[Optional[float]]) -> tuple[list[int], list[float]]:
    """Positions and values of the entries that are not NA (None) nor NaN."""
    positions = [i for i, v in enumerate(values) if v is not None and not math.isnan(v)]
    return positions, [float(values[i]) for i in positions]  # type: ignore[arg-type]


def _na_texts(values: Sequence[Optional[float]]) -> list[str]:
    return ["NA" if v is None else "NaN" for v in values]


def _rounded(x: float, places: int) -> float:
    return round(x, places) if math.isfinite(x) else x


def coefficient_table(names: Sequence[str], estimates: Sequence[Optional[float]],
                      errors: Sequence[Optional[float]], statistics: Sequence[Optional[float]],
                      pvalues: Sequence[Optional[float]], statistic_label: str,
                      digits: int = R_DIGITS) -> list[str]:
    """R's printCoefmat of an Estimate / Std. Error / statistic / p-value table; None is NA.
    The legend lines follow the table when stars are shown."""
    n = len(names)
    # Estimates and standard errors are rounded together, then formatted together.
    both = list(estimates) + list(errors)
    cs_texts = _na_texts(both)
    positions, values = _present(both)
    if values:
        nonzero = [abs(v) for v in values if math.isfinite(v) and v != 0]
        if nonzero:
            places = max(1, digits - (1 + math.floor(math.log10(min(nonzero)))))
            values_shown = [_rounded(v, places) for v in values]
        else:
            values_shown = values
        texts = format_numbers(values_shown, digits)
        # A nonzero value that shows as zero is formatted again with one digit fewer.
        redo = [k for k, (v, text) in enumerate(zip(values, texts))
                if math.isfinite(v) and (v == 0) != (float(text) == 0)]
        for k, text in zip(redo, format_numbers([values[k] for k in redo], max(1, digits - 1))):
            texts[k] = text
        for i, text in zip(positions, texts):
            cs_texts[i] = text
    tst_digits = max(1, min(5, digits - 1))
    stat_texts = _na_texts(statistics)
    positions, values = _present(statistics)
    for i, text in zip(positions, format_numbers([_rounded(v, tst_digits) for v in values],
                                                 digits)):
        stat_texts[i] = text
    p_texts = _na_texts(pvalues)
    positions, p_values = _present(pvalues)
    for i, text in zip(positions, format_pvalues(p_values, tst_digits)):
        p_texts[i] = text
    columns = ["Estimate", "Std. Error", f"{statistic_label} value",
               f"Pr(>|{statistic_label}|)"]
    rows = [[cs_texts[i], cs_texts[n + i], stat_texts[i], p_texts[i]] for i in range(n)]
    show_stars = any(p < 0.1 for p in p_values)
    if show_stars:
        stars = [_stars(p) for p in pvalues]
        star_width = max(len(star) for star in stars)
        columns.append("")
        for row, star in zip(rows, stars):
            row.append(star.ljust(star_width))
    lines = _print_matrix(names, columns, rows)
    if show_stars:
        lines += ["---", SIGNIF_LEGEND]
    return lines


def _plural(count: int, word: str) -> str:
    return f"{count} {word}{'' if count == 1 else 's'}"


# ---- the summary object -----------------------------------------------------------------


class Summary:
    """The summary of a fitted model; ``str()`` gives R's printed layout.

    The attributes hold the values shown: ``coefficients`` is a list of rows
    ``(term, estimate, std_error, statistic, p_value)`` (None where R shows NA).

    >>> import tallyfit as tf
    >>> data = {"dose": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
    ...         "response": [1.2, 1.9, 3.2, 3.8, 5.1, 6.3]}
    >>> print(tf.lm("response ~ dose", data).summary())  # doctest: +NORMALIZE_WHITESPACE
    <BLANKLINE>
    Call:
    lm(formula = response ~ dose)
    <BLANKLINE>
    Residuals:
           1        2        3        4        5        6 
     0.16667 -0.15333  0.12667 -0.29333 -0.01333  0.16667 
    <BLANKLINE>
    Coefficients:
                Estimate Std. Error t value Pr(>|t|)    
    (Intercept)  0.01333    0.19821   0.067     0.95    
    dose         1.02000    0.05090  20.041 3.66e-05 ***
    ---
    Signif. codes:  0 ‘***’ 0.001 ‘**’ 0.01 ‘*’ 0.05 ‘.’ 0.1 ‘ ’ 1
    <BLANKLINE>
    Residual standard error: 0.2129 on 4 degrees of freedom
    Multiple R-squared:  0.9901,\tAdjusted R-squared:  0.9877 
    F-statistic: 401.6 on 1 and 4 DF,  p-value: 3.659e-05
    <BLANKLINE>
    """

    def __init__(self, model: Any, vcov: Any = None) -> None:
        _require_fit(model)
        self.model = model
        self.formula: str = model.formula
        self.is_linear = _is_linear(model)
        self.penalties: Optional[dict[Any, float]] = None if self.is_linear else getattr(
            model, "penalties", None)
        names = list(model.column_names)
        aliased = set(getattr(model, "aliased", None) or [])
        coefficients = model.coefficients
        self.coefficients: list[Row]
        #: The line naming a sandwich covariance under the table (None: the model-based one).
        self.covariance_line: Optional[str] = None
        t_tests = bool(model.uses_t)
        if self.penalties:
            if vcov is not None:
                model.inference_table(vcov)  # raises: a penalized model has no inference
            self.lambdas = _column_penalties(self.penalties, names)
            self.coefficients = [(name, _value(coefficients[name]), None, None, None)
                                 for name in names]
        else:
            if vcov is None:  # (any object with the model's attributes prints)
                errors, statistics, pvalues = model.std_errors, model.statistics, model.p_values
            else:
                table, t_tests, self.covariance_line = model.inference_table(vcov)
                errors, statistics, pvalues = (table["std_errors"], table["statistics"],
                                               table["p_values"])
            self.coefficients = [
                (name, None, None, None, None) if name in aliased else
                (name, _value(coefficients[name]), _value(errors[name]),
                 _value(statistics[name]), _value(pvalues[name]))
                for name in names]
        self.n_aliased = len(aliased)
        # Arguments R's Call shows: given as column names, in glm's argument order.
        self.weights_name: Optional[str] = getattr(model, "weights_name", None)
        self.offset_name: Optional[str] = getattr(model, "offset_name", None)
        self.n_missing = int(getattr(model, "n_missing", 0) or 0)
        self.nobs = int(model.nobs)
        self.df_resid = int(model.df_resid)
        if self.is_linear:
            residuals = getattr(model, "residuals", None)
            self.residuals = None if residuals is None else np.asarray(residuals, dtype=float)
            self.weighted = False
            prior = getattr(model, "prior_weights", None)
            if self.residuals is not None and prior is not None:
                self.residuals, self.weighted = _weighted_residuals(
                    self.residuals, np.asarray(prior, dtype=float))
            self.sigma = float(model.sigma)
            f_statistic = model.f_statistic
            # R prints no R-squared and F lines for a model of the intercept alone.
            self.f_statistic = None if f_statistic is None or not f_statistic[1] else tuple(
                float(v) for v in f_statistic)
            if self.f_statistic is not None:
                self.r_squared = float(model.r_squared)
                self.adj_r_squared = float(model.adj_r_squared)
                self.f_p_value = float(model.f_p_value)
        else:
            self.deviance = float(model.deviance)
            self.null_deviance = float(model.null_deviance)
            self.df_null = int(model.df_null)
            self.aic = None if self.penalties else float(model.aic)
            self.iterations = getattr(model, "iterations", None)
            self.family_name: str = model.family.name
            self.link_name: str = model.family.link.name
            self.link_given = bool(getattr(model, "link_given", False))
            self.dispersion = float(model.dispersion)
            theta = getattr(model, "theta", None)
            self.has_theta = theta is not None
            if theta is not None:
                self.theta = float(theta)
                self.se_theta = float(model.se_theta)
                self.two_log_likelihood = float(model.two_log_likelihood)
                self.init_theta = float(getattr(model, "init_theta", None) or theta)
        self.statistic_label = "t" if t_tests else "z"

    def __str__(self) -> str:
        lines = ["", "Call:"] + deparse_lines(self._call())
        if self.is_linear:
            residual_lines = self._residual_lines()
            if residual_lines:
                lines += [""] + residual_lines
        lines += self._coefficient_lines()
        lines += self._linear_lines() if self.is_linear else self._glm_lines()
        lines.append("")
        if not self.is_linear and self.has_theta:
            lines += self._theta_lines()
        return "\n".join(lines)

    def _call(self) -> str:
        """The call as R prints it, without ``data = ...``: glm(formula, family, weights,
        offset); glm.nb's family is in its name, its init.theta and link come last."""
        arguments = [f"formula = {self.formula}"]
        if self.is_linear:
            function = "lm"
        elif self.has_theta:
            function = "glm.nb"
        else:
            function = "glm"
            family = self.family_name
            if self.link_given:
                family += f'(link = "{self.link_name}")'
            arguments.append(f"family = {family}")
        for name, column in (("weights", self.weights_name), ("offset", self.offset_name)):
            if column is not None:
                arguments.append(f"{name} = {column}")
        if not self.is_linear and self.has_theta:
            # glm.nb stores signif(theta, 10); deparse shows it with 15 significant digits.
            arguments.append(f"init.theta = {_signif(self.init_theta, 10):.15g}")
            arguments.append(f"link = {self.link_name}")
        return f"{function}({', '.join(arguments)})"

    def _theta_lines(self) -> list[str]:
        """MASS's print.summary.negbin: theta and its standard error rounded to the places
        the standard error shows at 3 significant digits, then twice the log-likelihood."""
        places = 0
        if self.se_theta > 0 and math.isfinite(self.se_theta):
            places = max(2 - math.floor(math.log10(self.se_theta)), 0)
        theta, error = (_format_nsmall(round(v, places), places)
                        for v in (self.theta, self.se_theta))
        two_log_likelihood = _format_nsmall(round(self.two_log_likelihood, 3), places)
        return ["", f"              Theta:  {theta} ", f"          Std. Err.:  {error} ", "",
                f" 2 x log-likelihood:  {two_log_likelihood} "]

    def __repr__(self) -> str:
        return str(self)

    def _repr_html_(self) -> str:
        """The printed summary as a notebook shows it: the text in a <pre>, escaped.

        >>> import tallyfit as tf
        >>> m = tf.lm("y ~ x", {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]})
        >>> m.summary()._repr_html_().splitlines()[0]
        '<pre>'
        """
        return preformatted(str(self))

    def _residual_lines(self) -> list[str]:
        if self.residuals is None:
            return []
        lines = ["Weighted Residuals:" if self.weighted else "Residuals:"]
        if self.df_resid > 5:
            quantiles = _zapsmall(np.quantile(self.residuals, [0, 0.25, 0.5, 0.75, 1]),
                                  R_DIGITS + 1)
            lines += _print_named(["Min", "1Q", "Median", "3Q", "Max"], list(quantiles),
                                  R_DIGITS)
        elif self.df_resid > 0:
            names = [str(i + 1) for i in range(len(self.residuals))]
            lines += _print_named(names, list(self.residuals), R_DIGITS)
        else:
            lines.append(f"ALL {self.nobs} residuals are 0: no residual degrees of freedom!")
        return lines

    def _coefficient_lines(self) -> list[str]:
        if not self.coefficients:
            return ["", "No Coefficients"]
        names = [row[0] for row in self.coefficients]
        if self.penalties:
            estimates = format_numbers([row[1] for row in self.coefficients], R_DIGITS)
            lambdas = format_numbers(self.lambdas, R_DIGITS)
            cells = [[e, lam] for e, lam in zip(estimates, lambdas)]
            return (["", "Coefficients (ridge penalty: no standard errors or p-values):"]
                    + _print_matrix(names, ["Estimate", "Penalty"], cells))
        heading = "Coefficients:"
        if self.n_aliased:
            heading = f"Coefficients: ({self.n_aliased} not defined because of singularities)"
        columns = list(zip(*self.coefficients))
        lines = ["", heading] + coefficient_table(
            names, columns[1], columns[2], columns[3], columns[4], self.statistic_label)
        return lines + ([self.covariance_line] if self.covariance_line else [])

    def _missing_lines(self) -> list[str]:
        if not self.n_missing:
            return []
        return [f"  ({_plural(self.n_missing, 'observation')} deleted due to missingness)"]

    def _linear_lines(self) -> list[str]:
        sigma = format_numbers([_signif(self.sigma, R_DIGITS)])[0]
        lines = ["", f"Residual standard error: {sigma} on {self.df_resid} degrees of freedom"]
        lines += self._missing_lines()
        if self.f_statistic is not None:
            value, numdf, dendf = self.f_statistic
            # cat() puts a blank between "R-squared: " and formatC's text.
            lines.append(f"Multiple R-squared:  {_format_c(self.r_squared, R_DIGITS)},\t"
                         f"Adjusted R-squared:  {_format_c(self.adj_r_squared, R_DIGITS)} ")
            lines.append(f"F-statistic: {_format_c(value, R_DIGITS)} on {_count(numdf)} and "
                         f"{_count(dendf)} DF,  p-value: "
                         f"{format_pvalues([self.f_p_value], R_DIGITS)[0]}")
        return lines

    def _glm_lines(self) -> list[str]:
        deviances = format_numbers([self.null_deviance, self.deviance], max(5, R_DIGITS + 1))
        dfs = [str(self.df_null), str(self.df_resid)]
        df_width = max(len(d) for d in dfs)
        dispersion = format_numbers([self.dispersion])[0]
        lines = ["", f"(Dispersion parameter for {self.family_name} family taken to be "
                     f"{dispersion})", ""]
        for label, deviance, df in zip(["    Null", "Residual"], deviances, dfs):
            lines.append(f"{label} deviance: {deviance}  on {df.rjust(df_width)}  "
                         "degrees of freedom")
        lines += self._missing_lines()
        if self.aic is not None:
            # A quasi family has no likelihood: R's AIC is NA. (Zero prior weights make a
            # gaussian AIC infinite, printed "Inf" as R does.)
            aic = format_numbers([None if math.isnan(self.aic) else self.aic],
                                 max(4, R_DIGITS + 1))[0]
            lines.append(f"AIC: {aic}")
        if self.iterations is not None:
            lines += ["", f"Number of Fisher Scoring iterations: {_count(self.iterations)}"]
        return lines


LOADED_MODEL_MESSAGE = (
    "this model was loaded from a model file and holds no fit statistics; "
    "refit on data to summarize it"
)
_LINEAR_KINDS = frozenset({"lm"})
_GLM_KINDS = frozenset({"glm"})


def _weighted_residuals(residuals: np.ndarray,
                        prior_weights: np.ndarray) -> tuple[np.ndarray, bool]:
    """summary.lm's residuals √w·r, zero-weight rows included as zeros, and whether print
    calls them weighted (weights that are not all equal)."""
    if prior_weights.size != residuals.size:
        # Residuals of the rows with a nonzero weight only: the others are zeros in R.
        nonzero = prior_weights != 0
        if int(nonzero.sum()) != residuals.size:
            raise ValueError(
                f"the model has {residuals.size} residuals for {prior_weights.size} prior "
                "weights: expected one per fitted row")
        full = np.zeros(prior_weights.size)
        full[nonzero] = residuals
        residuals = full
    weighted = bool(prior_weights.size) and float(np.ptp(prior_weights)) != 0.0
    return np.sqrt(prior_weights) * residuals, weighted


def _format_nsmall(x: float, nsmall: int) -> str:
    """R's ``format(x, nsmall = nsmall)``: 7 significant digits, at least `nsmall` decimals
    in fixed notation."""
    width, decimals, exponent = _layout([x], 7)
    if exponent or not math.isfinite(x):
        return format_numbers([x])[0]
    return f"{_unsigned_zero(x):.{max(decimals, nsmall)}f}"


def _require_fit(model: Any) -> None:
    if model.fit_statistics is None:
        raise ValueError(LOADED_MODEL_MESSAGE)


def _is_linear(model: Any) -> bool:
    """Whether the model gets lm's layout, by its `kind` (a glm.nb model, with a
    `theta`, gets glm's)."""
    kind = model.kind
    if kind in _LINEAR_KINDS:
        return True
    if kind in _GLM_KINDS or getattr(model, "theta", None) is not None:
        return False
    raise ValueError(
        f"cannot summarize a model of kind {kind!r}: expected one of "
        f"{', '.join(sorted(_LINEAR_KINDS | _GLM_KINDS))}")


def _value(x: Any) -> Optional[float]:
    return None if x is None else float(x)


def _count(x: float) -> str:
    return str(int(x)) if float(x).is_integer() else f"{x:.7g}"


def _column_penalties(penalties: dict[Any, float], names: list[str]) -> list[float]:
    """Each column's lambda, resolved as the penalized core resolves its penalties."""
    records = [(key, None, float(lam)) if isinstance(key, str) else
               (key[0], key[1], float(lam)) for key, lam in penalties.items()]
    return [float(v) for v in penalty_diagonal(records, names)]


# ---- tidy -------------------------------------------------------------------------------


def tidy(model: Any, native_namespace: Any = None, vcov: Any = None) -> Any:
    """The coefficient table as a data frame of the caller's library.

    Columns: term, estimate, std_error, statistic, p_value (NaN where R shows NA); a
    penalized model has NaN inference columns and a `penalty` column. `native_namespace`
    is the narwhals native namespace of the data the model was fitted on; None (dict input)
    gives a pandas DataFrame when pandas is installed and a dict of lists otherwise. `vcov`
    chooses the covariance of the inference columns (see the model's `summary`).

    >>> import tallyfit as tf
    >>> data = {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 3.0, 2.0, 5.0]}
    >>> tf.lm("y ~ x", data).tidy()["term"].tolist()
    ['(Intercept)', 'x']
    """
    _require_fit(model)
    names = list(model.column_names)
    nan = math.nan
    estimates = model.coefficients
    table: dict[str, list[Any]] = {"term": names,
                                   "estimate": [estimates[name] for name in names]}
    penalties = getattr(model, "penalties", None)
    if penalties:
        if vcov is not None:
            model.inference_table(vcov)  # raises: a penalized model has no inference
        for key in ("std_error", "statistic", "p_value"):
            table[key] = [nan] * len(names)
        table["penalty"] = _column_penalties(penalties, names)
    else:
        aliased = set(model.aliased)
        inference = {"std_errors": model.std_errors, "statistics": model.statistics,
                     "p_values": model.p_values} if vcov is None \
            else model.inference_table(vcov)[0]
        for key, values in (("std_error", inference["std_errors"]),
                            ("statistic", inference["statistics"]),
                            ("p_value", inference["p_values"])):
            table[key] = [nan if name in aliased else values[name] for name in names]
    return as_frame(table, native_namespace)


def preformatted(text: str) -> str:
    """`text` as HTML that keeps its layout: escaped, in a <pre>.

    >>> preformatted("Pr(>|t|) < 2e-16 & ‘*’")
    '<pre>Pr(&gt;|t|) &lt; 2e-16 &amp; ‘*’</pre>'
    """
    return f"<pre>{html.escape(text, quote=False)}</pre>"


def as_frame(table: dict[str, list[Any]], native_namespace: Any = None) -> Any:
    """The columns of `table` as a data frame of `native_namespace` (a narwhals native
    namespace); None gives a pandas DataFrame when pandas is installed and the dict itself
    otherwise.

    >>> as_frame({"a": [1.0]}, None)["a"].tolist()
    [1.0]
    """
    if native_namespace is None:
        try:
            import pandas
        except ImportError:
            return table
        native_namespace = pandas
    import narwhals.stable.v1 as nw

    return nw.from_dict(table, native_namespace=native_namespace).to_native()
