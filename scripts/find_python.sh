#!/usr/bin/env bash
# Prints the newest CPython (3.12 or later preferred) this machine has: PATH first, then
# pyenv's installed versions, then whatever python3 is.
set -u
for v in 3.14 3.13 3.12; do
  for cand in "$(command -v python$v 2>/dev/null)" \
              $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/$v*/bin/python$v 2>/dev/null | sort -V -r); do
    if [ -n "$cand" ] && "$cand" -c 'import sys, venv' >/dev/null 2>&1; then
      echo "$cand"; exit 0
    fi
  done
done
command -v python3
