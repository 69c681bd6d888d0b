"""The lines of a source, read a block at a time: gzip recognised and decompressed as it is
read, what is not text refused, a byte-order mark dropped, the lines split and decoded as
UTF-8 (refused, or read with U+FFFD), and no line kept longer than its cap, so that memory
stays bounded whatever the source holds."""

from __future__ import annotations

import gzip
import zlib
from collections.abc import Callable, Iterator
from typing import BinaryIO, Final, cast

from halvec.reading.problems import SourceProblem
from halvec.reading.sources import GZIP, not_text
from halvec.reading.text import BOM, EncodingErrors

__all__ = ["BLOCK_SIZE", "TOO_LONG_BYTE", "TOO_LONG_LINE", "Lines", "TooLong", "refuse_binary"]

BLOCK_SIZE: Final = 1 << 20
"""Bytes read at a time."""
_BLANK: Final = b" \t\r\n\f\v"


class TooLong:
    """In the place of a line longer than its cap, of which only that much was read."""


TOO_LONG_LINE: Final = TooLong()
TOO_LONG_BYTE: Final = -1
"""A decoded line that is this int in the place of its text was too long (another int is the
first byte of a line that is not UTF-8)."""


def refuse_binary(start: bytes) -> str | None:
    """The problem of a source whose first bytes show it is not text, or None."""
    kind = not_text(start)
    return None if kind is None else f"not a text file ({kind})"


class _Counted:
    """A stream that hands out ``first`` before the rest of ``stream``, and counts what it
    hands out (the compressed bytes read, for the progress)."""

    def __init__(self, first: bytes, stream: BinaryIO) -> None:
        self._first = first
        self._stream = stream
        self.count: int = 0

    def read(self, size: int = -1) -> bytes:
        if self._first:
            data, self._first = (self._first, b"") if size < 0 else (self._first[:size], self._first[size:])
        else:
            data = self._stream.read(size)
        self.count += len(data)
        return data


