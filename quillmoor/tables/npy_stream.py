"""NumPy's ``.npy`` format, read and written in chunks.

The header is read and written by ``numpy.lib.format``; the data moves in chunks of a
megabyte, straight between the file and the array's memory, so that a large table
shows its progress, an interrupt stops it between two chunks, and no second copy of the
table is made. Arrays of Python objects are never read or written: loading them would
run code from the file.
"""

from __future__ import annotations

from typing import IO, Any

import numpy as np

#: Small enough that the copies a zip member's reads make stay in the processor's cache.
CHUNK_BYTES = 2**20
MAGIC = b"\x93NUMPY"
ZIP_MAGIC = b"PK\x03\x04"


class NpyFormatError(ValueError):
    """What is wrong with an ``.npy`` stream, in words for the user."""


def read_header(stream: IO[bytes]) -> tuple[tuple[int, ...], bool, np.dtype[Any]]:
    """The shape, Fortran order and dtype of the array that follows."""
    start = stream.read(len(MAGIC))
    if start != MAGIC:
        if start.startswith(ZIP_MAGIC[: len(start)]) and len(start) >= 4:
            raise NpyFormatError("it is an .npz archive, not an .npy file")
        raise NpyFormatError("not a NumPy .npy file (it does not start as one)")
    version = stream.read(2)
    try:
        if version == b"\x01\x00":
            shape, fortran, dtype = np.lib.format.read_array_header_1_0(stream)
        elif version == b"\x02\x00":
            shape, fortran, dtype = np.lib.format.read_array_header_2_0(stream)
        else:
            raise NpyFormatError(
                f"an .npy file of format version {tuple(version)}, which is not read here"
            )
    except NpyFormatError:
        raise
    except (ValueError, SyntaxError, EOFError, UnicodeDecodeError, TypeError):
        raise NpyFormatError("damaged: its header cannot be read") from None
    if dtype.hasobject:
        raise NpyFormatError(
            "holds Python objects, which are never loaded from a file (loading them "
            "could run code); save the table as numbers"
        )
    return tuple(int(n) for n in shape), bool(fortran), dtype


def read_array(stream: IO[bytes]) -> np.ndarray:
    """The array of an ``.npy`` stream, read in chunks into its own memory."""
    shape, fortran, dtype = read_header(stream)
    array = np.empty(shape[::-1] if fortran else shape, dtype=dtype)
    memory = array.reshape(-1).view(np.uint8).data if array.size else memoryview(b"")
    read_data(stream, memory, len(memory))
    return array.T if fortran else array


def read_data(stream: IO[bytes], memory: memoryview, expected: int, before: int = 0) -> None:
    """Fills ``memory`` from the stream, a chunk at a time; ``expected`` is all the data
    the header announces, of which ``before`` bytes were read before (for the message
    when the stream is cut short)."""
    done = 0
    readinto = getattr(stream, "readinto", None)
    while done < len(memory):
        end = min(done + CHUNK_BYTES, len(memory))
        if readinto is not None:
            count = readinto(memory[done:end]) or 0
        else:
            data = stream.read(end - done)
            count = len(data)
            memory[done:done + count] = data
        if count == 0:
            raise NpyFormatError(
                f"cut short: it holds {before + done:,} of the {expected:,} bytes of data "
                "its header announces"
            )
        done += count


def write_array(stream: IO[bytes], array: np.ndarray, *, row_order: bool = False) -> None:
    """``array`` as an ``.npy`` stream: the bytes ``numpy.save`` writes, in chunks; with
    ``row_order``, those of ``numpy.save(np.ascontiguousarray(array))``."""
    if array.dtype.hasobject:
        raise NpyFormatError("holds Python objects, which are not saved as .npy")
    fortran = bool(array.flags.f_contiguous and not array.flags.c_contiguous) and not row_order
    header = {"descr": np.lib.format.dtype_to_descr(array.dtype),
              "fortran_order": fortran, "shape": array.shape}
    try:
        np.lib.format.write_array_header_1_0(stream, header)
    except ValueError:  # a header too long for version 1.0
        np.lib.format.write_array_header_2_0(stream, header)
    if array.size == 0:
        return
    if fortran:
        array = array.T
    if array.flags.c_contiguous:
        data = array.reshape(-1).view(np.uint8).data
        for start in range(0, len(data), CHUNK_BYTES):
            write_chunk(stream, data[start:start + CHUNK_BYTES])
        return
    # Strided: a few rows at a time are laid out in order, never the whole table.
    rows = array.reshape(array.shape[0], -1) if array.ndim > 1 else array.reshape(-1, 1)
    step = max(1, CHUNK_BYTES // max(1, rows.shape[1] * array.itemsize))
    for start in range(0, rows.shape[0], step):
        block = np.ascontiguousarray(rows[start:start + step])
        write_chunk(stream, block.reshape(-1).view(np.uint8).data)


def write_chunk(stream: IO[bytes], chunk: memoryview) -> None:
    """One chunk of an array's data."""
    stream.write(chunk)
