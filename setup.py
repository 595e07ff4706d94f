"""Builds and installs qn4tGenericActionLoader with setuptools (Python 2.7 and 3.8+).

The extension module is built from the source lists CMake builds from (cmake/sources/), with
zlib, libsodium and C++17: one shared object, _qn4tGenericActionLoader, whose start also makes the
companion module _qn4tGenericActionSupport (python/_qn4tGenericActionSupport.py imports it for
a script that imports the companion first). At build time tools/layout_dump.cpp is compiled
with the same compiler and run to write the record layout module, and the type stubs are made
from that layout. Installed: the extension, the companion's file, the layout module, the
package qn4tGenericActionLoader (with stubs and py.typed), the actionfile package and the
`actiontool` command.

    pip install --no-build-isolation .                       (Python 3, in a venv)
    python2.7 -m pip install --no-use-pep517 --target DIR .  (Python 2.7)

Whole files inflate with ISA-L where its development files are installed (Debian:
libisal-dev), otherwise with zlib; QN4T_WITH_ISAL=0 builds with zlib regardless. Likewise
write_actions deflates on threads with libdeflate where it is installed (Debian:
libdeflate-dev); QN4T_WITH_LIBDEFLATE=0 builds with zlib regardless. The digest that
names the actions of a page is made with OpenSSL's libcrypto where it is installed (Debian:
libssl-dev), otherwise with hashlib; QN4T_WITH_OPENSSL=0 builds without it. SQLite's C
library (Debian: libsqlite3-dev) and libsodium (Debian: libsodium-dev) are required: the
tables are written through the first, and the changes between files digest actions with the
second's keyed hash.
QN4T_BUILD_JOBS sets how many sources compile at once (default 2)."""
import io
import os
import re
import shutil
import subprocess
import tempfile
from multiprocessing.pool import ThreadPool

from distutils.errors import CompileError, DistutilsSetupError, LinkError

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = "qn4tGenericActionLoader"
PACKAGE_DIR = "python/" + PACKAGE
LAYOUT_MODULE = "qn4tGenericActionLayout"
# The documentation installed with actiontool, which `actiontool help TOPIC` shows (the files
# tools/actionfile/helptext.py names; cmake/Install.cmake installs the same).
DOCS = ("actiontool.md", "tables.md", "fields.md")

# Each extension module and the source lists (cmake/sources/NAME.txt) it is built from;
# every one is linked with the record core (core.txt).
EXTENSIONS = (
    ("_qn4tGenericActionLoader", ("binding", "module", "support")),
)
# As the CMake build compiles the binding: the Python 2 headers predate C++17 (register,
# type punning), and only what is marked for export is exported: the entry point.
CXX_FLAGS = ["-std=c++17", "-Wno-register", "-fno-strict-aliasing",
             "-fvisibility=hidden", "-fvisibility-inlines-hidden"]
LIBRARIES = ["z", "sqlite3", "sodium"]
# Libraries the module cannot be built without: (library, Debian package, a program using it).
REQUIRED_LIBRARIES = (
    ("sqlite3", "libsqlite3-dev",
     u"#include <sqlite3.h>\n"
     u"int main() { return sqlite3_libversion_number() <= 0; }\n"),
    ("sodium", "libsodium-dev",
     u"#include <sodium.h>\n"
     u"int main() { return sodium_init() < 0; }\n"),
)
# Faster libraries used where they compile and link: (macro, library, a program using it).
# ISA-L inflates whole files, libdeflate deflates the blocks write_actions cuts on threads,
# libcrypto makes the page's digest.
OPTIONAL_LIBRARIES = (
    ("QN4T_WITH_ISAL", "isal",
     u"#include <isa-l/igzip_lib.h>\n"
     u"int main() { inflate_state s; isal_inflate_init(&s); return 0; }\n"),
    ("QN4T_WITH_LIBDEFLATE", "deflate",
     u"#include <libdeflate.h>\n"
     u"int main() { libdeflate_free_compressor(libdeflate_alloc_compressor(6)); return 0; }\n"),
    ("QN4T_WITH_OPENSSL", "crypto",
     u"#include <openssl/evp.h>\n"
     u"int main() { EVP_MD_CTX_free(EVP_MD_CTX_new()); return EVP_sha256() == 0; }\n"),
)
# The writer compresses on threads (std::thread).
THREAD_FLAGS = ["-pthread"]


def read_text(relative):
    with io.open(os.path.join(HERE, relative), encoding="utf-8") as source:
        return source.read()


def read_sources(list_name):
    """The sources named in cmake/sources/<list_name>.txt, relative to this folder."""
    lines = read_text("cmake/sources/%s.txt" % list_name).splitlines()
    # str(): distutils wants native strings, which on Python 2.7 are not what io.open gives.
    return [str(line.strip()) for line in lines if line.strip() and not line.startswith("#")]


def read_version():
    """__version__ of the package's _version.py, read as text: the package is not imported."""
    found = re.search(r'^__version__ = "([^"]+)"', read_text(PACKAGE_DIR + "/_version.py"), re.M)
    return found.group(1)


