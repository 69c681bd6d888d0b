"""Opening a source: a file by its path or standard input (``-``), and what its first bytes
say it is (gzip-compressed, or not text at all)."""

from __future__ import annotations

import os
import re
import sys
from dataclasses import dataclass
from typing import BinaryIO, Final

__all__ = ["BINARY", "GZIP", "Binary", "binary_kind", "not_text", "open_source", "where_of"]

GZIP: Final = b"\x1f\x8b"
"""The first bytes of gzip data: such a source is read as it is decompressed."""


@dataclass(frozen=True)
class Binary:
    """A kind of file that is not text, by its first bytes."""

    magic: bytes
    name: str
    """``bzip2``, ``zip``, ``UTF-16``."""
    what: str
    """What it is and what to do: ``bzip2-compressed; decompress it first``."""


BINARY: Final = (Binary(b"\xff\xfe", "UTF-16", "UTF-16 text; save it as UTF-8"),
                 Binary(b"\xfe\xff", "UTF-16", "UTF-16 text; save it as UTF-8"),
                 Binary(b"BZh", "bzip2", "bzip2-compressed; decompress it first"),
                 Binary(b"\xfd7zXZ\x00", "xz", "xz-compressed; decompress it first"),
                 Binary(b"\x28\xb5\x2f\xfd", "zstd", "zstd-compressed; decompress it first"),
                 Binary(b"PK\x03\x04", "zip", "a zip archive"),
                 Binary(b"7z\xbc\xaf\x27\x1c", "7-Zip", "a 7-Zip archive"),
                 Binary(b"%PDF-", "PDF", "a PDF document"))
_BZIP2: Final = re.compile(rb"BZh[1-9]1AY&SY")  # "BZh" alone may start a text


def binary_kind(start: bytes) -> Binary | None:
    """The kind of file whose first bytes are ``start``, when they show it is not text."""
    for kind in BINARY:
        if start.startswith(kind.magic) and (kind.name != "bzip2" or _BZIP2.match(start)):
            return kind
    return None


def not_text(start: bytes) -> str | None:
    """Why a source whose first bytes are ``start`` is not text (its kind, or NUL bytes in
    them), or None."""
    kind = binary_kind(start)
    if kind is not None:
        return kind.what
    return "it holds NUL bytes" if b"\0" in start[:8192] else None


def where_of(path: str) -> str:
    """A source as messages name it: ``standard input`` for ``-``, else the path quoted."""
    return "standard input" if path == "-" else repr(path)


def open_source(path: str) -> tuple[BinaryIO, str, int | None]:
    """The stream to read ``path`` from (``-``: standard input), its name for messages and its
    size when known; OSError when it cannot be opened."""
    if path == "-":
        stdin = sys.stdin
        if stdin is None:
            raise OSError("no standard input")
        buffer: BinaryIO = stdin.buffer
        return buffer, where_of(path), None
    stream = open(path, "rb")
    try:
        size: int | None = os.fstat(stream.fileno()).st_size or None
    except OSError:
        size = None
    return stream, where_of(path), size
