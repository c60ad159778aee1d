#!/usr/bin/env bash
# Builds corvane for the other supported CPython versions and runs the test
# suite there (without the long leak, fuzz and stub runs), each against the
# NumPy generation that version is paired with. Usage: tools/compat.sh [VERSION:NUMPY ...]
set -euo pipefail
cd "$(dirname "$0")/.."

pairs=("$@")
[ ${#pairs[@]} -gt 0 ] || pairs=("3.10:numpy<2" "3.11:numpy>=2" "3.13:numpy>=2")

find_python() {
  local v=$1 full
  full=$(pyenv versions --bare 2>/dev/null | grep -E "^${v//./\\.}(\.[0-9]+)?$" | tail -1 || true)
  if [ -n "$full" ]; then PYENV_VERSION=$full pyenv which "python$v"; else command -v "python$v" || true; fi
}

status=0
for pair in "${pairs[@]}"; do
  v=${pair%%:*} numpy=${pair#*:}
  python=$(find_python "$v")
  if [ -z "$python" ]; then
    echo "compat: CPython $v not found (pyenv or python$v); skipped"
    continue
  fi
  venv=.venv-py$v
  echo "== CPython $v with $numpy"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" "numpy>=2.0" "cmake>=3.20" ninja
  "$venv/bin/python" -m pip install -q --no-build-isolation -Cbuild-dir="build/py$v" ".[test]"
  "$venv/bin/python" -m pip install -q "$numpy"
  "$venv/bin/python" -c "import numpy, corvane; print('   numpy', numpy.__version__, '->', corvane.__file__)"
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests \
      --ignore=tests/test_fuzz.py --ignore=tests/test_stubs.py --ignore=tests/test_demo.py \
      --deselect tests/test_robustness.py::test_repeated_calls_do_not_grow_memory || status=1
done
exit $status
