"""Which glibc versions and shared libraries the programs of a wheel need at run time.

  python3 packaging/check_glibc.py [--max 2.28] PROGRAM...

Prints, per program, its processor, the newest GLIBC symbol version it needs and its NEEDED
libraries (for x86-64 and aarch64 programs alike, whatever this machine runs). Exits 1,
naming the symbols or libraries, when a program needs a version above --max or a shared library
that is not part of the C library itself (the part every manylinux system has). The build
backend runs the same check on every wheel it makes.

Reads the output of readelf (binutils, which the build's linker comes with); pyelftools would be
a build requirement that an offline `pip install .` cannot fetch.
"""

import argparse
import re
import struct
import subprocess
import sys

# glibc's own libraries: every manylinux platform provides them, whatever its version.
C_LIBRARY = re.compile(
    r"^(libc\.so\.6|libm\.so\.6|libdl\.so\.2|librt\.so\.1|libpthread\.so\.0|libutil\.so\.1"
    r"|libresolv\.so\.2|ld-linux[-\w.]*\.so\.\d+)$"
)
_NEEDED = re.compile(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]")
# An undefined dynamic symbol bound to a glibc version: "... UND exp@GLIBC_2.29 (4)".
_VERSIONED = re.compile(r"\sUND\s+([^@\s]+)@+GLIBC_([0-9]+(?:\.[0-9]+)+)")


# ELF e_machine and Mach-O cputype values, named as wheel platform tags name processors.
ELF_MACHINES = {62: "x86_64", 183: "aarch64"}
MACHO_CPUS = {0x01000007: "x86_64", 0x0100000C: "arm64"}


class CheckError(Exception):
    """A program that cannot be read, or that needs more than it may."""


def parse_version(text):
    """'2.28' -> (2, 28)."""
    if not re.fullmatch(r"[0-9]+(\.[0-9]+)+", text):
        raise ValueError(f"'{text}' is not a glibc version such as 2.28")
    return tuple(int(part) for part in text.split("."))


def version_text(version):
    return ".".join(str(part) for part in version)


def architecture(path):
    """The processor a program is built for ("x86_64", "aarch64", "arm64"), from its header."""
    try:
        with open(path, "rb") as f:
            header = f.read(20)
    except OSError as error:
        raise CheckError(f"{path}: {error.strerror}") from error
    if header[:4] == b"\x7fELF" and len(header) >= 20 and header[5] in (1, 2):
        (machine,) = struct.unpack("<H" if header[5] == 1 else ">H", header[18:20])
        name = ELF_MACHINES.get(machine)
    elif header[:4] == b"\xcf\xfa\xed\xfe" and len(header) >= 8:  # 64-bit little-endian Mach-O
        name = MACHO_CPUS.get(struct.unpack("<I", header[4:8])[0])
    else:
        raise CheckError(f"{path}: not an ELF or 64-bit Mach-O program")
    if name is None:
        raise CheckError(f"{path}: built for a processor there is no wheel for")
    return name


def needs(path):
    """(NEEDED libraries in order, {symbol: glibc version tuple}) of an ELF program."""
    try:
        result = subprocess.run(
            ["readelf", "-W", "--dynamic", "--dyn-syms", str(path)],
            capture_output=True,
            text=True,
            env={"LC_ALL": "C", "PATH": "/usr/bin:/bin"},
        )
    except OSError as error:
        raise CheckError(f"cannot run readelf: {error.strerror}") from error
    if result.returncode != 0 or "Error:" in result.stderr:
        message = result.stderr.strip().splitlines()
        raise CheckError(f"{path}: {message[0] if message else 'readelf failed'}")
    symbols = {}
    for name, version in _VERSIONED.findall(result.stdout):
        version = parse_version(version)
        symbols[name] = max(version, symbols.get(name, version))
    return _NEEDED.findall(result.stdout), symbols


def check(path, ceiling=None):
    """(problems as lines, the newest glibc version needed or None, NEEDED libraries)."""
    libraries, symbols = needs(path)
    problems = []
    foreign = [lib for lib in libraries if not C_LIBRARY.match(lib)]
    if foreign:
        problems.append(f"{path}: needs {', '.join(foreign)}, beyond the C library")
    newest = max(symbols.values(), default=None)
    if ceiling is not None and newest is not None and newest > ceiling:
        above = {}
        for name, version in symbols.items():
            if version > ceiling:
                above.setdefault(version, []).append(name)
        for version in sorted(above):
            names = ", ".join(sorted(above[version]))
            problems.append(
                f"{path}: needs GLIBC_{version_text(version)} (above {version_text(ceiling)}) "
                f"for {names}"
            )
    return problems, newest, libraries


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--max", type=parse_version, help="highest GLIBC version allowed")
    parser.add_argument("programs", nargs="+")
    args = parser.parse_args(argv)
    failed = False
    for program in args.programs:
        try:
            problems, newest, libraries = check(program, args.max)
            processor = architecture(program)
        except CheckError as error:
            print(f"check_glibc: {error}", file=sys.stderr)
            failed = True
            continue
        for line in problems:
            print(f"check_glibc: {line}", file=sys.stderr)
        failed = failed or bool(problems)
        newest = f"GLIBC_{version_text(newest)}" if newest else "no versioned glibc symbol"
        print(f"{program}: {processor}, {newest}; needs {' '.join(libraries)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
