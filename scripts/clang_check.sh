#!/usr/bin/env bash
# Builds both extensions with clang, warnings as errors, and runs the
# installed-package test against that build. Installs Debian's clang first
# when it is missing (needs root, as on CI).
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"

if ! command -v clang++ >/dev/null 2>&1; then
  echo "== installing clang"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
fi
echo "== clang build: $(clang++ --version | head -n 1)"
CC=clang CXX=clang++ NIVRA_CMAKE_ARGS="-DNIVRA_WERROR=ON" NIVRA_BUILD_DIR="build/clang" \
  make_venv python3 "$ROOT/.venv/clang" test
"$ROOT/.venv/clang/bin/python" "$ROOT/scripts/wheel_test.py"