class Lines:
    """The lines of ``stream``, named ``where`` in messages, a block at a time.

    ``max_line`` is the most bytes a line may have (without its break): a longer one comes
    alone, as :data:`TOO_LONG_LINE`, and no more of it is kept. ``errors`` says what becomes
    of a line that is not UTF-8. ``first_line`` numbers the stream's first line: 1 for a whole
    source, more for a part that starts further on (which has no start to look at).
    Problems are raised as ``problem`` (a :class:`SourceProblem` subclass): a source that
    ``refuse`` finds is not text (given its first bytes), and a read that fails
    (:meth:`unreadable` says it)."""

    def __init__(self, stream: BinaryIO, where: str, *, max_line: int, errors: EncodingErrors = "strict",
                 block_size: int = BLOCK_SIZE, first_line: int = 1, problem: type[SourceProblem] = SourceProblem,
                 refuse: Callable[[bytes], str | None] = refuse_binary) -> None:
        self.stream: BinaryIO = stream
        self.where: str = where
        self.max_line: int = max_line
        self.errors: EncodingErrors = errors
        self.block_size: int = min(block_size, max_line)
        self.first_line: int = first_line
        """The number of the stream's first line; moved on past the blank lines :meth:`open`
        drops."""
        self.problem: type[SourceProblem] = problem
        self._refuse = refuse
        self.replaced_lines: int = 0
        self.first_replaced: int | None = None
        self.first_block: bytes = b""
        self.leading_blank_lines: int = 0
        self.compressed: _Counted | None = None
        """The compressed source, when ``stream`` decompresses it."""
        self.last_line: int | None = None
        """The last line :meth:`numbered` handed out (None before it starts)."""
        self._read_count = 0
        self._ended = False

    @property
    def bytes_read(self) -> int:
        """Bytes of the source read so far (compressed bytes, for a compressed source)."""
        return self.compressed.count if self.compressed is not None else self._read_count

    def unreadable(self, error: Exception) -> SourceProblem:
        """The problem of a read that failed with ``error`` (damaged gzip data, an OSError)."""
        if isinstance(error, OSError) and not isinstance(error, gzip.BadGzipFile):
            return self.problem(self.where, f"cannot be read: {error.strerror or error}")
        return self.problem(self.where, f"cannot be read: its gzip data is damaged ({error})")

    def _read(self) -> bytes:
        # read1 hands over what a pipe holds now, up to a block, rather than waiting for a
        # whole block: tasks are counted as they arrive. The end is read once: a terminal
        # would wait for another Ctrl-D.
        if self._ended:
            return b""
        read: Callable[[int], bytes] = getattr(self.stream, "read1", None) or self.stream.read
        try:
            data = read(self.block_size)
        except (EOFError, zlib.error, OSError) as error:
            raise self.unreadable(error) from None
        self._read_count += len(data)
        self._ended = not data
        return data

    def _read_at_least(self, size: int) -> bytes:
        data = self._read()
        while 0 < len(data) < size:
            more = self._read()
            if not more:
                break
            data += more
        return data

    def open(self) -> bytes:
        """Reads a whole source up to its first line that is not blank, however its bytes
        arrive: decompresses gzip, refuses what is not text, drops a byte-order mark and the
        blank lines before that line (counted). Returns the start of that line (to choose the
        format by), which :meth:`chunks` hands out again."""
        data = self._read_at_least(len(BOM) + 1)
        if data.startswith(GZIP):
            self.compressed = _Counted(data, self.stream)
            self.stream = cast(BinaryIO, gzip.GzipFile(fileobj=cast(BinaryIO, self.compressed), mode="rb"))
            self._ended = False
            data = self._read_at_least(len(BOM) + 1)
        refused = self._refuse(data)
        if refused is not None:
            raise self.problem(self.where, refused)
        data = data.removeprefix(BOM)
        while not data.lstrip(_BLANK) and len(data) <= self.max_line:
            # blank so far: the whole blank lines are counted and dropped as they come
            cut = data.rfind(b"\n") + 1
            self.leading_blank_lines += data.count(b"\n", 0, cut)
            more = self._read()
            if not more:
                data = data[cut:]
                break
            data = data[cut:] + more
        blank = data[:len(data) - len(data.lstrip(_BLANK))]
        cut = blank.rfind(b"\n") + 1
        self.leading_blank_lines += blank.count(b"\n", 0, cut)
        self.first_line += self.leading_blank_lines
        self.first_block = data[cut:]
        return self.first_block

    def data(self) -> Iterator[bytes]:
        """The stream's bytes as they are read, from where :meth:`open` left it."""
        data = self.first_block or self._read()
        self.first_block = b""
        while data:
            yield data
            data = self._read()

    def chunks(self) -> Iterator[bytes | TooLong]:
        """The stream's lines a block at a time: whole lines, without the line break after
        the last. A line longer than ``max_line`` comes alone, as :data:`TOO_LONG_LINE`, as
        soon as it is found too long (a reader that stops there reads no further); the rest of
        it is read past, not kept. (A block is never longer than ``max_line``, so a line that
        a block holds whole is never too long.)"""
        limit = self.max_line
        pending: list[bytes] = []  # the line read so far
        size = 0
        dropping = False  # the line read so far is too long: the rest of it is dropped
        data = self.first_block or self._read()
        self.first_block = b""
        while data:
            if pending or dropping:
                end = data.find(b"\n")
                if end >= 0 and (dropping or size + end > limit):
                    if not dropping:
                        yield TOO_LONG_LINE
                    pending, size, dropping = [], 0, False
                    data = data[end + 1:] or self._read()
                    continue
            cut = data.rfind(b"\n") if not dropping else -1
            if cut >= 0:
                pending.append(data[:cut])
                yield b"".join(pending)
                rest = data[cut + 1:]
                pending, size = ([rest], len(rest)) if rest else ([], 0)
            elif not dropping:
                pending.append(data)
                size += len(data)
            if size > limit:
                pending, size, dropping = [], 0, True
                yield TOO_LONG_LINE
            data = self._read()
        if pending:
            yield b"".join(pending)

    def raw_blocks(self) -> Iterator[tuple[int, list[bytes] | TooLong]]:
        """(number of the first line, lines): the lines of a block as bytes, without their
        line break; a line too long comes alone, as :data:`TOO_LONG_LINE`."""
        number = self.first_line
        for chunk in self.chunks():
            if isinstance(chunk, TooLong):
                yield number, chunk
                number += 1
                continue
            lines = chunk.split(b"\n")
            yield number, lines
            number += len(lines)

    def numbered(self) -> Iterator[tuple[int, bytes | TooLong]]:
        """Each line as bytes, without its line break (:data:`TOO_LONG_LINE` for one too
        long), with its number; :attr:`last_line` follows them."""
        self.last_line = self.first_line - 1
        for number, lines in self.raw_blocks():
            if isinstance(lines, TooLong):
                self.last_line = number
                yield number, lines
                continue
            for self.last_line, line in enumerate(lines, number):
                yield self.last_line, line

    def blocks(self) -> Iterator[tuple[int, list[str | int]]]:
        """(number of the first line, lines): lines without their line break, each as
        :meth:`decode_line` gives it (a line too long as :data:`TOO_LONG_BYTE`)."""
        for number, lines in self.raw_blocks():
            yield number, [TOO_LONG_BYTE] if isinstance(lines, TooLong) else self.decode(lines, number)

    def decode(self, lines: list[bytes], number: int) -> list[str | int]:
        """``lines`` (the first numbered ``number``) as text."""
        try:
            decoded: list[str | int] = list(b"\n".join(lines).decode("utf-8").split("\n"))
            return decoded
        except UnicodeDecodeError:
            return [self.decode_line(raw, number + offset) for offset, raw in enumerate(lines)]

    def decode_line(self, raw: bytes, number: int) -> str | int:
        """One line as text, with U+FFFD in place of what is not UTF-8 when replacement is
        asked for; otherwise, for a line that is not UTF-8, its first bad byte: the reader
        reports it when it reaches the line, so that problems are reported in the order of the
        lines, and nothing is kept per line meanwhile."""
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError as error:
            if self.errors != "replace":
                return raw[error.start]
        self.replaced(number)
        return raw.decode("utf-8", "replace")

    def replaced(self, number: int, lines: int = 1) -> None:
        """Counts ``lines`` lines read with U+FFFD, the first numbered ``number``."""
        self.replaced_lines += lines
        if self.first_replaced is None:
            self.first_replaced = number
