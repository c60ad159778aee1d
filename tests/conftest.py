import os

import pytest

import corvane


def pytest_report_header(config):
    return f"corvane module: {corvane.__file__}"


def pytest_sessionstart(session):
    # The sanitizer run must test the sanitizer build, not an installed one.
    if os.environ.get("CORVANE_EXPECT_SANITIZED") and "/asan/" not in corvane.__file__:
        raise pytest.UsageError(f"expected the sanitizer build, imported {corvane.__file__}")
