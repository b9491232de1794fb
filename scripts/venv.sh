# Sourced by the other scripts: `make_venv PYTHON DIR [EXTRAS]` creates (or
# refreshes) a virtual environment in DIR with nivra installed from this
# checkout, builds kept incrementally under build/.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

make_venv() {
  local python="$1" dir="$2" extras="${3:-convert}"
  if [ ! -x "$dir/bin/python" ]; then
    "$python" -m venv "$dir"
  fi
  "$dir/bin/python" -m pip install -q --upgrade pip
  # setuptools: venvs of Python 3.12+ lack it, and sdist-only dependencies build with it
  "$dir/bin/python" -m pip install -q "scikit-build-core>=0.10" "pybind11>=2.12" "cmake>=3.18" ninja wheel setuptools
  "$dir/bin/python" -m pip install -q --no-build-isolation "$ROOT[$extras]" ${NIVRA_CMAKE_ARGS:+--config-settings=cmake.args="$NIVRA_CMAKE_ARGS"} ${NIVRA_BUILD_DIR:+--config-settings=build-dir="$NIVRA_BUILD_DIR"}
}
