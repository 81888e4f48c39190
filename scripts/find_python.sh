#!/usr/bin/env bash
# Prints the newest CPython 3.12 or later this machine has: PATH first, then pyenv's
# installed versions, then python3 if it is new enough; fails with a message otherwise.
set -u
for v in 3.14 3.13 3.12; do
  for cand in "$(command -v python$v 2>/dev/null)" \
              $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/$v*/bin/python$v 2>/dev/null | sort -V -r); do
    if [ -n "$cand" ] && "$cand" -c 'import sys, venv' >/dev/null 2>&1; then
      echo "$cand"; exit 0
    fi
  done
done
if py=$(command -v python3) && "$py" -c 'import sys, venv; sys.exit(sys.version_info < (3, 12))' \
    >/dev/null 2>&1; then
  echo "$py"; exit 0
fi
echo "find_python.sh: no CPython 3.12 or later found (PATH, pyenv); set PYTHON=..." >&2
exit 1
