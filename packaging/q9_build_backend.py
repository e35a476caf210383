"""PEP 517 build backend that ships the native programs q9, q9-install, q9-screen and q9-audit
as a Python wheel.

Written in-tree rather than on setuptools: a setuptools build with pip's default build
isolation must first download setuptools and wheel, so `pip install .` and `pipx install .`
fail offline; this backend needs nothing beyond the Python standard library and CMake.

The wheel carries the four executables as scripts (`<name>.data/scripts/`), which pip and
pipx put on the user's PATH. They are linked with the C++ runtime and every library but the C
library statically, so the wheel is tagged for the platform but not for a Python version.

Which platform: the tag is read off the programs once they are built. On Linux it is
manylinux_X_Y_<processor>, X.Y being the newest glibc symbol version they need; with the Debian
11 tree that packaging/make-sysroot makes, they are linked against its glibc 2.31
(packaging/manylinux-toolchain.cmake) and must need no more than 2.28, else the build fails.
Without the tree they are built for this machine, and the build says so in one line. For another
processor (target=aarch64 on x86-64) the tree is required: Debian's cross compilers build against
it. On macOS the tag is macosx_<MACOSX_DEPLOYMENT_TARGET, else 11.0>_<processor>, the target being
handed to CMake; any other system is refused before anything is built.

A source build that lacks a tool or library stops with one line naming it, with its Debian and
Homebrew packages (CMakeLists.txt gathers them), instead of CMake's own report.

Settings (`--config-setting NAME=VALUE` or `-C NAME=VALUE`, or the environment):
  build-dir  / Q9_WHEEL_BUILD_DIR   CMake build folder (default: build-wheel, or
                                    build-wheel-manylinux-<processor> with a tree)
  cmake-args / CMAKE_ARGS           extra CMake configure arguments, split like a shell line
  plat-name  / Q9_WHEEL_PLAT        platform tag (default: read off the programs, as above)
  target     / Q9_WHEEL_TARGET      processor to build for: x86_64 or aarch64 (default: this
                                    machine's)
  sysroot    / Q9_SYSROOT           the Debian 11 tree (default: ~/.cache/q9infra/
                                    debian11-<amd64|arm64> when present); "none" builds for this
                                    machine
  jobs       / CMAKE_BUILD_PARALLEL_LEVEL   parallel build jobs (default: the CPU count)
"""

import base64
import functools
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

PROGRAMS = ("q9", "q9-install", "q9-screen", "q9-audit")
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
# The newest glibc a portable wheel's programs may need: the manylinux_2_28 platforms'.
MANYLINUX_GLIBC = (2, 28)
# Debian's names of the processors a Debian 11 tree can be made for.
DEBIAN_ARCH = {"x86_64": "amd64", "aarch64": "arm64"}
# The first glibc of each processor: a program needing no newer symbol still needs that one.
FIRST_GLIBC = {"x86_64": (2, 5), "aarch64": (2, 17)}
# macOS before 11 did not run on arm64; a wheel for it says 11.0 at least.
MACOS_DEFAULT_TARGET = "11.0"
MACOS_PROCESSORS = ("arm64", "x86_64")
# CMakeLists.txt's cmake_minimum_required, checked first so that an old CMake is named plainly.
CMAKE_VERSION = (3, 25)
# Where CMakeLists.txt writes what a failed configure lacked, one line.
MISSING_FILE = "q9-missing.txt"
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


def default_sysroot(target=None):
    """Where packaging/make-sysroot puts the Debian 11 tree for a processor (default: this
    machine's) unless told otherwise."""
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    machine = target or platform.machine()
    return Path(cache) / "q9infra" / f"debian11-{DEBIAN_ARCH.get(machine, machine)}"


def _sysroot_arch(path):
    """The Debian architecture a make-sysroot tree is for ("arm64"), or None if it is no tree."""
    try:
        first = (path / ".q9-sysroot").read_text(encoding="utf-8").split("\n", 1)[0]
    except OSError:
        return None
    return first.rsplit(" ", 1)[-1]


def _sysroot(config_settings, target):
    """The Debian 11 tree to link against, or None to build for this machine."""
    value = _setting(config_settings, "sysroot", "Q9_SYSROOT")
    cross = target != platform.machine()
    make = "packaging/make-sysroot" + (f" --arch {DEBIAN_ARCH[target]}" if cross else "")
    if value == "none":
        if cross:
            raise BuildError(f"a wheel for {target} is built against a Debian 11 tree, not none")
        return None
    path = Path(value).expanduser().absolute() if value is not None else default_sysroot(target)
    arch = _sysroot_arch(path)
    if arch is None:
        if value is not None:
            raise BuildError(f"sysroot {path}: not a tree made by packaging/make-sysroot")
        if cross:
            raise BuildError(
                f"no Debian 11 {DEBIAN_ARCH[target]} tree at {path}: make it once, as root, "
                f"with {make}"
            )
        return None
    if arch != DEBIAN_ARCH[target]:
        wanted = DEBIAN_ARCH[target]
        raise BuildError(f"sysroot {path}: a tree for {arch}, not {wanted}; see {make}")
    return path


