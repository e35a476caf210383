"""End-to-end checks of the varnook-q9 Python distribution, offline.

  wheel_test.py --source DIR --work DIR --version X.Y.Z build|contents|pipx|debian11

build:    an sdist, the wheel built from that sdist, and the wheel built straight from the tree,
          against the Debian 11 tree of packaging/make-sysroot when it is there
contents: the wheel's tags, RECORD and scripts; the programs need nothing but the C library, and
          no glibc newer than the tag says
pipx:     installs the wheel with pipx into temporary folders and runs q9 and q9-install there
debian11: installs the wheel in a Debian 11 chroot with that system's own pip, offline, and runs
          the programs there (needs root and the Debian 11 tree; skipped without them outside CI)
"""

import argparse
import base64
import hashlib
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

PROGRAMS = ("q9", "q9-install")
HINT = "restart opencode, then run: /varnook-q9 <company>"
# ctest's mark for a test that could not run here.
SKIPPED = 77
PORTABLE_TAG = "manylinux_2_28_x86_64"


class Failure(Exception):
    pass


class Skipped(Exception):
    pass


def backend(source):
    """The build backend and its glibc check, imported from the tree without writing bytecode."""
    sys.dont_write_bytecode = True
    if str(source / "packaging") not in sys.path:
        sys.path.insert(0, str(source / "packaging"))
    import check_glibc
    import q9_build_backend

    return q9_build_backend, check_glibc


def sysroot(source):
    """The Debian 11 tree the wheel is built against, or None; CI must have it."""
    q9_build_backend, _ = backend(source)
    value = os.environ.get("Q9_SYSROOT")
    path = Path(value) if value else q9_build_backend.default_sysroot()
    if (path / ".q9-sysroot").is_file():
        return path
    if os.environ.get("CI"):
        raise Failure(f"no Debian 11 tree at {path}: run packaging/make-sysroot (.ci/run does)")
    return None


def machine_tag():
    name, _, version = os.confstr("CS_GNU_LIBC_VERSION").partition(" ")
    expect_equal(name, "glibc", "this machine's C library")
    return f"manylinux_{version.replace('.', '_')}_{platform.machine()}"


def expect(condition, message):
    if not condition:
        raise Failure(message)


def expect_equal(actual, expected, what):
    expect(actual == expected, f"{what}:\n  expected {expected!r}\n  actual   {actual!r}")


def run(command, env=None, cwd=None):
    """Runs a command; fails with its output unless it exits 0."""
    result = subprocess.run(
        [str(c) for c in command], env=env, cwd=cwd, capture_output=True, text=True, timeout=1500
    )
    expect(
        result.returncode == 0,
        f"{' '.join(map(str, command))} exited {result.returncode}\n"
        f"--- stdout\n{result.stdout[-4000:]}\n--- stderr\n{result.stderr[-4000:]}",
    )
    return result


def offline_env(work, **extra):
    """An environment in which pip and pipx cannot reach an index or the user's own files."""
    env = dict(os.environ)
    env.update(
        HOME=str(work / "home"),
        PIP_NO_INDEX="1",
        PIP_DISABLE_PIP_VERSION_CHECK="1",
        PIP_CONFIG_FILE=os.devnull,
        # The build backend is imported from the source tree: leave no __pycache__ there.
        PYTHONDONTWRITEBYTECODE="1",
        PIPX_HOME=str(work / "pipx" / "home"),
        PIPX_BIN_DIR=str(work / "pipx" / "bin"),
    )
    env.pop("PYTHONPATH", None)
    env.update(extra)
    return env


def the_one(folder, pattern):
    found = sorted(Path(folder).glob(pattern))
    expect(len(found) == 1, f"expected one {pattern} in {folder}, found {[p.name for p in found]}")
    return found[0]


# ---------------------------------------------------------------- build


