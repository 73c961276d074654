#!/usr/bin/env bash
# The demo: builds and installs the library and the simulator into build/install, builds
# examples/demo.c against the installed copy only (pkg-config), starts a simulated camera on
# a loopback address and runs the demo against it.
#   CAMERA_IP=127.0.0.2 scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
scripts/deps.sh
build="$root/build-demo"
prefix="$build/install"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DIPCSDK_BUILD_EXAMPLES=OFF \
  -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
cmake --install "$build" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libipcsdk.so -print -quit)")
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -std=c99 -Wall -Wextra -o "$build/demo" examples/demo.c $(pkg-config --cflags --libs ipcsdk) -lpthread
export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

ip="${CAMERA_IP:-127.0.0.2}"
run="$build/run"
mkdir -p "$run"
"$prefix/bin/ipcsim" --ip "$ip" --alarm-every 1 --keepalive 5 >"$run/ipcsim.log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
sleep 0.5
echo "simulated camera on $ip (log: $run/ipcsim.log)"
cd "$run"
"$build/demo" "$ip" 5002 | grep -v -E '^(nRet=|recv (alarm|Video) thread exit)'
echo
echo "camera log (last lines):"
tail -n 5 "$run/ipcsim.log"
