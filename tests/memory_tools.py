"""Whether this process runs under a memory tool (AddressSanitizer or valgrind)."""
import pytest


def under_memory_tool():
    """AddressSanitizer's quarantine and valgrind's allocator hold freed memory back, so the
    resident size means nothing under them."""
    with open("/proc/self/maps") as maps:
        text = maps.read()
    return "libasan" in text or "vgpreload" in text


needs_plain_allocator = pytest.mark.skipif(
    under_memory_tool(), reason="memory tools hold freed memory back")
