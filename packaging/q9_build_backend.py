"""PEP 517 build backend that ships the native programs q9 and q9-install as a Python wheel.

Written in-tree rather than on setuptools: a setuptools build with pip's default build
isolation must first download setuptools and wheel, so `pip install .` and `pipx install .`
fail offline; this backend needs nothing beyond the Python standard library and CMake.

The wheel carries the two executables as scripts (`<name>.data/scripts/`), which pip and
pipx put on the user's PATH. They are linked with the C++ runtime, SQLite and PCRE2
statically, so the wheel is tagged for the platform but not for a Python version.

Which platform: with the Debian 11 tree that packaging/make-sysroot makes, the programs are
linked against its glibc 2.31 (packaging/manylinux-toolchain.cmake) and the wheel is tagged
manylinux_2_28, the oldest glibc they need. Without it they are built for this machine and
tagged with its glibc version (manylinux_2_36 on Debian 12), and the build says so in one line.
Either way packaging/check_glibc.py must find the tag honest before the wheel is written.

Settings (`--config-setting NAME=VALUE` or `-C NAME=VALUE`, or the environment):
  build-dir  / Q9_WHEEL_BUILD_DIR   CMake build folder (default: build-wheel or
                                    build-wheel-manylinux in the source tree)
  cmake-args / CMAKE_ARGS           extra CMake configure arguments, split like a shell line
  plat-name  / Q9_WHEEL_PLAT        platform tag (default: chosen as above)
  sysroot    / Q9_SYSROOT           the Debian 11 tree (default: ~/.cache/q9infra/debian11-<arch>
                                    when present); "none" builds for this machine
  jobs       / CMAKE_BUILD_PARALLEL_LEVEL   parallel build jobs (default: the CPU count)
"""

import base64
import gzip
import hashlib
import io
import os
import platform
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import time
import zipfile
from pathlib import Path

try:
    import tomllib
except ImportError:  # Python < 3.11: the same reader, packaged as tomli
    try:
        import tomli as tomllib
    except ImportError:
        tomllib = None

import check_glibc  # beside this file, on the backend path

PROGRAMS = ("q9", "q9-install")
# Release build of the two programs only, linked so that they need nothing but the C library.
CMAKE_OPTIONS = (
    "-DCMAKE_BUILD_TYPE=Release",
    "-DQ9_STATIC=ON",
    "-DQ9_TESTS=OFF",
    "-DQ9_BENCH=OFF",
    "-DQ9_FUZZ=OFF",
    "-DQ9_SANITIZE=OFF",
)
# What a source distribution needs to build the wheel again: the CMake project without its
# tests, benchmarks and fuzz targets (which the wheel build switches off).
SDIST_PATHS = ("CMakeLists.txt", "README.md", "pyproject.toml", "packaging", "src")
SDIST_SKIP = re.compile(r"(^|/)(__pycache__|\.[^/]*)$|\.py[co]$")
# The oldest glibc a portable wheel's programs may need: the manylinux_2_28 platforms'.
MANYLINUX_GLIBC = (2, 28)
# Debian's names of the processors a Debian 11 tree can be made for.
DEBIAN_ARCH = {"x86_64": "amd64", "aarch64": "arm64"}
# 1980-01-01, the earliest time a zip entry can carry; used when SOURCE_DATE_EPOCH is unset.
DEFAULT_EPOCH = 315532800


class BuildError(Exception):
    """A failure of the build, with a message that names what went wrong."""


# ---------------------------------------------------------------- project description


def _source_dir():
    # Build front ends run every hook with the source tree as the current directory.
    return Path.cwd()


def _version(source):
    """The package version: the one declared in the CMake project() call."""
    text = (source / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"^\s*project\s*\([^)]*?\bVERSION\s+([0-9][0-9A-Za-z.+-]*)", text, re.M)
    if not match:
        raise BuildError("CMakeLists.txt: no VERSION in the project() call")
    return match.group(1)


