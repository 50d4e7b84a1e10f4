"""Build the native module quorvane_image_viewer.library from its C++ sources."""

import os
import re
import shlex
import subprocess
from glob import glob

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SRC_DIR = os.path.join("quorvane_image_viewer", "library")
# Relative, sorted paths: setuptools refuses absolute sources, and a fixed
# order keeps object lists and link order reproducible between machines.
SOURCES = sorted(glob(os.path.join(SRC_DIR, "*.cpp")))
HEADERS = sorted(glob(os.path.join(SRC_DIR, "*.hpp")))

CXX_FLAGS = [
    "-std=c++20",
    "-Wall",
    "-Wextra",
    "-Werror",
    "-fvisibility=hidden",
    "-fvisibility-inlines-hidden",
    "-O2",
]

# Flags some interpreters carry in their C build flags that mean nothing to
# C++: g++ warns about each, and the noise hides real diagnostics.
C_ONLY_FLAGS = {
    "-Wstrict-prototypes",
    "-Wmissing-prototypes",
    "-Wold-style-definition",
    "-Wimplicit-function-declaration",
    "-Werror=implicit-function-declaration",
    "-Wdeclaration-after-statement",
    "-Werror=declaration-after-statement",
    "-Wbad-function-cast",
    "-Wnested-externs",
    "-std=c99",
    "-std=gnu99",
    "-std=c11",
    "-std=gnu11",
    "-std=c17",
    "-std=gnu17",
}

# Only the init function may be visible: -fvisibility=hidden does not reach
# template code from the standard headers, which would otherwise be exported.
EXPORT_MAP = "{\n  global: PyInit_library;\n  local: *;\n};\n"


# Native libraries the module links, each with the Debian package that brings its
# pkg-config file and headers: libheif for HEIC, HEIF and AVIF; the JPEG codec for
# lossless turns, scaled decoding and thumbnail encoding.
NATIVE_LIBRARIES = [("libheif", "libheif-dev"), ("libturbojpeg", "libturbojpeg0-dev")]


def pkg_config(package, debian_package):
    """Compile and link flags of a library, split as setuptools takes them."""
    try:
        found = subprocess.run(["pkg-config", "--cflags", "--libs", package],
                               capture_output=True, text=True, check=True)
    except (OSError, subprocess.CalledProcessError) as error:
        raise SystemExit(f"{package} not found through pkg-config ({error}): install Debian's "
                         f"{debian_package} and pkg-config (`make deps` does)") from None
    flags = {"include_dirs": [], "library_dirs": [], "libraries": [], "extra_compile_args": []}
    for flag in shlex.split(found.stdout):
        for prefix, key in (("-I", "include_dirs"), ("-L", "library_dirs"), ("-l", "libraries")):
            if flag.startswith(prefix):
                flags[key].append(flag[len(prefix):])
                break
        else:
            flags["extra_compile_args"].append(flag)
    return flags


class BuildExt(build_ext):
    def build_extensions(self):
        # Looked up only when something is built, so metadata commands need no compiler set-up.
        for package, debian_package in NATIVE_LIBRARIES:
            flags = pkg_config(package, debian_package)
            for ext in self.extensions:
                for key, values in flags.items():
                    setattr(ext, key, [*getattr(ext, key), *values])
        for attr in ("compiler_so", "compiler", "compiler_cxx"):
            cmd = getattr(self.compiler, attr, None)
            if cmd:
                setattr(self.compiler, attr, [f for f in cmd if f not in C_ONLY_FLAGS])
        os.makedirs(self.build_temp, exist_ok=True)
        map_path = os.path.join(self.build_temp, "library.map")
        with open(map_path, "w", encoding="ascii") as f:
            f.write(EXPORT_MAP)
        for ext in self.extensions:
            ext.extra_link_args = [
                *ext.extra_link_args,
                f"-Wl,--version-script={map_path}",
            ]
        super().build_extensions()


if not SOURCES:
    raise SystemExit(f"no C++ sources in {SRC_DIR}")


def package_version():
    # One version, kept in the package; read as text, since setup runs before anything is built.
    with open(os.path.join("quorvane_image_viewer", "__init__.py"), encoding="utf-8") as f:
        found = re.search(r'^__version__ = "([^"]+)"$', f.read(), re.M)
    if not found:
        raise SystemExit("no __version__ in quorvane_image_viewer/__init__.py")
    return found.group(1)


setup(
    name="quorvane_image_viewer",
    version=package_version(),
    description="Local back end of a desktop image viewer",
    python_requires=">=3.10",
    install_requires=["Pillow"],
    packages=["quorvane_image_viewer", "quorvane_image_viewer.page"],
    # The C++ sources sit under the package folder; they are build input only.
    include_package_data=False,
    exclude_package_data={"quorvane_image_viewer": ["library/*"]},
    # The type stub and its marker; the page's HTML, CSS and JavaScript, served from the package.
    package_data={
        "quorvane_image_viewer": ["library.pyi", "py.typed"],
        "quorvane_image_viewer.page": ["static/*"],
    },
    entry_points={"console_scripts": ["quorvane-viewer = quorvane_image_viewer.cli:main"]},
    ext_modules=[
        Extension(
            "quorvane_image_viewer.library",
            sources=SOURCES,
            depends=HEADERS,
            language="c++",
            extra_compile_args=CXX_FLAGS,
        )
    ],
    cmdclass={"build_ext": BuildExt},
    zip_safe=False,
)
