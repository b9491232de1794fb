#!/usr/bin/env bash
# Builds nivra into .venv/demo, makes the bundled sample scene and converts
# its ENVI cube together with the label image.
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
make_venv "${PYTHON:-python3}" "$ROOT/.venv/demo" convert
"$ROOT/.venv/demo/bin/python" "$ROOT/examples/make_sample_scene.py" "$ROOT/examples/sample_scene"
"$ROOT/.venv/demo/bin/nivra" convert_to_mat \
  --img "$ROOT/examples/sample_scene/scene.hdr" \
  --gt "$ROOT/examples/sample_scene/labels.tif" \
  --out-dir "$ROOT/demo_out"
