"""End-to-end checks of the varnook-q9 Python distribution, offline.

  wheel_test.py --source DIR --work DIR --version X.Y.Z STEP

build:    an sdist, the wheel built from that sdist, and the wheel built straight from the tree,
          against the Debian 11 tree of packaging/make-sysroot when it is there
contents: the wheel's tags, RECORD and scripts; the programs need nothing but the C library, and
          no glibc newer than the tag says
pipx:     installs the wheel with pipx into temporary folders and runs q9 and q9-install there
debian11: installs the wheel in a Debian 11 chroot with that system's own pip, offline, and runs
          the programs there (needs root and the Debian 11 tree; skipped without them outside CI)
aarch64:  cross-builds the aarch64 wheel from the sdist against the Debian 11 arm64 tree, checks
          it as contents does, installs it in that tree with its own Python and pip and runs the
          same programs there, all under qemu-aarch64-static (skipped without them outside CI)
tags:     the platform tags given facts about the programs, and the one-line refusals
"""

import argparse
import base64
import hashlib
import itertools
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

PROGRAMS = ("q9", "q9-install", "q9-screen", "q9-audit")
HINT = "restart opencode, then run: /varnook-q9 <company>"
# ctest's mark for a test that could not run here.
SKIPPED = 77
# The newest glibc a portable wheel's programs may need.
PORTABLE_GLIBC = (2, 28)
EMULATOR = "qemu-aarch64-static"


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


def sysroot(source, processor=None):
    """The Debian 11 tree a wheel for the processor (default: this machine's) is built against,
    or None; CI must have it. Q9_SYSROOT names this machine's tree only."""
    q9_build_backend, _ = backend(source)
    value = os.environ.get("Q9_SYSROOT") if processor is None else None
    path = Path(value) if value else q9_build_backend.default_sysroot(processor)
    if (path / ".q9-sysroot").is_file():
        return path
    if os.environ.get("CI"):
        arch = " --arch arm64" if processor == "aarch64" else ""
        make = f"packaging/make-sysroot{arch}"
        raise Failure(f"no Debian 11 tree at {path}: run {make} (.ci/run does)")
    return None


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
        print("no Debian 11 tree: building for this machine")

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


def check_wheel(args, wheel, processor, portable):
    """Checks a wheel's name, metadata, RECORD and programs; returns its files. Its tag must be
    what its programs need: their processor and newest glibc, at most 2.28 when portable."""
    version = args.version
    name = re.escape(f"varnook_q9-{version}-py3-none-manylinux_")
    found = re.fullmatch(rf"{name}(\d+)_(\d+)_(\w+)\.whl", wheel.name)
    expect(found, f"wheel file name {wheel.name}: not a manylinux wheel of varnook-q9 {version}")
    glibc = (int(found[1]), int(found[2]))
    expect_equal(found[3], processor, f"processor in {wheel.name}")
    if portable:
        expect(glibc <= PORTABLE_GLIBC, f"{wheel.name} is not a manylinux_2_28 wheel")
    tag = f"py3-none-manylinux_{glibc[0]}_{glibc[1]}_{processor}"
    q9_build_backend, check_glibc = backend(args.source)

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

    unpacked = args.work / f"unpacked-{processor}"
    shutil.rmtree(unpacked, ignore_errors=True)
    unpacked.mkdir()
    needs = [q9_build_backend.FIRST_GLIBC[processor]]
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
        expect_equal(check_glibc.architecture(path), processor, f"processor of {program}")
        needs.append(newest)
        newest = check_glibc.version_text(newest)
        print(f"{program}: {len(data)} bytes, needs GLIBC_{newest}, {', '.join(needed)}")
    expect_equal(max(needs), glibc, f"newest glibc the programs of {wheel.name} need")
    print(f"{wheel.name}: {wheel.stat().st_size} bytes")
    return files


