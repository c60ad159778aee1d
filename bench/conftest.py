"""Benchmarks run with `make bench`: one pytest-benchmark table, one group per case,
corvane beside the peers a user would otherwise pick. Files are named bench_*.py so
the ordinary test run never collects them; this hook collects them here."""

import os

import pytest


def pytest_collect_file(file_path, parent):
    # A file named on the command line is collected by pytest itself.
    if (file_path.suffix == ".py" and file_path.name.startswith("bench_")
            and not parent.session.isinitpath(file_path)):
        return pytest.Module.from_parent(parent, path=file_path)
    return None


def pytest_report_header(config):
    workers = os.environ.get("RAYON_NUM_THREADS", "<default: all logical processors>")
    return [f"corvane workers (RAYON_NUM_THREADS): {workers}; cores: {os.cpu_count()}"]


@pytest.fixture(scope="session")
def workers():
    """The worker count the run asked for, also given to OpenCV so both use the same cores."""
    n = int(os.environ.get("RAYON_NUM_THREADS", "0") or 0) or os.cpu_count()
    try:
        import cv2

        cv2.setNumThreads(n)
    except ImportError:
        pass
    return n
