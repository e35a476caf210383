"""End-to-end checks of the varnook-q9 Python distribution, offline.

  wheel_test.py --source DIR --work DIR --version X.Y.Z build|contents|pipx

build:    an sdist, the wheel built from that sdist, and the wheel built straight from the tree
contents: the wheel's tags, RECORD and scripts; the programs need nothing but the C library
pipx:     installs the wheel with pipx into temporary folders and runs q9 and q9-install there
"""

import argparse
import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

PROGRAMS = ("q9", "q9-install")
# Shared objects a program in the wheel may need: the C library and its parts.
ALLOWED_NEEDED = re.compile(r"^(libc\.so\.6|libm\.so\.6|ld-linux[-\w.]*\.so\.\d+)$")
HINT = "restart opencode, then run: /varnook-q9 <company>"


class Failure(Exception):
    pass


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
    env = offline_env(work)
    # Without --sdist/--wheel, build makes the sdist and then the wheel from the unpacked sdist.
    build = [sys.executable, "-m", "build", "--no-isolation"]
    run([*build, "--outdir", work / "dist", args.source], env)
    # Straight from the tree; its CMake folder goes below the work folder, not into the tree.
    tree_env = offline_env(work, Q9_WHEEL_BUILD_DIR=str(work / "tree-build"))
    run([*build, "--wheel", "--outdir", work / "tree", "."], tree_env, cwd=args.source)


# ---------------------------------------------------------------- contents


def record_hash(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def wheel_files(path):
    with zipfile.ZipFile(path) as whl:
        return {info.filename: (info, whl.read(info)) for info in whl.infolist()}


def needed_libraries(path):
    dynamic = run(["readelf", "-d", path]).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)


def step_contents(args):
    work, version = args.work, args.version
    wheel = the_one(work / "dist", "*.whl")
    the_one(work / "dist", f"varnook_q9-{version}.tar.gz")
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    tag = f"py3-none-{platform}"
    expect_equal(wheel.name, f"varnook_q9-{version}-{tag}.whl", "wheel file name")
    expect(not platform.endswith("any"), f"wheel tagged for any platform: {wheel.name}")

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
        needed = needed_libraries(path)
        expect("libc.so.6" in needed, f"{program}: readelf shows no libc.so.6 among {needed}")
        extra = [lib for lib in needed if not ALLOWED_NEEDED.match(lib)]
        expect(not extra, f"{program} needs shared libraries beyond the C library: {extra}")
        print(f"{program}: {len(data)} bytes, needs {', '.join(needed)}")

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


def expect_config_only_run(result, folder, version, what):
    expect_equal(
        result.stdout.splitlines(),
        [
            f"== Varnook Q9 installer (q9infra {version})",
            f"== config target: {folder}",
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", type=Path, required=True)
    parser.add_argument("--work", type=Path, required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("step", choices=("build", "contents", "pipx"))
    args = parser.parse_args()
    try:
        {"build": step_build, "contents": step_contents, "pipx": step_pipx}[args.step](args)
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
