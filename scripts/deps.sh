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
