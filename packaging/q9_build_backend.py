"""PEP 517 build backend that ships the native programs q9 and q9-install as a Python wheel.

Written in-tree rather than on setuptools: a setuptools build with pip's default build
isolation must first download setuptools and wheel, so `pip install .` and `pipx install .`
fail offline; this backend needs nothing beyond the Python standard library and CMake.

The wheel carries the two executables as scripts (`<name>.data/scripts/`), which pip and
pipx put on the user's PATH. They are linked with the C++ runtime, SQLite and PCRE2
statically, so the wheel is tagged for the platform but not for a Python version.

Settings (`--config-setting NAME=VALUE` or `-C NAME=VALUE`, or the environment):
  build-dir  / Q9_WHEEL_BUILD_DIR   CMake build folder (default: build-wheel in the source tree)
  cmake-args / CMAKE_ARGS           extra CMake configure arguments, split like a shell line
  plat-name  / Q9_WHEEL_PLAT        platform tag (default: this interpreter's, e.g. linux_x86_64)
  jobs       / CMAKE_BUILD_PARALLEL_LEVEL   parallel build jobs (default: the CPU count)
"""

import base64
import gzip
import hashlib
import io
import os
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


def _platform_tag(config_settings):
    tag = _setting(config_settings, "plat-name", "Q9_WHEEL_PLAT") or sysconfig.get_platform()
    return re.sub(r"[-.]", "_", tag)


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


def _build_programs(source, config_settings, stage):
    """Builds the programs with CMake and installs them (stripped) into stage/bin."""
    cmake = shutil.which("cmake")
    if cmake is None:
        raise BuildError("cmake not found on PATH; it is needed to build q9 and q9-install")
    build_dir = _setting(config_settings, "build-dir", "Q9_WHEEL_BUILD_DIR")
    build_dir = Path(build_dir) if build_dir else source / "build-wheel"
    extra = shlex.split(_setting(config_settings, "cmake-args", "CMAKE_ARGS") or "")
    jobs = _setting(config_settings, "jobs", "CMAKE_BUILD_PARALLEL_LEVEL")
    jobs = jobs or str(os.cpu_count() or 1)
    _run([cmake, "-S", source, "-B", build_dir, *CMAKE_OPTIONS, *extra], "CMake configure")
    _run([cmake, "--build", build_dir, "--target", *PROGRAMS, "-j", jobs], "CMake build")
    _run([cmake, "--install", build_dir, "--prefix", stage, "--strip"], "CMake install")
    programs = {}
    for name in PROGRAMS:
        path = Path(stage) / "bin" / name
        if not path.is_file():
            raise BuildError(f"CMake install did not produce bin/{name}")
        programs[name] = path.read_bytes()
    return programs


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
