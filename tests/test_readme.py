"""Every Python block of README runs as written, each in a fresh interpreter."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```$", README.read_text(encoding="utf-8"), re.M | re.S)


def test_readme_has_blocks() -> None:
    assert len(BLOCKS) >= 8


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_block_runs(code: str, tmp_path: Path) -> None:
    # A file, not `-c`: the shared-memory block starts processes that re-import __main__.
    script = tmp_path / "block.py"
    script.write_text(code, encoding="utf-8")
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
