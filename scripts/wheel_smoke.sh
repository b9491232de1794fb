#!/usr/bin/env bash
# Builds a wheel, installs it (not editable) into a fresh virtual environment
# outside the source tree, and runs an import check and the demo conversion
# there, so a file missing from the package fails here.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${PYTHON:-python3}"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT

"$PYTHON" -m venv "$WORK/build-env"
"$WORK/build-env/bin/python" -m pip install -q --upgrade pip build
"$WORK/build-env/bin/python" -m build --wheel --outdir "$WORK/dist" "$ROOT" >/dev/null
wheel="$(ls "$WORK"/dist/nivra_hsi-*.whl)"
echo "built $(basename "$wheel")"

"$PYTHON" -m venv "$WORK/env"
"$WORK/env/bin/python" -m pip install -q "$wheel[convert]"
cd "$WORK"
"$WORK/env/bin/python" - <<'PY'
import pathlib
import nivra, nivra.convert, nivra.utils.display as display
package = pathlib.Path(nivra.__file__).parent
for name in ("convert.pyi", "utils/display.pyi", "py.typed"):
    assert (package / name).is_file(), f"{name} missing from the wheel"
assert "site-packages" in nivra.convert.__file__, nivra.convert.__file__
print("import ok:", nivra.convert.__file__)
PY
"$WORK/env/bin/nivra" --version
"$WORK/env/bin/python" "$ROOT/examples/make_sample_scene.py" "$WORK/scene"
"$WORK/env/bin/nivra" convert_to_mat --img "$WORK/scene/scene.hdr" --gt "$WORK/scene/labels.tif" \
  --out-dir "$WORK/out" >/dev/null
test -s "$WORK/out/data.mat" && test -s "$WORK/out/gt.mat" && test -s "$WORK/out/metadata.json"
echo "wheel smoke test passed"
