"""Text from bytes: UTF-8, a byte-order mark at the start dropped, and where bytes that are not
UTF-8 are when they are refused."""

from __future__ import annotations

from typing import Final, Literal

from halvec.reading.caps import Cap, read_file

__all__ = ["BOM", "EncodingErrors", "NotUtf8", "decode", "read_text_file"]

BOM: Final = b"\xef\xbb\xbf"
"""UTF-8's byte-order mark: dropped at the start of whatever is read."""

EncodingErrors = Literal["strict", "replace"]
"""What becomes of bytes that are not UTF-8: refused, or read as U+FFFD."""


class NotUtf8(ValueError):
    """Bytes that are not UTF-8: the first that is not, its offset (from 0, after a byte-order
    mark) and its line (from 1)."""

    def __init__(self, data: bytes, offset: int) -> None:
        self.offset: int = offset
        self.byte: int = data[offset]
        self.line: int = data.count(b"\n", 0, offset) + 1
        super().__init__(f"not valid UTF-8 (byte 0x{self.byte:02x})")


def decode(data: bytes) -> str:
    """``data`` as text, a byte-order mark at its start dropped; :class:`NotUtf8` where it is
    not UTF-8."""
    data = data.removeprefix(BOM)
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise NotUtf8(data, error.start) from None


def read_text_file(path: str, cap: Cap) -> str:
    """The text of a small file, read whole: OSError when it cannot be read, TooLarge past the
    cap, :class:`NotUtf8` where it is not UTF-8."""
    return decode(read_file(path, cap))
