#!/usr/bin/env bash
# The installed tools: ipcctl runs from the installed tree alone (it finds the library beside
# it), its man page, bash completion and the Wireshark dissector are in place.
set -euo pipefail
build="$1"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
test -f "$tmp/prefix/share/ipcsdk/wireshark/ipcsdk.lua"
test -f "$tmp/prefix/share/man/man1/ipcctl.1"
"$tmp/prefix/bin/ipcctl" list | grep -q '^video-param '
"$tmp/prefix/bin/ipcctl" --help | grep -q 'Exit status'
"$tmp/prefix/bin/ipcctl" --version | grep -qx 'ipcctl [0-9][0-9.]*'
"$tmp/prefix/bin/ipcsim" --version | grep -qx 'ipcsim [0-9][0-9.]*'
# The completion script loads and registers itself (bash-completion's helpers stubbed).
bash -c '_init_completion() { :; }; . "$1" && complete -p ipcctl' sh \
  "$tmp/prefix/share/bash-completion/completions/ipcctl" | grep -q _ipcctl
# The GStreamer element, when built, loads from the installed tree (its library found beside it).
plugin=$(find "$tmp/prefix" -name libgstipcsdk.so)
if [ -n "$plugin" ] && command -v gst-inspect-1.0 >/dev/null; then
  GST_PLUGIN_SYSTEM_PATH_1_0= GST_PLUGIN_PATH="${plugin%/*}" GST_REGISTRY="$tmp/registry.bin" gst-inspect-1.0 ipcsdksrc |
    grep -q 'tcp-port'
fi
