"""Builds the Python package: the module (tools/python/jpegcodec.py) as the
package jpegcodec, with the codec's shared library built by CMake beside it,
so that `import jpegcodec` needs no PYTHONPATH or LD_LIBRARY_PATH.

CMake and a C++ compiler are needed; JPEGCODEC_CMAKE_ARGS adds options to
the codec's configuration (for example -DCMAKE_CXX_COMPILER=clang++)."""

import os
import re
import shlex
import shutil
import subprocess

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

ROOT = os.path.dirname(os.path.abspath(__file__))


def package_version():
    """The package version the CMake project gives the library."""
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"set\(JPEGCODEC_VERSION ([0-9.]+)\)", f.read()).group(1)


class BuildWithCodec(build_py):
    """Lays out build_lib/jpegcodec: __init__.py (the module) and the shared
    library the module looks for beside itself."""

    def run(self):
        super().run()
        codec_build = os.path.join(os.path.abspath(self.get_finalized_command("build").build_temp), "codec")
        configure = ["cmake", "-S", ROOT, "-B", codec_build, "-DCMAKE_BUILD_TYPE=Release",
                     "-DKNOT_BUILD_DEMO=OFF", "-DKNOT_BUILD_TESTS=OFF", "-DKNOT_BUILD_BENCH=OFF"]
        configure += shlex.split(os.environ.get("JPEGCODEC_CMAKE_ARGS", ""))
        self.announce("building the codec: " + " ".join(configure), level=2)
        subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
        jobs = str(os.cpu_count() or 2)
        subprocess.run(["cmake", "--build", codec_build, "--target", "jpegcodec", "-j", jobs], check=True)
        package = os.path.join(self.build_lib, "jpegcodec")
        os.makedirs(package, exist_ok=True)
        shutil.copyfile(os.path.join(ROOT, "tools", "python", "jpegcodec.py"),
                        os.path.join(package, "__init__.py"))
        library = "libjpegcodec.so." + package_version().split(".")[0]
        shutil.copyfile(os.path.join(codec_build, "lib", library), os.path.join(package, library))


class WithNativeCode(Distribution):
    """The package holds a compiled library: its wheel is for this platform.
    Its one package is laid out by BuildWithCodec, which must run although
    no package is listed."""

    def has_ext_modules(self):
        return True

    def has_pure_modules(self):
        return True


setup(
    version=package_version(),
    distclass=WithNativeCode,
    cmdclass={"build_py": BuildWithCodec},
    packages=[],
    # Away from the CMake build folders (build/, build-*/ hold their own lib/).
    options={"build": {"build_base": os.path.join(ROOT, "build-python")}},
)
