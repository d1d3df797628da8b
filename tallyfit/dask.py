"""The Dask engine under its earlier name: ``tallyfit.dask`` is `tallyfit.engines.dask`."""

import sys

from .engines import dask as _engine

sys.modules[__name__] = _engine
