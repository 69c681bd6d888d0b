"""Reading the text a command works on, from an argument, standard input or a file.

Text read from standard input or a file is decoded as UTF-8 (bytes that are not UTF-8 are
kept as the interpreter keeps them in arguments), and its trailing line breaks are dropped,
as the shell's ``$(...)`` drops them."""

from __future__ import annotations

import sys

from halvec.cli.options import TextSource, UsageError

__all__ = ["read_text"]


def read_text(source: TextSource) -> str:
    """The text from the argument, standard input (``-``) or ``--file``."""
    if source.argument is not None and source.path is not None:
        raise UsageError(f"give the {source.name} either as an argument or with --file, not both")
    if source.argument is None and source.path is None:
        raise UsageError(f"give a {source.name}, - to read it from standard input, or --file PATH")
    if source.argument is not None and source.argument != "-":
        return source.argument
    if source.path is None or source.path == "-":
        data = _read_stdin(source.name)
    else:
        data = _read_file(source.path)
    return data.decode("utf-8", "surrogateescape").rstrip("\r\n")


def _read_stdin(name: str) -> bytes:
    stdin = sys.stdin
    if stdin is None:
        raise UsageError(f"no standard input to read the {name} from")
    try:
        if hasattr(stdin, "buffer"):
            return stdin.buffer.read()
        return stdin.read().encode("utf-8", "surrogateescape")
    except OSError as error:
        raise UsageError(f"cannot read standard input: {error.strerror or error}") from None


def _read_file(path: str) -> bytes:
    try:
        with open(path, "rb") as file:
            return file.read()
    except OSError as error:
        raise UsageError(f"cannot read --file {path!r}: {error.strerror or error}") from None
