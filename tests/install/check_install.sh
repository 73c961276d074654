#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds a C host and a C++ host against that
# copy only, once with find_package and once with pkg-config (with strict warnings), and checks
# the exported names; the tools, when built, run from the installed tree alone.
set -euo pipefail
build="$1"; src="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
lib=$(find "$tmp/prefix" -name 'libipcsdk.so' -print -quit)
libdir=$(dirname "$lib")
test -L "$lib" && test -e "$libdir/libipcsdk.so.1" && test -f "$tmp/prefix/include/ipcsdk.h"
test -f "$tmp/prefix/include/ipcsdk.hpp" && test -f "$tmp/prefix/include/ipcsdk_fleet.hpp" && test -f "$tmp/prefix/include/ipcsdk_commands.hpp" && test -f "$tmp/prefix/include/ipcsdk_records.hpp"
test -f "$tmp/prefix/share/man/man1/ipcsim.1"
# Only the C interface is exported: no C++ (mangled) names, and the names hosts need are there.
exported=$(nm -D --defined-only "$lib" | awk '{print $3}')
if grep -q '^_Z' <<<"$exported"; then echo "C++ symbols exported"; exit 1; fi
for name in IPCSdkInit IPCSdkLogin IPCVideoParamGet IPCPTZCtrl IPCSIMUSNAP g_DevManage s_fp sdk_print MD5Gen; do
  grep -qx "$name" <<<"$exported" || { echo "$name not exported"; exit 1; }
done
cmake -S "$src" -B "$tmp/find" -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
cmake --build "$tmp/find" >/dev/null
LD_LIBRARY_PATH="$libdir" "$tmp/find/consumer"
LD_LIBRARY_PATH="$libdir" "$tmp/find/consumer_cpp"
# pkg-config hands out -I (not -isystem): the headers themselves must pass a strict host's warnings.
strict=(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Werror)
pc=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs ipcsdk)
[[ "$pc" == *-I* && "$pc" != *-isystem* ]]
cc -std=c99 "${strict[@]}" -o "$tmp/pc" "$src/consumer.c" $pc
LD_LIBRARY_PATH="$libdir" "$tmp/pc"
c++ -std=c++20 "${strict[@]}" -o "$tmp/pc_cpp" "$src/consumer.cpp" $pc -pthread
LD_LIBRARY_PATH="$libdir" "$tmp/pc_cpp"
# A C++17 host of the C++ layer gets a single error that names C++20.
if out=$(echo '#include <ipcsdk.hpp>' | c++ -std=c++17 -fsyntax-only -x c++ - $pc 2>&1); then
  echo "ipcsdk.hpp accepted as C++17"; exit 1
fi
[ "$(grep -c 'error:' <<<"$out")" = 1 ] && grep -q 'error:.*C++20' <<<"$out" || { echo "$out"; exit 1; }
# ipcctl finds the library beside it; its man page, bash completion and the dissector are in place.
p="$tmp/prefix"
[ -x "$p/bin/ipcctl" ] || exit 0
test -f "$p/share/ipcsdk/wireshark/ipcsdk.lua" && test -f "$p/share/man/man1/ipcctl.1"
"$p/bin/ipcctl" list | grep -q '^video-param '
"$p/bin/ipcctl" --help | grep -q 'Exit status'
"$p/bin/ipcctl" --version | grep -qx 'ipcctl [0-9][0-9.]*'
"$p/bin/ipcsim" --version | grep -qx 'ipcsim [0-9][0-9.]*'
bash -c '_init_completion() { :; }; . "$1" && complete -p ipcctl' sh "$p/share/bash-completion/completions/ipcctl" |
  grep -q _ipcctl  # the completion loads and registers itself (bash-completion's helpers stubbed)
plugin=$(find "$p" -name libgstipcsdk.so)  # the GStreamer element loads from the installed tree
if [ -n "$plugin" ] && command -v gst-inspect-1.0 >/dev/null; then
  GST_PLUGIN_SYSTEM_PATH_1_0= GST_PLUGIN_PATH="${plugin%/*}" GST_REGISTRY="$tmp/registry.bin" gst-inspect-1.0 ipcsdksrc |
    grep -q 'tcp-port'
fi