def _target(config_settings):
    """The processor to build for, refused here unless this machine can build for it."""
    machine = platform.machine()
    target = _setting(config_settings, "target", "Q9_WHEEL_TARGET") or machine
    if target != machine and (platform.system() != "Linux" or target not in DEBIAN_ARCH):
        choices = " or ".join(sorted({machine, *DEBIAN_ARCH}))
        raise BuildError(f"target {target}: this machine builds wheels for {choices}")
    return target


def _macos_version(text):
    """'13.3' -> (13, 3); '14' -> (14, 0)."""
    if not re.fullmatch(r"[0-9]+(\.[0-9]+)?", text or ""):
        raise BuildError(f"MACOSX_DEPLOYMENT_TARGET '{text}' is not a version such as 11.0")
    major, _, minor = text.partition(".")
    return int(major), int(minor or 0)


def macos_target():
    """The macOS version the programs are built for: MACOSX_DEPLOYMENT_TARGET, else 11.0."""
    return os.environ.get("MACOSX_DEPLOYMENT_TARGET") or MACOS_DEFAULT_TARGET


def platform_tag(system, processor, glibc=None, macos=None):
    """The wheel's platform tag from what its programs need.

    system: platform.system() of the machine the programs are for; processor: what their
    headers say ("x86_64", "aarch64", "arm64"); glibc: the newest glibc version they need, None
    if they need no glibc; macos: the macOS version they are built for, as text ("11.0").
    """
    if system == "Linux":
        if glibc is None:
            raise BuildError(
                f"cannot tag a wheel for Linux ({processor}) without glibc: manylinux wheels "
                "are for glibc systems"
            )
        if processor not in FIRST_GLIBC:
            raise BuildError(f"cannot tag a wheel for Linux on {processor}")
        major, minor = max(tuple(glibc[:2]), FIRST_GLIBC[processor])
        return f"manylinux_{major}_{minor}_{processor}"
    if system == "Darwin":
        if processor not in MACOS_PROCESSORS:
            raise BuildError(f"cannot tag a wheel for macOS on {processor}")
        major, minor = _macos_version(macos or MACOS_DEFAULT_TARGET)
        if processor == "arm64":
            major, minor = max((major, minor), (11, 0))
        # From macOS 11 on, installers only accept X.0 tags: a program for 13.3 is offered as
        # one for 14.0, the first such version it runs on.
        if major >= 11 and minor:
            major, minor = major + 1, 0
        return f"macosx_{major}_{minor}_{processor}"
    raise BuildError(_refusal(system))


def _refusal(system):
    return (
        f"cannot build a wheel for {system or 'this system'}: q9 wheels are made for Linux "
        "with glibc and for macOS; build q9 with CMake there instead"
    )


def _supported_system():
    system = platform.system()
    if system not in ("Linux", "Darwin"):
        raise BuildError(_refusal(system))
    return system


def _chosen_tag(config_settings, tag, glibc):
    """The tag given by hand, held to what it promises; else the tag read off the programs."""
    chosen = _setting(config_settings, "plat-name", "Q9_WHEEL_PLAT")
    if not chosen:
        return tag
    chosen = re.sub(r"[-.]", "_", chosen)
    promised = re.fullmatch(r"manylinux_(\d+)_(\d+)_(\w+)", chosen)
    if tag.startswith("manylinux_") and not promised:
        raise BuildError(f"plat-name {chosen}: the programs are for Linux ({tag})")
    if promised:
        if not tag.endswith(f"_{promised[3]}"):
            raise BuildError(f"plat-name {chosen}: the programs are for {tag}")
        if glibc and glibc > (int(promised[1]), int(promised[2])):
            raise BuildError(
                f"plat-name {chosen}: the programs need GLIBC_{check_glibc.version_text(glibc)}"
            )
    return chosen


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


def _cmake():
    """CMake, when it is on PATH and new enough for CMakeLists.txt."""
    cmake = shutil.which("cmake")
    version = None
    if cmake:
        result = subprocess.run([cmake, "--version"], capture_output=True, text=True)
        found = re.match(r"cmake version (\d+)\.(\d+)", result.stdout)
        version = (int(found[1]), int(found[2])) if found else None
    if version is None or version < CMAKE_VERSION:
        raise BuildError(
            f"cannot build q9: missing CMake {CMAKE_VERSION[0]}.{CMAKE_VERSION[1]} or later "
            "(Debian: cmake, Homebrew: cmake)"
        )
    return cmake


