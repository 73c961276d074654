"""pip install --no-build-isolation .  builds the Python package ipcsdk with CMake (the compiled
module and libipcsdk, which travels inside the package) using what the system provides:
setuptools, pybind11 and the Python headers (Debian: python3-setuptools python3-pybind11
python3-dev). IPCSDK_CMAKE_ARGS adds arguments to the CMake configuration; IPCSDK_PREBUILT=DIR
packages the module and library of an existing build directory instead of building them."""
import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version():
    for line in (ROOT / "CMakeLists.txt").read_text().splitlines():
        if line.startswith("project(ipcsdk VERSION"):
            return line.split()[2]
    return "0"


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        out = Path(self.get_ext_fullpath(ext.name)).parent
        out.mkdir(parents=True, exist_ok=True)
        prebuilt = os.environ.get("IPCSDK_PREBUILT")
        if prebuilt:
            for f in (Path(prebuilt) / "python" / "ipcsdk").glob("_ipcsdk*.so"):
                shutil.copy2(f, out / f.name)
            lib = Path(prebuilt) / "libipcsdk.so.1"
            shutil.copy2(lib.resolve(), out / lib.name)
            return
        build = Path(self.build_temp).resolve() / "cmake"
        stage = Path(self.build_temp).resolve() / "stage"
        shutil.rmtree(stage, ignore_errors=True)
        configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF",
                     "-DIPCSDK_BUILD_SIM=OFF", "-DIPCSDK_BUILD_EXAMPLES=OFF", "-DIPCSDK_BUILD_TOOLS=OFF",
                     "-DIPCSDK_BUILD_PYTHON=ON", "-DIPCSDK_PYTHON_BUNDLE=ON", "-DIPCSDK_PYTHON_INSTALL_DIR=.",
                     f"-DPython3_EXECUTABLE={sys.executable}", *shlex.split(os.environ.get("IPCSDK_CMAKE_ARGS", ""))]
        subprocess.check_call(configure)
        subprocess.check_call(["cmake", "--build", str(build), "--target", "_ipcsdk", "-j", str(os.cpu_count() or 2)])
        subprocess.check_call(["cmake", "--install", str(build), "--component", "python", "--prefix", str(stage)])
        for f in (stage / "ipcsdk").iterdir():
            if f.name.startswith(("_ipcsdk", "libipcsdk")):
                shutil.copy2(f, out / f.name)


setup(
    name="ipcsdk",
    version=project_version(),
    description="Networked PTZ IP cameras: the ipcsdk library from Python",
    packages=["ipcsdk"],
    package_dir={"": "python"},
    package_data={"ipcsdk": ["py.typed", "_ipcsdk.pyi"]},
    ext_modules=[Extension("ipcsdk._ipcsdk", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    python_requires=">=3.8",
    zip_safe=False,
)
