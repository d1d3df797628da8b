"""The examples in the package's docstrings run and print what they show."""

import doctest
import importlib

import pytest

MODULES = ["tallyfit", "tallyfit.design", "tallyfit.inference", "tallyfit.models",
           "tallyfit.summary", "tallyfit.api", "tallyfit.results", "tallyfit.families",
           "tallyfit.model_file", "tallyfit.engines", "tallyfit.covariance", "tallyfit.solvers",
           "tallyfit.progress", "tallyfit.anova"]


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name):
    result = doctest.testmod(importlib.import_module(name), optionflags=doctest.ELLIPSIS)
    assert result.attempted > 0 and result.failed == 0
