"""Rewrites a wheel so that its shared objects name musl's C library as a musl system
installs it (libc.musl-x86_64.so.1, or the given name: libc.musl-armv7.so.1 on 32-bit ARM),
not as the linker saw it (libc.so, the name of the development file). musl's loader serves
either name itself, but only the installed name is in the musllinux policy, so auditwheel
can tag the wheel by its own check.

Usage: musl_libc_name.py PATCHELF WHEEL_IN WHEEL_OUT [INSTALLED_NAME]
"""

from __future__ import annotations

import base64
import hashlib
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

LINKED_NAME = "libc.so"
INSTALLED_NAME = "libc.musl-x86_64.so.1"


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main(patchelf: str, wheel_in: str, wheel_out: str, installed_name: str = INSTALLED_NAME) -> None:
    with zipfile.ZipFile(wheel_in) as wheel:
        entries = [(info, wheel.read(info)) for info in wheel.infolist()]
    renamed = 0
    with tempfile.TemporaryDirectory() as scratch:
        for index, (info, data) in enumerate(entries):
            if not info.filename.endswith(".so"):
                continue
            path = Path(scratch, "object.so")
            path.write_bytes(data)
            needed = subprocess.run([patchelf, "--print-needed", str(path)], check=True,
                                    capture_output=True, text=True).stdout.split()
            if LINKED_NAME in needed:
                subprocess.run([patchelf, "--replace-needed", LINKED_NAME, installed_name,
                                str(path)], check=True)
                entries[index] = (info, path.read_bytes())
                renamed += 1
    if not renamed:
        sys.exit(f"no shared object in {wheel_in} names {LINKED_NAME}")
    record = next(info.filename for info, _ in entries
                  if info.filename.endswith(".dist-info/RECORD"))
    lines = [record_line(info.filename, data) for info, data in entries
             if info.filename != record]
    lines.append(f"{record},,")
    with zipfile.ZipFile(wheel_out, "w", zipfile.ZIP_DEFLATED) as wheel:
        for info, data in entries:
            if info.filename == record:
                data = ("\n".join(lines) + "\n").encode()
            wheel.writestr(info, data, compress_type=zipfile.ZIP_DEFLATED)
    print(f"{renamed} shared object(s) now need {installed_name}", file=sys.stderr)


if __name__ == "__main__":
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    main(*sys.argv[1:])