def _configure(cmake, source, build_dir, options):
    """Runs CMake's configure step; a missing tool or library ends the build with one line."""
    command = [cmake, "-S", source, "-B", build_dir, *options]
    print("+ " + shlex.join(str(c) for c in command), file=sys.stderr, flush=True)
    missing = Path(build_dir) / MISSING_FILE
    missing.unlink(missing_ok=True)
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode == 0:
        sys.stderr.write(result.stdout)
        return
    try:
        lacking = missing.read_text(encoding="utf-8").strip()
    except OSError:
        lacking = ""
    if lacking:
        raise BuildError(f"cannot build q9: missing {lacking}")
    sys.stderr.write(result.stdout)
    raise BuildError(f"CMake configure failed with status {result.returncode}")


def _build_programs(source, config_settings, stage):
    """Builds the programs with CMake, installs them (stripped) into stage/bin and checks them.
    Returns ({name: bytes}, platform tag)."""
    system = _supported_system()
    target = _target(config_settings)
    sysroot = _sysroot(config_settings, target) if system == "Linux" else None
    cmake = _cmake()
    build_dir = _setting(config_settings, "build-dir", "Q9_WHEEL_BUILD_DIR")
    if build_dir:
        build_dir = Path(build_dir)
    else:
        build_dir = source / (f"build-wheel-manylinux-{target}" if sysroot else "build-wheel")
    options = list(CMAKE_OPTIONS)
    if sysroot:
        toolchain = source / "packaging" / "manylinux-toolchain.cmake"
        options += [f"-DCMAKE_TOOLCHAIN_FILE={toolchain}", f"-DQ9_SYSROOT={sysroot}"]
    elif system == "Darwin":
        _macos_version(macos_target())  # refused before the build, not after it
        options.append(f"-DCMAKE_OSX_DEPLOYMENT_TARGET={macos_target()}")
    else:
        print(
            f"q9_build_backend: building for this machine's glibc; for the portable "
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
    _configure(cmake, source, build_dir, [*options, *extra])
    _run([cmake, "--build", build_dir, "--target", *PROGRAMS, "-j", jobs], "CMake build")
    _run([cmake, "--install", build_dir, "--prefix", stage, "--strip"], "CMake install")
    programs, processors, glibc = {}, set(), None
    for name in PROGRAMS:
        path = Path(stage) / "bin" / name
        if not path.is_file():
            raise BuildError(f"CMake install did not produce bin/{name}")
        try:
            processors.add(check_glibc.architecture(path))
        except check_glibc.CheckError as error:
            raise BuildError(str(error).replace(str(path), name, 1)) from error
        if system == "Linux":
            newest = _check_program(path, name, MANYLINUX_GLIBC if sysroot else None)
            glibc = max(filter(None, (glibc, newest)), default=None)
        programs[name] = path.read_bytes()
    if len(processors) != 1:
        raise BuildError(f"the programs are built for different processors: {sorted(processors)}")
    tag = platform_tag(system, processors.pop(), glibc, macos_target())
    return programs, _chosen_tag(config_settings, tag, glibc)


def _check_program(path, name, ceiling):
    """The newest glibc version a program needs; refuses one that needs more than the ceiling,
    or a shared library outside the C library."""
    try:
        problems, newest, libraries = check_glibc.check(path, ceiling)
    except check_glibc.CheckError as error:
        raise BuildError(str(error)) from error
    if problems:
        first = problems[0].replace(str(path), name, 1)
        more = f" (and {len(problems) - 1} more)" if len(problems) > 1 else ""
        raise BuildError(f"{first}, so the wheel cannot be portable{more}")
    shown = f"GLIBC_{check_glibc.version_text(newest)}" if newest else "no glibc version"
    print(f"q9_build_backend: {name} needs {shown}; {' '.join(libraries)}", file=sys.stderr)
    return newest


# ---------------------------------------------------------------- PEP 517 hooks


def _hook(function):
    """A failed build ends with one line on standard error, not a Python traceback."""

    @functools.wraps(function)
    def hook(*args, **kwargs):
        try:
            return function(*args, **kwargs)
        except BuildError as error:
            print(f"q9_build_backend: error: {error}", file=sys.stderr, flush=True)
            raise SystemExit(1) from None

    return hook


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


@_hook
def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    # The WHEEL file waits for the programs: their tag is known only once they are built.
    source = _source_dir()
    project = _project(source)
    dist_info = f"{_dist_name(project)}-{project['version']}.dist-info"
    target = Path(metadata_directory) / dist_info
    target.mkdir(parents=True, exist_ok=True)
    (target / "METADATA").write_text(_metadata(source, project), encoding="utf-8")
    return dist_info


@_hook
def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    source = _source_dir()
    project = _project(source)
    base = f"{_dist_name(project)}-{project['version']}"
    with tempfile.TemporaryDirectory(prefix="q9-wheel-") as stage:
        programs, plat = _build_programs(source, config_settings, stage)
    tag = f"py3-none-{plat}"
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


@_hook
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
