#!/usr/bin/env bash
# Builds nivra and runs the test suite on python3 and, when pyenv has one,
# on Python 3.9. Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"

run_suite() {
  local python="$1" venv="$2"; shift 2
  echo "== tests on $("$python" --version 2>&1)"
  make_venv "$python" "$venv" test
  (cd "$ROOT" && "$venv/bin/python" -m pytest -q "$@")
}

run_suite python3 "$ROOT/.venv/py3" "$@"

py39=""
if command -v pyenv >/dev/null 2>&1; then
  py39="$(pyenv root)/versions/$(pyenv versions --bare | grep -E '^3\.9(\.|$)' | tail -n 1)/bin/python3.9"
fi
if [ -n "$py39" ] && [ -x "$py39" ]; then
  run_suite "$py39" "$ROOT/.venv/py39" "$@"
else
  echo "note: no Python 3.9 found through pyenv; skipping the 3.9 run"
fi
