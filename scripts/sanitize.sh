#!/usr/bin/env bash
# Builds both extensions with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the whole test suite against them. Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"

venv="$ROOT/.venv/asan"
echo "== tests under AddressSanitizer + UndefinedBehaviorSanitizer"
NIVRA_CMAKE_ARGS="-DNIVRA_SANITIZE=ON" NIVRA_BUILD_DIR="build/asan" make_venv python3 "$venv" test

# The interpreter is not built with ASan, so its runtime must be loaded first,
# with the C++ runtime whose exceptions it intercepts. The interpreter's own
# allocations are never freed at exit: no leak report. Huge allocations
# return NULL (numpy then raises MemoryError) as they do without ASan.
export LD_PRELOAD="$(c++ -print-file-name=libasan.so) $(c++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
cd "$ROOT" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
