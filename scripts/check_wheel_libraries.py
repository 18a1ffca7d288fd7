"""Checks that a wheel's compiled files need nothing a bare Linux system lacks.

Every shared library an ELF file in the wheel names (DT_NEEDED) must be either one the
wheel carries itself (found through an RPATH/RUNPATH of ``$ORIGIN/...``), or a library of
glibc, libstdc++ or libgcc_s. auditwheel's own policies allow a few more (libX11, libGL and
the like), which a robot computer without a desktop does not have; this check does not.

Usage: python check_wheel_libraries.py WHEEL...
Prints each ELF file with what it needs; exits 1 when anything is missing or outside.
"""

from __future__ import annotations

import io
import posixpath
import re
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

# glibc's libraries (with the dynamic loaders of the architectures we build), the GCC
# runtime and the C++ standard library: present on every glibc system.
SYSTEM_LIBRARIES = re.compile(
    r"^(libc|libm|libdl|librt|libpthread|libresolv|libutil)\.so\.\d+$"
    r"|^ld-linux(-x86-64|-armhf|-aarch64)?\.so\.\d+$"
    r"|^libgcc_s\.so\.1$|^libstdc\+\+\.so\.6$"
)


def dynamic_entries(data: bytes) -> tuple[list[str], list[str]]:
    """The DT_NEEDED names and the RPATH/RUNPATH folders of an ELF file."""
    elf = ELFFile(io.BytesIO(data))
    needed: list[str] = []
    search: list[str] = []
    for section in elf.iter_sections():
        if not isinstance(section, DynamicSection):
            continue
        for tag in section.iter_tags():
            if tag.entry.d_tag == "DT_NEEDED":
                needed.append(tag.needed)
            elif tag.entry.d_tag == "DT_RPATH":
                search.extend(tag.rpath.split(":"))
            elif tag.entry.d_tag == "DT_RUNPATH":
                search.extend(tag.runpath.split(":"))
    return needed, search


def check_wheel(path: str) -> list[str]:
    """Problems found in one wheel; prints what each ELF file needs."""
    problems: list[str] = []
    with zipfile.ZipFile(path) as wheel:
        names = set(wheel.namelist())
        elf_files = 0
        for name in sorted(names):
            data = wheel.read(name)
            if not data.startswith(b"\x7fELF"):
                continue
            elf_files += 1
            needed, search = dynamic_entries(data)
            folder = posixpath.dirname(name)
            carried = []
            for entry in search:
                if entry.startswith("$ORIGIN"):
                    carried.append(posixpath.normpath(posixpath.join(folder, entry[len("$ORIGIN"):].lstrip("/"))))
                else:
                    problems.append(f"{name}: search path {entry!r} points outside the wheel")
            print(f"{name}: needs {', '.join(needed) or 'nothing'}"
                  + (f" (searches {', '.join(search)})" if search else ""))
            for library in needed:
                if SYSTEM_LIBRARIES.match(library):
                    continue
                if any(posixpath.join(d, library) in names for d in carried):
                    continue
                problems.append(f"{name} needs {library}, which is neither a system library "
                                "nor carried in the wheel")
        if elf_files == 0:
            problems.append("no compiled file in the wheel")
    return problems


def main(paths: list[str]) -> int:
    failed = False
    for path in paths:
        print(f"== {posixpath.basename(path)}")
        for problem in check_wheel(path):
            print(f"  PROBLEM: {problem}")
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
