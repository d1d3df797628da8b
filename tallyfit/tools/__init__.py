"""Maintenance tools of the package (run as ``python -m tallyfit.tools.<name>``)."""
