"""Builds and installs the Python module `velmora` with CMake, from the same library as the
command-line tool: `pip install --no-build-isolation .` (offline, with Debian's setuptools,
cmake, g++, pybind11-dev and python3-dev; see README.md, section Python)."""

import glob
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    """Configures the project for this interpreter and builds only the module's target."""

    def build_extension(self, ext):
        build = os.path.abspath(os.path.join(self.build_temp, "velmora-cmake"))
        subprocess.check_call(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                               "-DVELMORA_TESTS=OFF", "-DVELMORA_BENCH=OFF",
                               "-DPython3_EXECUTABLE=" + sys.executable])
        jobs = str(os.cpu_count() or 2)
        subprocess.check_call(["cmake", "--build", build, "--target", "velmora_python", "-j", jobs])
        built = glob.glob(os.path.join(build, "python", "velmora*.so"))
        if not built:
            sys.exit("setup.py: CMake built no module (is pybind11-dev installed? see its "
                     "configure output above)")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(os.path.abspath(target)), exist_ok=True)
        shutil.copyfile(built[0], target)


setup(ext_modules=[CMakeExtension("velmora")], cmdclass={"build_ext": CMakeBuild}, zip_safe=False)
