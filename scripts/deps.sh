#!/usr/bin/env bash
# Installs the build and test tools that are missing (Debian packages); does nothing when
# everything is there already.
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v pkg-config >/dev/null || need+=(pkg-config)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
# The layers above the C library: command line, JSON, configuration, MQTT, reference, captures.
[ -f /usr/include/CLI/CLI.hpp ] || need+=(libcli11-dev)
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
[ -f /usr/include/toml++/toml.h ] || need+=(libtomlplusplus-dev)
[ -f /usr/include/mosquitto.h ] || need+=(libmosquitto-dev)
command -v mosquitto >/dev/null || [ -x /usr/sbin/mosquitto ] || need+=(mosquitto)
command -v mosquitto_sub >/dev/null || need+=(mosquitto-clients)
command -v doxygen >/dev/null || need+=(doxygen)
command -v tshark >/dev/null || need+=(tshark)
command -v tcpdump >/dev/null || [ -x /usr/sbin/tcpdump ] || [ -x /usr/bin/tcpdump ] || need+=(tcpdump)
# The GStreamer element, ipcctl's container files and their tests: development files, the
# parsers and muxers (good, bad), x264enc for the test clips (ugly), decoders (libav), ffprobe.
pkg-config --exists gstreamer-1.0 gstreamer-base-1.0 gstreamer-app-1.0 2>/dev/null ||
  need+=(libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev)
pkg-config --exists gstreamer-rtsp-server-1.0 2>/dev/null || need+=(libgstrtspserver-1.0-dev)
command -v gst-launch-1.0 >/dev/null || need+=(gstreamer1.0-tools)
for p in gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav gstreamer1.0-rtsp; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || need+=("$p")
done
command -v ffprobe >/dev/null || need+=(ffmpeg)
# The Python package: pybind11 and the headers of the system's interpreter; pytest, venv and
# setuptools for its tests and for pip install.
[ -f /usr/lib/cmake/pybind11/pybind11Config.cmake ] || need+=(python3-pybind11 pybind11-dev)
/usr/bin/python3 -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(sysconfig.get_paths()["include"] + "/Python.h"))' 2>/dev/null || need+=(python3-dev)
/usr/bin/python3 -c 'import pytest' 2>/dev/null || need+=(python3-pytest)
ls /usr/share/python-wheels/pip-*.whl >/dev/null 2>&1 && /usr/bin/python3 -c 'import setuptools' 2>/dev/null || need+=(python3-venv python3-setuptools)
if [ "${IPCSDK_NEED_BENCH:-0}" = 1 ] && [ ! -f /usr/include/benchmark/benchmark.h ]; then need+=(libbenchmark-dev); fi
if [ "${IPCSDK_NEED_CLANG:-0}" = 1 ]; then
  command -v clang++ >/dev/null || need+=(clang)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-dev)
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
