#!/usr/bin/env bash
# Builds corvane for the other supported CPython versions and runs the test
# suite there (without the long leak, fuzz and stub runs), each against the
# NumPy generation that version is paired with. Every version asked for must
# be found: a lost interpreter fails the run instead of shrinking it.
# Usage: tools/compat.sh [VERSION:NUMPY ...]
#
# CMake and Ninja come from PATH (the Makefile puts its venv first), so each
# venv here holds only the module, NumPy and the test runner.
set -euo pipefail
cd "$(dirname "$0")/.."

pairs=("$@")
[ ${#pairs[@]} -gt 0 ] || pairs=("3.10:numpy<2" "3.11:numpy>=2" "3.13:numpy>=2")

find_python() {
  local v=$1 full
  full=$(pyenv versions --bare 2>/dev/null | grep -E "^${v//./\\.}(\.[0-9]+)?$" | tail -1 || true)
  if [ -n "$full" ]; then PYENV_VERSION=$full pyenv which "python$v"; else command -v "python$v" || true; fi
}

pythons=() missing=()
for pair in "${pairs[@]}"; do
  python=$(find_python "${pair%%:*}")
  if [ -n "$python" ]; then pythons+=("$python"); else missing+=("${pair%%:*}"); fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "compat: error: CPython ${missing[*]} not found (pyenv or python${missing[0]} on PATH);" \
       "install it (pyenv install ${missing[0]}) or name the versions to run (make compat COMPAT='3.11:numpy>=2')" >&2
  exit 1
fi
for tool in cmake ninja; do
  command -v "$tool" >/dev/null || { echo "compat: error: $tool not on PATH (make compat puts the venv's first)" >&2; exit 1; }
done

# The venvs' own pip is enough for these installs (the long form of
# --config-settings is understood by the oldest of them).
status=0
for i in "${!pairs[@]}"; do
  pair=${pairs[$i]} python=${pythons[$i]}
  v=${pair%%:*} numpy=${pair#*:}
  venv=.venv-py$v
  echo "== CPython $v with $numpy"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" "numpy>=2.0"
  "$venv/bin/python" -m pip install -q --no-build-isolation --config-settings=build-dir="build/py$v" \
      --config-settings=cmake.define.CORVANE_WERROR=ON ".[test]"
  "$venv/bin/python" -m pip install -q "$numpy"
  "$venv/bin/python" -c "import numpy, corvane; print('   numpy', numpy.__version__, '->', corvane.__file__)"
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests \
      --ignore=tests/test_fuzz.py --ignore=tests/test_stubs.py --ignore=tests/test_demo.py \
      --deselect tests/test_robustness.py::test_repeated_calls_do_not_grow_memory || status=1
done
exit $status