def step_build(args):
    work = args.work
    shutil.rmtree(work, ignore_errors=True)
    (work / "home").mkdir(parents=True)
    tree = sysroot(args.source)
    # HOME is a temporary one below, so the tree is named to the backend.
    env = offline_env(work, Q9_SYSROOT=str(tree) if tree else "none")
    if not tree:
        print(f"no Debian 11 tree: building for this machine ({machine_tag()})")

    # Without the tree the tag is this machine's glibc; a tree that is not one is refused.
    q9_build_backend, _ = backend(args.source)
    tag, chosen, _ = q9_build_backend.wheel_platform({"sysroot": "none"})
    expect_equal((tag, chosen), (machine_tag(), None), "platform chosen without the tree")
    missing = work / "no-tree"
    try:
        q9_build_backend.wheel_platform({"sysroot": str(missing)})
        raise Failure(f"a sysroot that is no tree was accepted: {missing}")
    except q9_build_backend.BuildError as error:
        expected = f"sysroot {missing}: not a tree made by packaging/make-sysroot"
        expect_equal(str(error), expected, "error for a sysroot that is no tree")

    # Without --sdist/--wheel, build makes the sdist and then the wheel from the unpacked sdist.
    build = [sys.executable, "-m", "build", "--no-isolation"]
    run([*build, "--outdir", work / "dist", args.source], env)
    # Straight from the tree; its CMake folder goes below the work folder, not into the tree.
    tree_env = dict(env, Q9_WHEEL_BUILD_DIR=str(work / "tree-build"))
    run([*build, "--wheel", "--outdir", work / "tree", "."], tree_env, cwd=args.source)


# ---------------------------------------------------------------- contents