def step_contents(args):
    work, version = args.work, args.version
    wheel = the_one(work / "dist", "*.whl")
    the_one(work / "dist", f"varnook_q9-{version}.tar.gz")
    files = check_wheel(args, wheel, platform.machine(), sysroot(args.source) is not None)
    expected_names = sorted(files)

    # The sdist builds the same wheel as the tree does, down to the programs' bytes.
    tree_wheel = the_one(work / "tree", "*.whl")
    expect_equal(tree_wheel.name, wheel.name, "name of the wheel built from the tree")
    tree_files = wheel_files(tree_wheel)
    expect_equal(sorted(tree_files), expected_names, "files in the wheel built from the tree")
    for name in expected_names:
        same = tree_files[name][1] == files[name][1]
        expect(same, f"{name} differs between the sdist and tree wheels")


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


def need_root(what):
    if os.geteuid() != 0:
        if os.environ.get("CI"):
            raise Failure(f"{what} needs root")
        raise Skipped(f"{what} needs root")


def debian11_root(args, tree, name, wheel):
    """A copy of a Debian 11 tree, so that nothing done inside reaches the cached one, holding
    the wheel and the example data in /tmp/q9. Returns (work folder, root)."""
    work = args.work / name
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    root = work / "root"
    run(["cp", "-a", tree, root])
    inside = root / "tmp" / "q9"
    inside.mkdir()
    shutil.copy(wheel, inside)
    shutil.copy(args.source / "examples" / "northwind-dossier.json", inside)
    shutil.copytree(args.source / "tests" / "screen" / "fixtures", inside / "lists")
    return work, root


