#!/bin/sh
# pip install --no-build-isolation of a copy of the source tree into a fresh virtual
# environment, then the package imported there with nothing of the build tree in reach.
#   check_pip.sh PYTHON SOURCE_DIR
set -eu
python=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
(cd "$src" && git ls-files -z --cached --others --exclude-standard CMakeLists.txt setup.py cmake include src python tools/common docs \
  | xargs -0 cp --parents -t "$work/src")
if command -v ccache >/dev/null; then
  export IPCSDK_CMAKE_ARGS="-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
fi
"$python" -m venv "$work/venv"
cd "$work"
venv/bin/pip install -q --no-build-isolation --no-index "$work/src"
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
