#!/usr/bin/env bash
# Builds the extension with AddressSanitizer + UndefinedBehaviorSanitizer into its own venv
# (.venv-asan, build folder build/asan-ext) and runs the Python test suite against it with
# the ordinary interpreter, the sanitizer runtime preloaded.
#
#   scripts/asan_python.sh [pytest args...]
#   scripts/asan_python.sh --exec COMMAND...   (any command in the sanitized environment,
#                                              e.g. --exec .venv-asan/bin/python x.py)
#
# PYTHON picks the interpreter (default: scripts/find_python.sh); ASAN_VENV the venv.
# PYTHONMALLOC=malloc routes every Python object through the sanitized malloc, so a
# reference-count error in the extension shows up as a use-after-free instead of silently
# reusing a pymalloc block, and LeakSanitizer sees (and scans) Python objects.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-$(scripts/find_python.sh)}
VENV=${ASAN_VENV:-.venv-asan}
VPY=$VENV/bin/python
BUILD=build/asan-ext

if [ ! -f "$VENV/.ready" ] || [ requirements-dev.txt -nt "$VENV/.ready" ]; then
  test -x "$VPY" || "$PYTHON" -m venv "$VENV"
  "$VPY" -m pip install -q --upgrade pip
  "$VPY" -m pip install -q -r requirements-dev.txt
  touch "$VENV/.ready"
fi

"$VPY" -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=$BUILD \
  -Ccmake.build-type=RelWithDebInfo -Ccmake.define.VANDRA_SANITIZE=address,undefined .

runtime=$(gcc -print-file-name=libasan.so)
ubsan=$(gcc -print-file-name=libubsan.so)
if [ ! -e "$runtime" ] || [ ! -e "$ubsan" ]; then
  echo "asan_python: gcc's libasan/libubsan not found" >&2
  exit 2
fi

# The module links both runtimes; libasan must come first in the process, so it is
# preloaded, and libubsan with it so the two load from the same compiler.
# allocator_may_return_null: a huge allocation fails with std::bad_alloc as it would in
# production, instead of ASan aborting the process.
export LD_PRELOAD="$runtime:$ubsan"
export PYTHONMALLOC=malloc
# fast_unwind_on_malloc=0: the interpreter has no frame pointers, so only the slow
# unwinder gives allocation stacks deep enough for the leak suppressions to match.
# intercept_tls_get_addr=0: GCC 12's runtime misreads glibc's dynamic TLS blocks and its
# leak-check tracer then crashes at exit once the pool's threads exist (a known
# sanitizer bug); static TLS, stacks and globals are still scanned.
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:abort_on_error=1:fast_unwind_on_malloc=0:malloc_context_size=30:intercept_tls_get_addr=0:strict_string_checks=1:check_initialization_order=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizer.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# Every call runs several times slower here: the property tests draw a fifth of their examples.
export VANDRA_TEST_SANITIZED=1
# Subprocesses that the tests start inherit all of the above, so they run sanitized too.
if [ "${1:-}" = "--exec" ]; then
  shift
  exec "$@"
fi
"$VPY" -c 'import vandra' >/dev/null
exec "$VPY" -m pytest -q -p no:cacheprovider "$@" tests
