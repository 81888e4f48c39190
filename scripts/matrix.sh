#!/usr/bin/env bash
# Runs the Python test suite on several CPython / NumPy / pandas combinations, each in its
# own venv (.venv-py312-np126, ...) with its own build folder (build/matrix-<name>).
#
#   scripts/matrix.sh [COMBO...]      COMBO = <python minor>-<deps>, e.g. 3.12-np126
#
# deps: np126 = NumPy 1.26 + pandas 2.2 (the oldest the package supports);
#       latest = the newest NumPy 2 + pandas 3;
#       a "-pyarrow" suffix adds pyarrow, which makes pandas 3's default text dtype the
#       pyarrow-backed "str" (pandas 2.2 keeps object columns by default but gains the
#       Arrow-backed dtypes).
# Default: every combination whose interpreter this machine has (PATH, then pyenv); a
# combination without its interpreter is skipped, except under CI=true, where it fails the
# run, as an unknown combination always does. PYTEST_ARGS is passed to pytest. Prints the
# time each combination took.
#
# The extension is always built against NumPy 2's headers (it targets the 1.22 C API, see
# src/python/numpy_api.hpp), so the old combination builds with NumPy 2 installed and then
# downgrades NumPy and pandas before testing: the same binary must run on both.
set -uo pipefail
cd "$(dirname "$0")/.."

DEFAULT_COMBOS="3.12-np126 3.12-np126-pyarrow 3.12-latest 3.13-latest 3.13-latest-pyarrow"
combos=${*:-$DEFAULT_COMBOS}

find_python() {
  local v=$1 cand
  for cand in "$(command -v "python$v" 2>/dev/null)" \
              $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v".*/bin/python"$v" 2>/dev/null | sort -V -r); do
    if [ -n "$cand" ] && "$cand" -c 'import venv' >/dev/null 2>&1; then
      echo "$cand"
      return 0
    fi
  done
  return 1
}

deps_for() {
  local extra=
  case $1 in
    # pyarrow 26 and later refuse to import beside NumPy 1.x.
    np126-pyarrow) extra="pyarrow<26" ;;
    *-pyarrow) extra=pyarrow ;;
  esac
  case ${1%-pyarrow} in
    np126) echo "numpy==1.26.* pandas==2.2.* $extra" ;;
    latest) echo "numpy>=2 pandas>=3 $extra" ;;
    *) return 1 ;;
  esac
}

summary=()
status=0
for combo in $combos; do
  pyver=${combo%%-*}
  deps=${combo#*-}
  pins=$(deps_for "$deps") || { echo "matrix: unknown deps '$deps' in $combo" >&2; exit 2; }
  if ! [[ $pyver =~ ^3\.([0-9]+)$ ]] || (( BASH_REMATCH[1] < 12 )); then
    echo "matrix: unknown python '$pyver' in $combo (supported: 3.12 and later)" >&2
    exit 2
  fi
  if ! py=$(find_python "$pyver"); then
    if [ "${CI:-}" = true ]; then
      summary+=("$combo: FAILED (no python$pyver on this machine)")
      status=1
    else
      summary+=("$combo: skipped (no python$pyver)")
    fi
    continue
  fi
  name=py${pyver/./}-$deps
  venv=.venv-$name
  start=$(date +%s)
  echo "=== $combo: $py -> $venv"
  (
    set -e
    test -x "$venv/bin/python" || "$py" -m venv "$venv"
    vpy=$venv/bin/python
    "$vpy" -m pip install -q --upgrade pip
    # Build requirements (NumPy 2 headers), then the extension, then the run-time versions.
    "$vpy" -m pip install -q "scikit-build-core>=0.10" "cmake>=3.21" ninja "numpy>=2" \
      "pytest>=8" "hypothesis>=6"
    "$vpy" -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=build/matrix-$name .
    # shellcheck disable=SC2086
    "$vpy" -m pip install -q --upgrade $pins
    # Imports pyarrow where the combination has it, so that one that cannot load fails here.
    "$vpy" - <<'EOF'
import importlib.metadata, sys, numpy, pandas
line = f"python {sys.version.split()[0]} numpy {numpy.__version__} pandas {pandas.__version__}"
try:
    importlib.metadata.version("pyarrow")
except importlib.metadata.PackageNotFoundError:
    pass
else:
    import pyarrow
    line += f" pyarrow {pyarrow.__version__} (default text dtype: {pandas.Series(['a']).dtype!r})"
print(line)
EOF
    # shellcheck disable=SC2086
    "$vpy" -m pytest -q -p no:cacheprovider ${PYTEST_ARGS:-} tests
  )
  rc=$?
  took=$(( $(date +%s) - start ))
  if [ $rc -eq 0 ]; then
    summary+=("$combo: passed in ${took}s")
  else
    summary+=("$combo: FAILED (exit $rc) after ${took}s")
    status=1
  fi
done

echo "=== matrix summary"
printf '%s\n' "${summary[@]}"
exit $status
