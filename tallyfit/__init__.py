"""tallyfit."""