def record_hash(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def wheel_files(path):
    with zipfile.ZipFile(path) as whl:
        return {info.filename: (info, whl.read(info)) for info in whl.infolist()}


def step_contents(args):
    work, version = args.work, args.version
    wheel = the_one(work / "dist", "*.whl")
    the_one(work / "dist", f"varnook_q9-{version}.tar.gz")
    portable = sysroot(args.source) is not None
    platform_tag = PORTABLE_TAG if portable else machine_tag()
    tag = f"py3-none-{platform_tag}"
    expect_equal(wheel.name, f"varnook_q9-{version}-{tag}.whl", "wheel file name")
    # The newest glibc the programs may need: the one the tag names.
    glibc = tuple(int(n) for n in re.match(r"manylinux_(\d+)_(\d+)_", platform_tag).groups())
    _, check_glibc = backend(args.source)

    base = f"varnook_q9-{version}"
    files = wheel_files(wheel)
    expected_names = sorted(
        [f"{base}.data/scripts/{p}" for p in PROGRAMS]
        + [f"{base}.dist-info/{n}" for n in ("METADATA", "WHEEL", "RECORD")]
    )
    expect_equal(sorted(files), expected_names, "files in the wheel")

    wheel_meta = files[f"{base}.dist-info/WHEEL"][1].decode()
    for line in ("Wheel-Version: 1.0", "Root-Is-Purelib: false", f"Tag: {tag}"):
        expect(line in wheel_meta.splitlines(), f"WHEEL lacks {line!r}:\n{wheel_meta}")
    metadata = files[f"{base}.dist-info/METADATA"][1].decode()
    for line in ("Name: varnook-q9", f"Version: {version}"):
        expect(line in metadata.splitlines(), f"METADATA lacks {line!r}")

    # RECORD lists every other file with its hash and size, and itself without either.
    record_name = f"{base}.dist-info/RECORD"
    rows = [line.split(",") for line in files[record_name][1].decode().splitlines()]
    expect_equal(sorted(r[0] for r in rows), expected_names, "files listed in RECORD")
    for name, digest, size in rows:
        if name == record_name:
            expect_equal((digest, size), ("", ""), "RECORD's own row")
        else:
            data = files[name][1]
            expected = (record_hash(data), str(len(data)))
            expect_equal((digest, size), expected, f"RECORD row of {name}")

    unpacked = work / "unpacked"
    shutil.rmtree(unpacked, ignore_errors=True)
    unpacked.mkdir()
    for program in PROGRAMS:
        info, data = files[f"{base}.data/scripts/{program}"]
        mode = oct(info.external_attr >> 16)
        expect_equal(mode, oct(0o100755), f"mode of {program} in the wheel")
        expect(data[:4] == b"\x7fELF", f"{program} in the wheel is not an ELF executable")
        path = unpacked / program
        path.write_bytes(data)
        problems, newest, needed = check_glibc.check(path, glibc)
        expect("libc.so.6" in needed, f"{program}: readelf shows no libc.so.6 among {needed}")
        expect(not problems, "\n".join(problems))
        newest = check_glibc.version_text(newest)
        print(f"{program}: {len(data)} bytes, needs GLIBC_{newest}, {', '.join(needed)}")

    # The sdist builds the same wheel as the tree does, down to the programs' bytes.
    tree_wheel = the_one(work / "tree", "*.whl")
    expect_equal(tree_wheel.name, wheel.name, "name of the wheel built from the tree")
    tree_files = wheel_files(tree_wheel)
    expect_equal(sorted(tree_files), expected_names, "files in the wheel built from the tree")
    for name in expected_names:
        same = tree_files[name][1] == files[name][1]
        expect(same, f"{name} differs between the sdist and tree wheels")
    print(f"{wheel.name}: {wheel.stat().st_size} bytes")


# ---------------------------------------------------------------- pipx


def config_files(folder):
    return sorted(p.relative_to(folder).as_posix() for p in Path(folder).rglob("*") if p.is_file())


def expect_config_only_run(result, folder, version, what, shown=None):
    expect_equal(
        result.stdout.splitlines(),
        [
            f"== Varnook Q9 installer (q9infra {version})",
            f"== config target: {shown or folder}",
            "== wrote 12 config files (agent, command, skill)",
            f"== done - {HINT}",
        ],
        f"{what} output",
    )
    written = config_files(folder)
    expect_equal(len(written), 12, f"number of files {what} wrote ({written})")
    empty = [f for f in written if (Path(folder) / f).stat().st_size == 0]
    expect(not empty, f"{what} wrote empty files: {empty}")


def fake_tool(folder, name, log):
    """A stand-in program that notes each call in log; the installer must not need it."""
    path = Path(folder) / name
    path.write_text(f'#!/bin/sh\necho "{name} $*" >> "{log}"\nexit 1\n')
    path.chmod(0o755)


def step_pipx(args):
    work, version = args.work / "pipx-run", args.version
    shutil.rmtree(work, ignore_errors=True)
    (work / "home").mkdir(parents=True)
    wheel = the_one(args.work / "dist", "*.whl")
    env = offline_env(work)
    bin_dir = Path(env["PIPX_BIN_DIR"])

    run([sys.executable, "-m", "pipx", "install", wheel], env)
    for program in PROGRAMS:
        runnable = os.access(bin_dir / program, os.X_OK)
        expect(runnable, f"pipx put no runnable {program} in {bin_dir}")

    result = run([bin_dir / "q9", "version"], env)
    expect_equal(result.stdout, f"q9infra {version}\n", "q9 version")

    config = work / "config-only"
    config_env = dict(env, OPENCODE_CONFIG_DIR=str(config))
    result = run([bin_dir / "q9-install", "--config-only"], config_env)
    expect_config_only_run(result, config, version, "q9-install --config-only")

    # The documented one-shot form, from a throwaway environment.
    config = work / "config-one-shot"
    result = run(
        [sys.executable, "-m", "pipx", "run", "--spec", wheel, "q9-install", "--config-only"],
        dict(env, OPENCODE_CONFIG_DIR=str(config)),
    )
    what = "pipx run --spec WHEEL q9-install --config-only"
    expect_config_only_run(result, config, version, what)

    # A full run: burrowby is present, and the q9 that pipx installed answers the probe, so
    # nothing is installed (pipx on PATH is a stand-in that must not be called).
    fakes, log = work / "fakes", work / "fakes.log"
    fakes.mkdir()
    fake_tool(fakes, "burrowby", log)
    fake_tool(fakes, "pipx", log)
    config = work / "config-full"
    full_env = dict(env, OPENCODE_CONFIG_DIR=str(config), PATH=f"{bin_dir}:{fakes}")
    result = run([bin_dir / "q9-install"], full_env)
    expect_equal(
        result.stdout.splitlines(),
        [
            f"== Varnook Q9 installer (q9infra {version})",
            f"== config target: {config}",
            "== wrote 12 config files (agent, command, skill)",
            "== burrowby present",
            f"== q9 ready: q9infra {version}",
            f"== done - {HINT}",
        ],
        "full q9-install output",
    )
    expect_equal(result.stderr, "", "full q9-install standard error")
    started = log.read_text() if log.exists() else ""
    expect(not started, f"q9-install started a stand-in: {started}")
    expect_equal(len(config_files(config)), 12, "number of files the full run wrote")


# ---------------------------------------------------------------- Debian 11


def step_debian11(args):
    """The wheel on an older system: Debian 11 (glibc 2.31) installs it with its own pip 20.3,
    offline, into a fresh virtual environment, and the programs run there."""
    tree = sysroot(args.source)
    if tree is None:
        raise Skipped("no Debian 11 tree: run packaging/make-sysroot as root")
    if os.geteuid() != 0:
        if os.environ.get("CI"):
            raise Failure("the Debian 11 chroot needs root")
        raise Skipped("the Debian 11 chroot needs root")
    work, version = args.work / "debian11", args.version
    wheel = the_one(args.work / "dist", "*.whl")
    expect(PORTABLE_TAG in wheel.name, f"{wheel.name} is not the portable wheel")
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    root = work / "root"
    # A copy, so that nothing done inside reaches the cached tree.
    run(["cp", "-a", tree, root])
    inside = root / "tmp" / "q9"
    inside.mkdir()
    shutil.copy(wheel, inside)
    shutil.copy(args.source / "examples" / "northwind-dossier.json", inside)
    base_env = [
        "PATH=/opt/q9/bin:/usr/bin:/bin",
        "HOME=/root",
        "LANG=C.UTF-8",
        "PIP_NO_INDEX=1",
        "PIP_DISABLE_PIP_VERSION_CHECK=1",
        "OPENCODE_CONFIG_DIR=/tmp/q9/config",
    ]

    def chroot(*command, status=0):
        result = subprocess.run(
            ["chroot", root, "/usr/bin/env", "-i", *base_env, *command],
            capture_output=True,
            text=True,
            timeout=300,
        )
        expect(
            result.returncode == status,
            f"in Debian 11: {' '.join(command)} exited {result.returncode}, not {status}\n"
            f"--- stdout\n{result.stdout[-4000:]}\n--- stderr\n{result.stderr[-4000:]}",
        )
        return result

    chroot("python3", "-m", "venv", "/opt/q9")
    chroot("pip", "install", f"/tmp/q9/{wheel.name}")
    expect_equal(chroot("q9", "version").stdout, f"q9infra {version}\n", "q9 version")
    doctrine = json.loads(chroot("q9", "doctrine").stdout)
    expect("tiers" in doctrine, f"q9 doctrine gave no tiers: {sorted(doctrine)}")

    out = "/tmp/q9/northwind-dossier.html"
    result = chroot("q9", "report", "/tmp/q9/northwind-dossier.json", "--out", out)
    expect(result.stdout.endswith("| gate: PASS\n"), f"q9 report: {result.stdout!r}")
    golden = (args.source / "examples" / "northwind-dossier.html").read_bytes()
    expect(
        (inside / "northwind-dossier.html").read_bytes() == golden,
        "the dossier written in Debian 11 differs from examples/northwind-dossier.html",
    )
    expect("GATE 4 PASSED" in chroot("q9", "validate", out).stdout, "q9 validate did not pass")
    # An error is thrown and caught inside q9: unwinding must work on the older C library.
    result = chroot("q9", "report", "/tmp/q9/missing.json", status=1)
    expect_equal(
        result.stderr, "q9: error: /tmp/q9/missing.json: No such file or directory\n", "q9 error"
    )

    claim = "Runs 14 cold stores"
    chroot("q9", "record", "fact", "Northwind", "operations", claim, "--source", "annual report")
    recall = json.loads(chroot("q9", "memory", "recall", "Northwind").stdout)
    expect_equal(recall["fact_count"], 1, "facts recalled in Debian 11")
    expect(claim in json.dumps(recall), f"the recorded fact was not recalled: {recall}")
    # The team store loads Debian 11's own libpq at run time; a closed port proves it loaded.
    url = "postgresql://127.0.0.1:1/q9"
    result = chroot(f"Q9_MEMORY_URL={url}", "q9", "memory", "list", status=1)
    expect(
        result.stderr.startswith(f"q9: error: memory store {url}: ")
        and "Connection refused" in result.stderr,
        f"q9 with the PostgreSQL store in Debian 11: {result.stderr!r}",
    )

    config = root / "tmp" / "q9" / "config"
    shutil.rmtree(config)
    result = chroot("q9-install", "--config-only")
    what = "q9-install --config-only in Debian 11"
    expect_config_only_run(result, config, version, what, shown="/tmp/q9/config")
    shutil.rmtree(work)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", type=Path, required=True)
    parser.add_argument("--work", type=Path, required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("step", choices=("build", "contents", "pipx", "debian11"))
    args = parser.parse_args()
    steps = {"build": step_build, "contents": step_contents, "pipx": step_pipx}
    steps["debian11"] = step_debian11
    try:
        steps[args.step](args)
    except Skipped as reason:
        print(f"skipped: {reason}")
        return SKIPPED
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