def _project(source):
    """The [project] table of pyproject.toml, with the version taken from CMake."""
    path = source / "pyproject.toml"
    if tomllib is None:
        raise BuildError("reading pyproject.toml needs Python 3.11 or later, or the tomli module")
    with path.open("rb") as f:
        project = tomllib.load(f).get("project", {})
    if "name" not in project:
        raise BuildError("pyproject.toml: [project] has no name")
    if "version" in project or "version" not in project.get("dynamic", []):
        raise BuildError(
            "pyproject.toml: the version must be dynamic (it comes from CMakeLists.txt)"
        )
    project = dict(project)
    project["version"] = _version(source)
    return project


def _dist_name(project):
    # Normalised name as used in file names: runs of -_. become one underscore.
    return re.sub(r"[-_.]+", "_", project["name"]).lower()


def _metadata(source, project):
    """The core metadata (version 2.1) of the distribution, as text."""
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
    ]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    if project.get("keywords"):
        lines.append("Keywords: " + ",".join(project["keywords"]))
    for author in project.get("authors", []):
        if "name" in author:
            lines.append(f"Author: {author['name']}")
        if "email" in author:
            lines.append(f"Author-email: {author['email']}")
    license_ = project.get("license")
    if isinstance(license_, dict) and "text" in license_:
        lines.append(f"License: {license_['text']}")
    for label, url in project.get("urls", {}).items():
        lines.append(f"Project-URL: {label}, {url}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    for classifier in project.get("classifiers", []):
        lines.append(f"Classifier: {classifier}")
    body = ""
    readme = project.get("readme")
    if readme is not None:
        if not isinstance(readme, str):
            raise BuildError("pyproject.toml: readme must be a file name")
        kind = "text/markdown" if readme.lower().endswith(".md") else "text/plain"
        lines.append(f"Description-Content-Type: {kind}")
        body = (source / readme).read_text(encoding="utf-8")
    return "\n".join(lines) + "\n\n" + body


def _setting(config_settings, name, env):
    value = (config_settings or {}).get(name)
    if value is None:
        value = os.environ.get(env)
    return value if value not in (None, "") else None


def default_sysroot():
    """Where packaging/make-sysroot puts the Debian 11 tree unless told otherwise."""
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    machine = platform.machine()
    return Path(cache) / "q9infra" / f"debian11-{DEBIAN_ARCH.get(machine, machine)}"


def _is_sysroot(path):
    return (path / ".q9-sysroot").is_file()


def _sysroot(config_settings):
    """The Debian 11 tree to link against, or None to build for this machine."""
    value = _setting(config_settings, "sysroot", "Q9_SYSROOT")
    if value == "none":
        return None
    if value is not None:
        path = Path(value).expanduser().absolute()
        if not _is_sysroot(path):
            raise BuildError(f"sysroot {path}: not a tree made by packaging/make-sysroot")
        return path
    path = default_sysroot()
    return path if _is_sysroot(path) else None


def _machine_glibc():
    """This machine's glibc version, e.g. (2, 36), or None on another C library."""
    try:
        name, _, version = os.confstr("CS_GNU_LIBC_VERSION").partition(" ")
        return check_glibc.parse_version(version) if name == "glibc" else None
    except (AttributeError, OSError, ValueError):
        return None


def wheel_platform(config_settings=None):
    """(platform tag, Debian 11 tree or None, newest glibc version the programs may need)."""
    sysroot = _sysroot(config_settings)
    machine = platform.machine()
    glibc = MANYLINUX_GLIBC if sysroot else _machine_glibc()
    if glibc:
        tag = f"manylinux_{glibc[0]}_{glibc[1]}_{machine}"
    else:
        tag = sysconfig.get_platform()
    chosen = _setting(config_settings, "plat-name", "Q9_WHEEL_PLAT")
    if chosen:
        tag = chosen
        # A manylinux tag given by hand is held to what it promises.
        promised = re.match(r"manylinux_(\d+)_(\d+)_", chosen)
        glibc = (int(promised[1]), int(promised[2])) if promised else None
    return re.sub(r"[-.]", "_", tag), sysroot, glibc


def _platform_tag(config_settings):
    return wheel_platform(config_settings)[0]


# ---------------------------------------------------------------- archives


def _epoch():
    return max(int(os.environ.get("SOURCE_DATE_EPOCH", DEFAULT_EPOCH)), DEFAULT_EPOCH)


def _record_hash(data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "sha256=" + digest.decode("ascii")


class _WheelWriter:
    """Writes a wheel with fixed timestamps and the RECORD of everything in it."""

    def __init__(self, path):
        self._zip = zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED)
        self._records = []
        self._date = time.gmtime(_epoch())[:6]

    def add(self, name, data, executable=False):
        info = zipfile.ZipInfo(name, self._date)
        info.external_attr = (0o100755 if executable else 0o100644) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self._zip.writestr(info, data)
        self._records.append(f"{name},{_record_hash(data)},{len(data)}")

    def close(self, record_name):
        self._records.append(f"{record_name},,")
        self.add_plain(record_name, "\n".join(self._records) + "\n")
        self._zip.close()

    def add_plain(self, name, text):
        info = zipfile.ZipInfo(name, self._date)
        info.external_attr = 0o100644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self._zip.writestr(info, text.encode("utf-8"))


def _dist_info_files(source, project, tag):
    wheel = (
        "Wheel-Version: 1.0\n"
        "Generator: q9_build_backend\n"
        "Root-Is-Purelib: false\n"
        f"Tag: {tag}\n"
    )
    return {"METADATA": _metadata(source, project), "WHEEL": wheel}


# ---------------------------------------------------------------- the native build


def _run(command, what):
    print("+ " + shlex.join(str(c) for c in command), file=sys.stderr, flush=True)
    try:
        # Build output goes to our standard error, which front ends show.
        result = subprocess.run(command, stdout=sys.stderr)
    except OSError as error:
        raise BuildError(f"{what}: cannot run {command[0]}: {error.strerror}") from error
    if result.returncode != 0:
        raise BuildError(f"{what} failed with status {result.returncode}")


def _cache_entry(build_dir, name):
    """The value of NAME in an existing CMake cache, or None."""
    try:
        text = (Path(build_dir) / "CMakeCache.txt").read_text(encoding="utf-8", errors="replace")
    except OSError:
        return None
    match = re.search(rf"^{re.escape(name)}:[A-Z]+=(.*)$", text, re.M)
    return match.group(1) if match else None


def _build_programs(source, config_settings, stage):
    """Builds the programs with CMake, installs them (stripped) into stage/bin and checks them."""
    cmake = shutil.which("cmake")
    if cmake is None:
        raise BuildError("cmake not found on PATH; it is needed to build q9 and q9-install")
    tag, sysroot, glibc = wheel_platform(config_settings)
    build_dir = _setting(config_settings, "build-dir", "Q9_WHEEL_BUILD_DIR")
    if build_dir:
        build_dir = Path(build_dir)
    else:
        build_dir = source / ("build-wheel-manylinux" if sysroot else "build-wheel")
    options = list(CMAKE_OPTIONS)
    if sysroot:
        toolchain = source / "packaging" / "manylinux-toolchain.cmake"
        options += [f"-DCMAKE_TOOLCHAIN_FILE={toolchain}", f"-DQ9_SYSROOT={sysroot}"]
    else:
        print(
            f"q9_build_backend: building for this machine ({tag}); for the portable "
            f"manylinux_2_28 wheel, run packaging/make-sysroot once as root "
            f"(it makes {default_sysroot()})",
            file=sys.stderr,
        )
    # CMake keeps the toolchain a folder was first configured with: start afresh on a change.
    if _cache_entry(build_dir, "Q9_SYSROOT") != (str(sysroot) if sysroot else None):
        if (Path(build_dir) / "CMakeCache.txt").exists():
            options.append("--fresh")
    extra = shlex.split(_setting(config_settings, "cmake-args", "CMAKE_ARGS") or "")
    jobs = _setting(config_settings, "jobs", "CMAKE_BUILD_PARALLEL_LEVEL")
    jobs = jobs or str(os.cpu_count() or 1)
    _run([cmake, "-S", source, "-B", build_dir, *options, *extra], "CMake configure")
    _run([cmake, "--build", build_dir, "--target", *PROGRAMS, "-j", jobs], "CMake build")
    _run([cmake, "--install", build_dir, "--prefix", stage, "--strip"], "CMake install")
    programs = {}
    for name in PROGRAMS:
        path = Path(stage) / "bin" / name
        if not path.is_file():
            raise BuildError(f"CMake install did not produce bin/{name}")
        _check_program(path, name, tag, glibc)
        programs[name] = path.read_bytes()
    return programs


def _check_program(path, name, tag, glibc):
    """Refuses a program that needs more of the system than the wheel's tag promises."""
    try:
        problems, newest, libraries = check_glibc.check(path, glibc)
    except check_glibc.CheckError as error:
        raise BuildError(str(error)) from error
    if problems:
        first = problems[0].replace(str(path), name, 1)
        more = f" (and {len(problems) - 1} more)" if len(problems) > 1 else ""
        raise BuildError(f"{first}, so the wheel cannot be tagged {tag}{more}")
    newest = f"GLIBC_{check_glibc.version_text(newest)}" if newest else "no glibc version"
    print(f"q9_build_backend: {name} needs {newest}; {' '.join(libraries)}", file=sys.stderr)


# ---------------------------------------------------------------- PEP 517 hooks


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    source = _source_dir()
    project = _project(source)
    tag = f"py3-none-{_platform_tag(config_settings)}"
    dist_info = f"{_dist_name(project)}-{project['version']}.dist-info"
    target = Path(metadata_directory) / dist_info
    target.mkdir(parents=True, exist_ok=True)
    for name, text in _dist_info_files(source, project, tag).items():
        (target / name).write_text(text, encoding="utf-8")
    return dist_info


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    source = _source_dir()
    project = _project(source)
    tag = f"py3-none-{_platform_tag(config_settings)}"
    base = f"{_dist_name(project)}-{project['version']}"
    with tempfile.TemporaryDirectory(prefix="q9-wheel-") as stage:
        programs = _build_programs(source, config_settings, stage)
    filename = f"{base}-{tag}.whl"
    target = Path(wheel_directory) / filename
    partial = target.with_name(filename + ".part")
    writer = _WheelWriter(partial)
    try:
        for name, data in programs.items():
            writer.add(f"{base}.data/scripts/{name}", data, executable=True)
        for name, text in _dist_info_files(source, project, tag).items():
            writer.add(f"{base}.dist-info/{name}", text.encode("utf-8"))
        writer.close(f"{base}.dist-info/RECORD")
        os.replace(partial, target)
    finally:
        partial.unlink(missing_ok=True)
    return filename


def _sdist_members(source):
    for top in SDIST_PATHS:
        path = source / top
        if path.is_file():
            yield top
        elif path.is_dir():
            for root, dirs, files in os.walk(path):
                rel_root = Path(root).relative_to(source).as_posix()
                dirs[:] = sorted(d for d in dirs if not SDIST_SKIP.search(d))
                for name in sorted(files):
                    if not SDIST_SKIP.search(name):
                        yield f"{rel_root}/{name}"
        else:
            raise BuildError(f"{top}: missing from the source tree")


def build_sdist(sdist_directory, config_settings=None):
    source = _source_dir()
    project = _project(source)
    base = f"{_dist_name(project)}-{project['version']}"
    filename = f"{base}.tar.gz"
    target = Path(sdist_directory) / filename
    partial = target.with_name(filename + ".part")
    mtime = _epoch()

    def add(tar, name, data, mode):
        info = tarfile.TarInfo(f"{base}/{name}")
        info.size, info.mtime, info.mode = len(data), mtime, mode
        info.uid = info.gid = 0
        info.uname = info.gname = ""
        tar.addfile(info, io.BytesIO(data))

    try:
        with open(partial, "wb") as raw, gzip.GzipFile(
            fileobj=raw, mode="wb", mtime=mtime, filename=""
        ) as zipped, tarfile.open(fileobj=zipped, mode="w", format=tarfile.PAX_FORMAT) as tar:
            add(tar, "PKG-INFO", _metadata(source, project).encode("utf-8"), 0o644)
            for name in _sdist_members(source):
                path = source / name
                mode = 0o755 if os.access(path, os.X_OK) else 0o644
                add(tar, name, path.read_bytes(), mode)
        os.replace(partial, target)
    finally:
        partial.unlink(missing_ok=True)
    return filename
