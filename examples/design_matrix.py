"""A small design-matrix builder for formulas over numeric data columns."""
import numpy as np

import _tallyfit as tf


def data_column(columns, name):
    # Interaction factors keep the blanks around ":" ("a : b" gives "a ").
    key = name.strip()
    if key not in columns:
        raise KeyError(f"formula refers to column {key!r}, which the data "
                       "does not have")
    return columns[key]


def build_design_matrix(formula, columns):
    """Returns (x_matrix, x_col_names, encoder) for the independent terms.

    The intercept term "1" becomes a column of ones, a plain term its data
    column and an interaction term the product of its two factors.
    """
    n_rows = len(next(iter(columns.values())))
    blocks, names = [], []
    for term in formula.independent:
        block = np.ones(n_rows)
        if not term.intercept:
            # A plain term has one factor (itself), an interaction two.
            for factor in term.get_columns_from_term():
                block = block * data_column(columns, factor)
        blocks.append(block)
        names.append(term.name)
    if blocks:
        x_matrix = np.column_stack(blocks)
    else:
        x_matrix = np.empty((n_rows, 0))

    encoder = tf.Encoder()
    numeric = tf.EncodedColumnInfo(None, tf.EncodingType.Numeric)
    for name in formula.get_column_names(with_dependent=False):
        encoder.add_column_mapping(name.strip(), numeric)
    return x_matrix, names, encoder


def response_vector(formula, columns):
    column = data_column(columns, formula.dependent.name)
    return np.ascontiguousarray(column, dtype=np.float64)
