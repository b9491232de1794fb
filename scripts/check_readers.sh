#!/usr/bin/env bash
# Reads the MAT files nivra writes with readers it did not write: GNU Octave's
# `load` and libmatio's `matdump` (Debian: octave, matio-tools; installed when
# missing). For each array of a table of element types and layouts it writes
# savemat's file, the native version 7 file and the 7.3 file; libmatio must
# list and dump all three alike, and Octave must load them with the same
# values (Octave reads a 7.3 file as plain HDF5: it ignores MATLAB_class, so
# single and logical arrive as double and uint8, and an empty array as its
# shape vector; only the version 7 files are compared by class). Then the
# bundled sample scene is converted both ways and compared the same way.
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
if ! command -v octave >/dev/null || ! command -v matdump >/dev/null; then
  apt-get install -y -q octave matio-tools >/dev/null
fi
make_venv python3 "$ROOT/.venv/py3" test
PY="$ROOT/.venv/py3/bin/python"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT

"$PY" - "$WORK" <<'PYTHON'
import sys
from pathlib import Path

import numpy as np
import scipy.io as sio

from nivra import convert

work = Path(sys.argv[1])
rng = np.random.default_rng(0)
cube = rng.integers(-3000, 3000, (7, 5, 3)).astype(np.int16)
arrays = {
    "double": rng.normal(size=(4, 6)),
    "single_f": np.asfortranarray(rng.normal(size=(3, 4, 5)).astype(np.float32)),
    "int16_big": cube.astype(">i2"),
    "int16_reversed": cube[::-1, :, ::-2],
    "uint8": rng.integers(0, 255, (9, 1, 4)).astype(np.uint8),
    "int64": rng.integers(-2**62, 2**62, (3, 2)),
    "uint32_4d": rng.integers(0, 2**32, (2, 3, 2, 2), dtype=np.uint64).astype(np.uint32),
    "logical": rng.random((5, 4)) > 0.5,
    "complex": rng.normal(size=(3, 4)) + 1j * rng.normal(size=(3, 4)),
    "complex_single": (rng.normal(size=(2, 5)) + 1j).astype(np.complex64),
    "half": rng.normal(size=(3, 3)).astype(np.float16),
    "empty": np.zeros((3, 0, 2), np.int32),
}
for name, array in arrays.items():
    sio.savemat(work / f"{name}_ref.mat", {"x": array}, do_compression=True)
    with open(work / f"{name}_v7.mat", "wb") as f:
        if not convert._write_mat(f, "x", array):
            sio.savemat(f, {"x": array}, do_compression=True)
    convert._write_mat73(str(work / f"{name}_v73.mat"), "x", array)
(work / "names.txt").write_text("\n".join(arrays))
PYTHON

"$PY" "$ROOT/examples/make_sample_scene.py" "$WORK/scene" >/dev/null
for version in 7 7.3; do
  "$ROOT/.venv/py3/bin/nivra" convert_to_mat --img "$WORK/scene/scene.hdr" --gt "$WORK/scene/labels.tif" \
    --out-dir "$WORK/out$version" --mat-version "$version" >/dev/null
done

cat > "$WORK/check.m" <<'OCTAVE'
1;  % a script file, not a function file
function same = agree(a, b)
  same = strcmp(class(a), class(b)) && isequal(size(a), size(b)) && isequal(a, b);
end
function same = agree_values(a, b)
  same = isempty(a) || (isequal(size(a), size(b)) && isequal(double(a), double(b)));
end
function failed = report(label, value, ok)
  verdict = {'DIFFERENT', 'same'}{ok + 1};
  printf('  %-24s %-8s %-12s %s\n', label, class(value), mat2str(size(value)), verdict);
  failed = !ok;
end
names = strsplit(strtrim(fileread('names.txt')), "\n");
failed = 0;
for k = 1:numel(names)
  n = names{k};
  ref = load([n '_ref.mat']); v7 = load([n '_v7.mat']); v73 = load([n '_v73.mat']);
  failed += report(n, v7.x, agree(ref.x, v7.x) && agree_values(ref.x, v73.x));
end
for var = {'data', 'gt'}
  a = load(['out7/' var{1} '.mat']); b = load(['out7.3/' var{1} '.mat']);
  failed += report(['scene ' var{1}], b.(var{1}), agree(a.(var{1}), b.(var{1})));
end
if failed > 0, exit(1); end
OCTAVE

echo "== GNU Octave: savemat, native version 7 and 7.3 files load with the same values"
(cd "$WORK" && octave --no-gui --quiet check.m)

echo "== libmatio: savemat, native version 7 and 7.3 files list and dump alike"
# The listing, and the values unless there are none (libmatio prints the
# empty planes of a version 7 array but not those of a 7.3 one).
dump() {
  local listing
  listing="$(matdump -f whos "$1" | tail -n +2)"
  echo "$listing"
  if [ "$(echo "$listing" | awk 'NF { bytes = $3 } END { print bytes }')" != 0 ]; then matdump -d "$1"; fi
}
failed=0
for name in $(cat "$WORK/names.txt"); do
  ref="$(dump "$WORK/${name}_ref.mat")"
  for version in v7 v73; do
    if [ "$(dump "$WORK/${name}_$version.mat")" != "$ref" ]; then
      echo "  $name: the $version file differs from savemat's"; failed=1
    fi
  done
  matdump -f whos "$WORK/${name}_v73.mat" | awk -v name="$name" 'NF == 4 && $1 == "x" { printf "  %-16s %-10s %s\n", name, $2, $4 }'
done
for var in data gt; do
  if [ "$(dump "$WORK/out7/$var.mat")" != "$(dump "$WORK/out7.3/$var.mat")" ]; then
    echo "  scene $var: the 7.3 file differs from the version 7 one"; failed=1
  fi
done
[ "$failed" = 0 ] && echo "  all alike"
exit "$failed"
