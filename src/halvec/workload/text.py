"""Plain text: one description a line."""

from __future__ import annotations

from collections.abc import Iterator

from halvec.reading import Lines
from halvec.workload.batch import Account, Batch

__all__ = ["read_text"]


def read_text(lines: Lines, account: Account) -> Iterator[Batch]:
    """The tasks of ``lines``, a block at a time; a line that is blank (a carriage return
    before its break aside) is counted, one that is not text is a bad line."""
    for number, block in lines.blocks():
        numbers: list[int] = []
        descriptions: list[str] = []
        for offset, line in enumerate(block):
            if isinstance(line, int):
                account.unread(number + offset, line)
                continue
            if line.endswith("\r"):
                line = line[:-1]
            if not line or line.isspace():
                account.blank_lines += 1
                continue
            numbers.append(number + offset)
            descriptions.append(line)
        yield Batch(numbers, descriptions)
