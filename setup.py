"""Builds the compiled core of the Python module with the project's CMake build, so that the
package holds the very code the command runs. TORNAVEL_CMAKE_BUILD names a build folder to use
(one configured already is only brought up to date)."""
import glob
import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


def version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(tornavel VERSION ([0-9.]+)", f.read()).group(1)


class cmake_build(build_ext):
    def build_extension(self, ext):
        build = os.environ.get("TORNAVEL_CMAKE_BUILD") or os.path.join(os.path.abspath(self.build_temp), "cmake")
        if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
            generator = ["-G", "Ninja"] if shutil.which("ninja") else []
            subprocess.run(["cmake", "-S", ROOT, "-B", build, *generator, "-DCMAKE_BUILD_TYPE=Release",
                            "-DTORNAVEL_TESTS=OFF", f"-DPython3_EXECUTABLE={sys.executable}"],
                           check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build, "--target", "_tornavel", "-j", str(os.cpu_count() or 1)], check=True)
        built = glob.glob(os.path.join(build, "python", "tornavel", "_tornavel*.so"))
        if len(built) != 1:
            sys.exit(f"setup.py: the build made {built} where it makes one _tornavel")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built[0], target)


setup(version=version(), ext_modules=[Extension("tornavel._tornavel", sources=[])],
      cmdclass={"build_ext": cmake_build})
