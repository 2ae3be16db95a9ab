"""Builds the nbz package with its library: CMake builds libnbz.so.1 from the
source tree around this folder, and the package carries it beside its code.
The wheel holds no Python extension, so it fits every Python 3 of its
platform (py3-none-<platform>)."""

import os
import re
import shutil
import subprocess
import sys

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = os.path.dirname(os.path.abspath(__file__))
# The source tree: python/'s parent, or NBZ_SOURCE_DIR for a copy of python/
# built elsewhere.
ROOT = os.environ.get("NBZ_SOURCE_DIR") or os.path.dirname(HERE)
LIBRARY = "nbz.dll" if sys.platform == "win32" else "libnbz.so.1"
TARGET = "nbz_c"  # the shared library's CMake target


def project_version():
    try:
        with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
            found = re.search(r"^project\(nbz VERSION ([0-9.]+)", f.read(), re.M)
    except OSError:
        found = None
    if not found:
        sys.exit(f"nbz: {ROOT}/CMakeLists.txt has no project(nbz VERSION ...): "
                 "the package is built from a clone of nbz, from its python/ folder.")
    return found.group(1)


class build_with_library(build_py):
    """build_py, then CMake builds the C library and the package gets a copy."""

    def run(self):
        super().run()
        cmake = shutil.which("cmake")
        if cmake is None:
            sys.exit("nbz: building the package needs CMake (Debian: cmake) and a C++20 compiler.")
        build_dir = os.path.join(self.get_finalized_command("build").build_temp, "libnbz")
        subprocess.check_call([cmake, "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                               "-DNBZ_BUILD_TESTS=OFF", "-DNBZ_BUILD_BENCH=OFF", "-DNBZ_WERROR=OFF",
                               "-DCMAKE_SHARED_LINKER_FLAGS=-s"])
        subprocess.check_call([cmake, "--build", build_dir, "--target", TARGET,
                               "-j", str(os.cpu_count() or 1)])
        built = [os.path.join(folder, LIBRARY) for folder, _, files in os.walk(build_dir) if LIBRARY in files]
        if len(built) != 1:
            sys.exit(f"nbz: expected one {LIBRARY} under {build_dir}, found {built}")
        package = os.path.join(self.build_lib, "nbz")
        target = os.path.join(package, LIBRARY)
        shutil.copyfile(built[0], target)  # the file itself, not a link
        # Fixed modes, so that the wheel is the same bytes under any umask.
        for name in os.listdir(package):
            path = os.path.join(package, name)
            if os.path.isfile(path):
                os.chmod(path, 0o755 if name == LIBRARY else 0o644)


class platform_distribution(Distribution):
    """A wheel for one platform: it carries a native library."""

    def has_ext_modules(self):
        return True


commands = {"build_py": build_with_library}
try:
    from wheel.bdist_wheel import bdist_wheel

    class bdist_wheel_any_python(bdist_wheel):
        """Tagged py3-none-<platform>: ctypes loads the library from any Python 3."""

        def get_tag(self):
            return "py3", "none", super().get_tag()[2]

    commands["bdist_wheel"] = bdist_wheel_any_python
except ImportError:
    pass

setup(version=project_version(), cmdclass=commands, distclass=platform_distribution)