def chroot_runner(root, *launcher):
    """chroot(*command, status=0): runs [NAME=VALUE...] PROGRAM ARGS... in the tree with a clean
    environment and expects its exit status. With a launcher (the emulator, for a tree of another
    processor) the host starts the program directly: no PATH search, /opt/q9/bin's named in full."""
    base_env = [
        "PATH=/opt/q9/bin:/usr/bin:/bin",
        "HOME=/root",
        "LANG=C.UTF-8",
        "PIP_NO_INDEX=1",
        "PIP_DISABLE_PIP_VERSION_CHECK=1",
        "OPENCODE_CONFIG_DIR=/tmp/q9/config",
    ]

    def chroot(*command, status=0):
        full = ["chroot", root, "/usr/bin/env", "-i", *base_env, *command]
        if launcher:
            settings = list(itertools.takewhile(lambda c: "=" in c, command))
            program, *rest = command[len(settings):]
            program = program if program.startswith("/") else f"/opt/q9/bin/{program}"
            where = shutil.which("chroot", path="/usr/sbin:/usr/bin")
            full = ["env", "-i", *base_env, *settings, where, root, *launcher, program, *rest]
        result = subprocess.run(
            full,
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

    return chroot


def smoke(args, root, chroot):
    """The programs installed in /opt/q9/bin of a Debian 11 tree: the dossier byte for byte, the
    gate, an error, a memory record and recall, the team store's libpq, the installer."""
    version, inside = args.version, root / "tmp" / "q9"
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
    # The audit reads the same store: the example's figures are not among the facts.
    result = chroot("q9-audit", "/tmp/q9/northwind-dossier.json", "--entity", "Northwind", status=1)
    expect(
        result.stdout.splitlines()[-1].startswith("figures: "), f"q9-audit: {result.stdout[-300:]!r}"
    )
    # The screen's readers (CSV, expat, minizip) all read the small fixture lists, which the
    # program that ships refuses as below each list's floor.
    result = chroot("q9-screen", "--from", "/tmp/q9/lists", "Hans Müller", status=3)
    for list_name, entries in (("ofac-sdn", 7), ("un", 3), ("uk", 3), ("eu", 3), ("icij", 7)):
        expect(
            f"{list_name}: not screened: " in result.stdout
            and f"only {entries} entries, fewer than" in result.stdout,
            f"q9-screen in Debian 11 on {list_name}: {result.stdout!r}",
        )
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


def step_debian11(args):
    """The wheel on an older system: Debian 11 (glibc 2.31) installs it with its own pip 20.3,
    offline, into a fresh virtual environment, and the programs run there."""
    tree = sysroot(args.source)
    if tree is None:
        raise Skipped("no Debian 11 tree: run packaging/make-sysroot as root")
    need_root("the Debian 11 chroot")
    wheel = the_one(args.work / "dist", "*.whl")
    work, root = debian11_root(args, tree, "debian11", wheel)
    chroot = chroot_runner(root)
    chroot("python3", "-m", "venv", "/opt/q9")
    chroot("pip", "install", f"/tmp/q9/{wheel.name}")
    smoke(args, root, chroot)
    shutil.rmtree(work)


def step_aarch64(args):
    """The aarch64 wheel, cross-built from the sdist, in a Debian 11 arm64 tree under the
    emulator: installed by that system's Python with its own pip 20.3 (run from its wheel: pip's
    own programs could not be started there), then the same smoke set as on x86-64."""
    tree = sysroot(args.source, "aarch64")
    emulator = shutil.which(EMULATOR)
    if tree is None or emulator is None:
        missing = "packaging/make-sysroot --arch arm64" if tree is None else "qemu-user-static"
        if os.environ.get("CI"):
            raise Failure(f"the aarch64 wheel needs {missing}")
        raise Skipped(f"the aarch64 wheel needs {missing}")
    need_root("the Debian 11 arm64 chroot")
    work = args.work
    sdist = the_one(work / "dist", f"varnook_q9-{args.version}.tar.gz")
    unpacked = work / "sdist-aarch64"
    shutil.rmtree(unpacked, ignore_errors=True)
    with tarfile.open(sdist) as tar:
        tar.extractall(unpacked)
    env = offline_env(work, Q9_SYSROOT=str(tree), Q9_WHEEL_BUILD_DIR=str(work / "aarch64-build"))
    build = [sys.executable, "-m", "build", "--no-isolation", "--wheel", "-C", "target=aarch64"]
    run([*build, "--outdir", work / "dist-aarch64", "."], env, cwd=unpacked / sdist.name[:-7])
    wheel = the_one(work / "dist-aarch64", "*.whl")
    check_wheel(args, wheel, "aarch64", portable=True)

    folder, root = debian11_root(args, tree, "debian11-arm64", wheel)
    # No binfmt_misc here: the tree's programs are started through the emulator by name.
    shutil.copy(emulator, root / "usr" / "bin" / EMULATOR)
    chroot = chroot_runner(root, f"/usr/bin/{EMULATOR}")
    pip = the_one(root / "usr" / "share" / "python-wheels", "pip-*.whl")
    chroot(f"PYTHONPATH=/usr/share/python-wheels/{pip.name}", "/usr/bin/python3", "-m", "pip",
           "install", "--prefix", "/opt/q9", f"/tmp/q9/{wheel.name}")
    smoke(args, root, chroot)
    shutil.rmtree(folder)


# ---------------------------------------------------------------- tags

# platform_tag(system, processor, newest glibc, macOS target) -> the tag, or the refusal.
TAG_CASES = [
    (("Linux", "aarch64", (2, 28), None), "manylinux_2_28_aarch64"),
    (("Linux", "x86_64", (2, 36), None), "manylinux_2_36_x86_64"),
    # Nothing newer needed than glibc's first release for the processor.
    (("Linux", "aarch64", (2, 14), None), "manylinux_2_17_aarch64"),
    (("Linux", "x86_64", None, None), "cannot tag a wheel for Linux (x86_64) without glibc: "
     "manylinux wheels are for glibc systems"),
    (("Linux", "riscv64", (2, 31), None), "cannot tag a wheel for Linux on riscv64"),
    (("Darwin", "arm64", None, "11.0"), "macosx_11_0_arm64"),
    (("Darwin", "x86_64", None, "10.15"), "macosx_10_15_x86_64"),
    # arm64 Macs start at 11; from 11 on only X.0 tags are installed, so 13.3 needs 14.0.
    (("Darwin", "arm64", None, "10.15"), "macosx_11_0_arm64"),
    (("Darwin", "x86_64", None, "13.3"), "macosx_14_0_x86_64"),
    (("Darwin", "arm64", None, "14"), "macosx_14_0_arm64"),
    (("Darwin", "arm64", None, "13.x"),
     "MACOSX_DEPLOYMENT_TARGET '13.x' is not a version such as 11.0"),
    (("Darwin", "aarch64", None, "11.0"), "cannot tag a wheel for macOS on aarch64"),
    (("Windows", "AMD64", None, None), "cannot build a wheel for Windows: q9 wheels are made for "
     "Linux with glibc and for macOS; build q9 with CMake there instead"),
]
# A tag given by hand (plat-name) against the one read off the programs and their glibc.
CHOSEN_CASES = [
    ("manylinux_2_31_x86_64", "manylinux_2_28_x86_64", (2, 28), "manylinux_2_31_x86_64"),
    ("manylinux-2.17-x86_64", "manylinux_2_28_x86_64", (2, 28),
     "plat-name manylinux_2_17_x86_64: the programs need GLIBC_2.28"),
    ("manylinux_2_28_aarch64", "manylinux_2_28_x86_64", (2, 28),
     "plat-name manylinux_2_28_aarch64: the programs are for manylinux_2_28_x86_64"),
    ("linux_x86_64", "manylinux_2_28_x86_64", (2, 28),
     "plat-name linux_x86_64: the programs are for Linux (manylinux_2_28_x86_64)"),
]


def outcome(q9_build_backend, function, *arguments):
    try:
        return function(*arguments)
    except q9_build_backend.BuildError as error:
        return str(error)


def step_tags(args):
    q9_build_backend, _ = backend(args.source)
    for facts, expected in TAG_CASES:
        actual = outcome(q9_build_backend, q9_build_backend.platform_tag, *facts)
        expect_equal(actual, expected, f"platform_tag{facts}")
    os.environ.pop("Q9_WHEEL_PLAT", None)
    for chosen, tag, glibc, expected in CHOSEN_CASES:
        actual = outcome(
            q9_build_backend, q9_build_backend._chosen_tag, {"plat-name": chosen}, tag, glibc
        )
        expect_equal(actual, expected, f"plat-name {chosen} for {tag}")

    # The trees a build is refused without, each with the command that makes it.
    work = args.work / "tags"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    os.environ["XDG_CACHE_HOME"] = str(work)
    arm64 = work / "q9infra" / "debian11-arm64"
    refusals = [
        ({"sysroot": str(work)}, "x86_64",
         f"sysroot {work}: not a tree made by packaging/make-sysroot"),
        ({}, "aarch64", f"no Debian 11 arm64 tree at {arm64}: make it once, as root, with "
         "packaging/make-sysroot --arch arm64"),
    ]
    if platform.machine() == "x86_64":
        for settings, target, expected in refusals:
            actual = outcome(q9_build_backend, q9_build_backend._sysroot, settings, target)
            expect_equal(actual, expected, f"tree for {target} with {settings}")

    # A source build without the libraries pkg-config finds (PCRE2, minizip, nettle) stops with
    # one line that names them, not CMake's report.
    env = offline_env(work, PKG_CONFIG_LIBDIR=str(work), Q9_SYSROOT="none",
                      Q9_WHEEL_BUILD_DIR=str(work / "build"))
    result = subprocess.run(
        [sys.executable, "-m", "build", "--no-isolation", "--wheel", "--outdir", work, "."],
        cwd=args.source, env=env, capture_output=True, text=True, timeout=600,
    )
    line = ("q9_build_backend: error: cannot build q9: missing PCRE2 "
            "(Debian: libpcre2-dev, Homebrew: pcre2); minizip (Debian: libminizip-dev, "
            "Homebrew: minizip); nettle (Debian: nettle-dev, Homebrew: nettle)")
    expect(result.returncode != 0, "a build without PCRE2 succeeded")
    output = result.stdout + result.stderr
    expect(line in output.splitlines(), f"no line {line!r} in:\n{output[-3000:]}")
    expect("CMake Error" not in output and "Traceback" not in output, f"not one line:\n{output}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", type=Path, required=True)
    parser.add_argument("--work", type=Path, required=True)
    parser.add_argument("--version", required=True)
    steps = {"build": step_build, "contents": step_contents, "pipx": step_pipx}
    steps.update(debian11=step_debian11, aarch64=step_aarch64, tags=step_tags)
    parser.add_argument("step", choices=sorted(steps))
    args = parser.parse_args()
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
