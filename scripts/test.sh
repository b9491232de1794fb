#!/usr/bin/env bash
# Builds nivra with warnings as errors and runs the whole test suite on
# python3 and on each of Python 3.9, 3.12 and 3.13 that pyenv has. Extra
# arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
export NIVRA_CMAKE_ARGS="${NIVRA_CMAKE_ARGS:--DNIVRA_WERROR=ON}"

run_suite() {
  local python="$1" venv="$2"; shift 2
  echo "== tests on $("$python" --version 2>&1)"
  make_venv "$python" "$venv" test
  (cd "$ROOT" && "$venv/bin/python" -m pytest -q "$@")
}

# The newest pyenv interpreter of one minor version, or nothing.
pyenv_python() {
  local minor="$1" version
  command -v pyenv >/dev/null 2>&1 || return 0
  version="$(pyenv versions --bare | grep -E "^${minor//./\\.}(\.[0-9]+)?$" | sort -V | tail -n 1 || true)"
  [ -z "$version" ] || echo "$(pyenv root)/versions/$version/bin/python$minor"
}

run_suite python3 "$ROOT/.venv/py3" "$@"

for minor in 3.9 3.12 3.13; do
  python="$(pyenv_python "$minor")"
  if [ -n "$python" ] && [ -x "$python" ]; then
    run_suite "$python" "$ROOT/.venv/py${minor/./}" "$@"
  else
    echo "note: no Python $minor found through pyenv; skipping the $minor run"
  fi
done