def _compile_in_parallel(compiler, jobs):
    """Makes compiler.compile() build its sources `jobs` at a time (distutils compiles one
    after another), through the same per-source step it uses itself."""
    def compile(sources, output_dir=None, macros=None, include_dirs=None, debug=0,
                extra_preargs=None, extra_postargs=None, depends=None):
        macros, objects, extra_postargs, pp_opts, build = compiler._setup_compile(
            output_dir, macros, include_dirs, sources, depends, extra_postargs)
        cc_args = compiler._get_cc_args(pp_opts, debug, extra_preargs)

        def compile_one(obj):
            source, extension = build[obj]
            compiler._compile(obj, source, extension, cc_args, extra_postargs, pp_opts)
        pool = ThreadPool(jobs)
        try:
            pool.map(compile_one, objects)
        finally:
            pool.close()
        return objects
    compiler.compile = compile


def _stub_maker():
    """render() of tools/make_stubs.py (run as a file: tools/ is no package)."""
    path = os.path.join(HERE, "tools", "make_stubs.py")
    namespace = {"__name__": "make_stubs", "__file__": path}
    exec(compile(read_text("tools/make_stubs.py"), path, "exec"), namespace)
    return namespace["render"]


class BuildNative(build_ext):
    """Builds the record core once, the extensions on it, then the generated Python files:
    the layout module (from layout_dump, built with the same compiler) and the stubs."""

    def build_extensions(self):
        compiler_so = self.compiler.compiler_so
        if "-Wstrict-prototypes" in compiler_so:  # a C-only flag of Python 2.7's CFLAGS
            compiler_so.remove("-Wstrict-prototypes")
        _compile_in_parallel(self.compiler, int(os.environ.get("QN4T_BUILD_JOBS", "2")))
        for library, package, probe in REQUIRED_LIBRARIES:
            if not self._links(library, probe):
                raise DistutilsSetupError("lib%s's development files were not found: install "
                                          "Debian's %s (scripts/setup.sh does)" % (library, package))
        for name, library, probe in OPTIONAL_LIBRARIES:
            if os.environ.get(name, "1") != "0" and self._links(library, probe):
                self.compiler.define_macro(name, "1")
                LIBRARIES.append(library)
        core = self._compile(read_sources("core"))
        for extension in self.extensions:
            extension.extra_objects = core
            extension.libraries = LIBRARIES
        build_ext.build_extensions(self)
        self._write_python_side(core)

    def _links(self, library, program):
        """Whether `program` compiles and links here with `library`."""
        folder = tempfile.mkdtemp(prefix="qn4t-%s-" % library)
        try:
            probe = os.path.join(folder, "probe.cpp")
            with io.open(probe, "w", encoding="utf-8") as out:
                out.write(program)
            objects = self.compiler.compile([probe], output_dir=folder, extra_postargs=CXX_FLAGS)
            self.compiler.link_executable(objects, "probe", output_dir=folder,
                                          libraries=[library], target_lang="c++")
            return True
        except (CompileError, LinkError):
            return False
        finally:
            shutil.rmtree(folder, ignore_errors=True)

    def _compile(self, sources):
        return self.compiler.compile(sources, output_dir=self.build_temp,
                                     include_dirs=[HERE], extra_postargs=CXX_FLAGS + THREAD_FLAGS)

    def _write_python_side(self, core):
        dump = self._compile(["tools/layout_dump.cpp"])
        self.compiler.link_executable(dump + core, "layout_dump", output_dir=self.build_temp,
                                      libraries=LIBRARIES, extra_postargs=THREAD_FLAGS,
                                      target_lang="c++")
        layout = subprocess.check_output([os.path.join(self.build_temp, "layout_dump")])
        layout = layout.decode("utf-8")
        stubs = _stub_maker()(layout, read_text(PACKAGE_DIR + "/__init__.pyi.in"))
        docs = [read_text(os.path.join("docs", name)) for name in DOCS]
        for path, text in zip(self._python_side_outputs(), [layout, stubs] + docs):
            self.mkpath(os.path.dirname(path))
            with io.open(path, "w", encoding="utf-8") as out:
                out.write(text)

    def _python_side_outputs(self):
        """The generated files, then the documentation that `actiontool help` shows."""
        return [os.path.join(self.build_lib, LAYOUT_MODULE + ".py"),
                os.path.join(self.build_lib, PACKAGE, "__init__.pyi")] + [
                    os.path.join(self.build_lib, "actionfile", "docs", name) for name in DOCS]

    def get_outputs(self):
        return build_ext.get_outputs(self) + self._python_side_outputs()


setup(
    name=PACKAGE,
    version=read_version(),
    description="Reads and writes the action records of a role-playing game (gzip files of "
                "packed little-endian records) from Python",
    long_description=read_text("README.md"),
    long_description_content_type="text/markdown",
    packages=[PACKAGE, "actionfile"],
    py_modules=["_qn4tGenericActionSupport"],
    package_dir={"": "python", PACKAGE: PACKAGE_DIR, "actionfile": "tools/actionfile"},
    package_data={PACKAGE: ["py.typed", "*.pyi", "page.js", "page.css"]},
    ext_modules=[Extension(name, sources=[s for lst in lists for s in read_sources(lst)],
                           include_dirs=[HERE], extra_compile_args=CXX_FLAGS + THREAD_FLAGS,
                           extra_link_args=THREAD_FLAGS, libraries=LIBRARIES, language="c++")
                 for name, lists in EXTENSIONS],
    entry_points={"console_scripts": ["actiontool = actionfile.cli:run"]},
    cmdclass={"build_ext": BuildNative},
    options={"build": {"build_base": "build-setuptools"}},
    zip_safe=False,
)
