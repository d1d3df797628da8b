"""A description of the machine and libraries a benchmark ran on."""
import os
import platform
import sys
from importlib import metadata

LIBRARIES = ["numpy", "scipy", "scikit-learn", "statsmodels", "threadpoolctl"]
BLAS_ENVIRONMENT = ["OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE",
                    "OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS"]


def _cpu_model():
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _memory_gib():
    with open("/proc/meminfo", encoding="ascii") as info:
        total_kib = int(info.readline().split()[1])
    return total_kib / 2**20


def _version(name):
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return "not installed"


def _blas_lines():
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return ["BLAS: threadpoolctl not installed"]
    lines = []
    for pool in threadpool_info():
        lines.append(
            f"{pool.get('user_api')}: {pool.get('internal_api')} "
            f"{pool.get('version')}, {pool.get('num_threads')} threads, "
            f"kernel {pool.get('architecture', '?')}, "
            f"{os.path.basename(pool.get('filepath', '?'))}")
    return lines


def machine_lines():
    """Markdown bullet lines; call after the libraries under test are
    imported, so that every loaded BLAS shows up."""
    lines = [
        f"CPU: {_cpu_model()}, {os.cpu_count()} logical cores, "
        f"{_memory_gib():.1f} GiB memory",
        f"OS: {platform.platform()}",
        f"Python {sys.version.split()[0]}; "
        + ", ".join(f"{name} {_version(name)}" for name in LIBRARIES),
    ]
    lines += _blas_lines()
    lines.append("environment: " + ", ".join(
        f"{name}={os.environ.get(name, '(unset)')}"
        for name in BLAS_ENVIRONMENT))
    return ["- " + line for line in lines]
