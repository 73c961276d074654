#!/bin/sh
# pip install --no-build-isolation of a copy of the source tree into a fresh virtual
# environment, then the package imported there with nothing of the build tree in reach.
#   check_pip.sh PYTHON SOURCE_DIR [BUILD_DIR]
# With BUILD_DIR, the module and library built there are packaged instead of built afresh.
set -eu
python=$1
src=$2
[ $# -lt 3 ] || export IPCSDK_PREBUILT="$3"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
(cd "$src" && git ls-files -z --cached --others --exclude-standard CMakeLists.txt setup.py cmake include src python tools/common docs \
  | xargs -0 cp --parents -t "$work/src")
if command -v ccache >/dev/null; then
  # Paths relative to the copy, so that the compiler cache serves every run's copy.
  export IPCSDK_CMAKE_ARGS="-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
  export CCACHE_BASEDIR="$work"
fi
"$python" -m venv "$work/venv"
cd "$work"
# --no-index: everything the build needs is on the system already.
venv/bin/pip install -q --no-build-isolation --no-index "$work/src" 2>&1 | grep -v DEPRECATION || true
venv/bin/python -c 'import ipcsdk' 2>/dev/null || { echo "pip install failed" >&2; exit 1; }
rm -rf "$work/src"
venv/bin/python - <<'PY'
import os, ipcsdk, ipcsdk._ipcsdk as m
pkg = os.path.dirname(ipcsdk.__file__)
assert pkg.startswith(os.getcwd()), pkg
assert "libipcsdk.so.1" in os.listdir(pkg)
assert ipcsdk.version() and any(s["name"] == "ntp-conf" for s in ipcsdk.settings())
maps = open("/proc/self/maps").read()
assert os.path.join(pkg, "libipcsdk.so.1") in maps, "the library inside the package is the one loaded"
print("ipcsdk", ipcsdk.version(), "from", pkg)
PY
