"""Suite-wide ordering."""


def pytest_collection_modifyitems(config, items):
    # The Dask tests run last: their cluster finishes shutting down in background threads of
    # this process after its fixture closes, and those allocations would count as growth in the
    # leak measurements of tests that come after.
    items.sort(key=lambda item: item.nodeid.split("::")[0].endswith("test_dask.py"))
