"""The shipped type stubs agree with the module and type real usage strictly."""

import os
import subprocess
import sys

import pytest

pytest.importorskip("mypy")
pytestmark = pytest.mark.skipif(
    bool(os.environ.get("CORVANE_EXPECT_SANITIZED")), reason="type checks do not depend on the build"
)
HERE = os.path.dirname(__file__)


def run(*args):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=HERE, timeout=300)


def test_stubs_match_the_module():
    out = run("mypy.stubtest", "corvane")
    assert out.returncode == 0, out.stdout + out.stderr


def test_usage_type_checks_strictly():
    out = run("mypy", "--strict", "--no-incremental", "typing_usage.py")
    assert out.returncode == 0, out.stdout + out.stderr
