"""Reading the text a command works on, from an argument, standard input or a file; and a
settings file an option names (:func:`option_file`).

Text is UTF-8 wherever it comes from. Bytes that are not UTF-8 are an input error (one
line, no usage) that says where they are, unless ``--encoding-errors replace`` is given: then they are read as U+FFFD
and the command says how much it replaced. A UTF-8 byte-order mark at the start of standard
input or a file is dropped, and so are the trailing line breaks of either, as the shell's
``$(...)`` drops them. Either is read no further than its cap
(:data:`halvec.reading.DESCRIPTION`): ``/dev/zero`` or an endless pipe is one line.

An argument reaches the program as the interpreter decoded it with the locale's encoding,
bytes it could not decode kept as lone surrogates (``surrogateescape``): only an argument
that holds such bytes is looked at again, as the UTF-8 it should have been."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import TypeVar

from halvec import reading
from halvec.cli.options import EncodingErrors, InputError, TextSource, UsageError
from halvec.cli.output_files import Input, check_report_destination
from halvec.evaluation import SettingsFileError
from halvec.reading import BOM

__all__ = ["Text", "decode_argument", "decode_utf8", "option_file", "read_text", "refuse_report_into_inputs"]

T = TypeVar("T")

_REPLACEMENT_CHARACTER = "\ufffd"
_REPLACEMENT_CHARACTER_UTF8 = _REPLACEMENT_CHARACTER.encode("utf-8")


@dataclass(frozen=True)
class Text:
    """Text read for a command."""

    text: str
    replaced: str | None = None
    """What ``--encoding-errors replace`` replaced, said for standard error; None when nothing."""


def read_text(source: TextSource) -> Text:
    """The text from the argument, standard input (``-``) or ``--file``."""
    if source.argument is not None and source.path is not None:
        raise UsageError(f"give the {source.name} either as an argument or with --file, not both")
    if source.argument is None and source.path is None:
        raise UsageError(f"give a {source.name}, - to read it from standard input, or --file PATH")
    if source.argument is not None and source.argument != "-":
        return decode_argument(source.argument, f"argument {source.name.upper()}", source.errors)
    if source.path is None or source.path == "-":
        where, data = "standard input", _read_stdin(source.name)
    else:
        where, data = f"--file {source.path!r}", _read_file(source.path)
    text = decode_utf8(data.removeprefix(BOM), where, source.errors, lines=True)
    return Text(text.text.rstrip("\r\n"), text.replaced)


def refuse_report_into_inputs(source: TextSource, files: Iterable[tuple[str, str | None]]) -> None:
    """Refuses (:class:`InputError`) to run when standard output, where the report goes, is
    a regular file the command reads: the text's file, standard input when the text is read
    from it, or one of ``files`` ((option, path or None)): ``halvec classify --file notes.txt
    >> notes.txt`` would add the report to the notes."""
    inputs: list[tuple[str, Input]] = [(f"{option} {path!r}", path) for option, path in files if path is not None]
    path = source.path
    if path is not None and path != "-":
        inputs.append((f"--file {path!r}", path))
    elif "-" in (path, source.argument):
        inputs.append(("standard input", 0))
    check_report_destination(inputs)


def _read_stdin(name: str) -> bytes:
    stdin = sys.stdin
    if stdin is None:
        raise InputError(f"no standard input to read the {name} from")
    cap = reading.DESCRIPTION
    try:
        if hasattr(stdin, "buffer"):
            return reading.read_bounded(stdin.buffer, cap)
        data = stdin.read(cap.bytes + 1).encode("utf-8", "surrogateescape")
        if len(data) > cap.bytes:
            raise reading.TooLarge(cap)
        return data
    except OSError as error:
        raise InputError(f"cannot read standard input: {error.strerror or error}") from None
    except reading.TooLarge as error:
        raise InputError(f"standard input: {error}") from None


def _read_file(path: str) -> bytes:
    try:
        return reading.read_file(path, reading.DESCRIPTION)
    except OSError as error:
        raise InputError(f"cannot read --file {path!r}: {error.strerror or error}") from None
    except reading.TooLarge as error:
        raise InputError(f"--file {path!r}: {error}") from None


def decode_argument(argument: str, where: str, errors: EncodingErrors) -> Text:
    """An argument's text, its undecodable bytes (if any) checked as UTF-8."""
    try:
        argument.encode("utf-8")
        return Text(argument)  # no lone surrogates: the interpreter decoded every byte
    except UnicodeEncodeError:
        pass
    try:
        data = os.fsencode(argument)  # the bytes the program was given
    except UnicodeEncodeError:  # a surrogate the locale's decoding cannot have made
        data = argument.encode("utf-8", "surrogatepass")
    return decode_utf8(data, where, errors, lines=False)


def decode_utf8(data: bytes, where: str, errors: EncodingErrors, *, lines: bool) -> Text:
    """``data`` decoded as UTF-8; ``where`` names it in messages, by line with ``lines``."""
    try:
        return Text(data.decode("utf-8"))
    except UnicodeDecodeError as error:
        first = error.start
    first_line = data.count(b"\n", 0, first) + 1
    if errors == "strict":
        at = f" on line {first_line}" if lines else ""
        raise InputError(f"{where} is not valid UTF-8{at} (byte 0x{data[first]:02x}); "
                         f"--encoding-errors replace reads it with U+FFFD in its place")
    text = data.decode("utf-8", "replace")
    # Valid UTF-8 never holds a part of an invalid sequence, so every U+FFFD that the input
    # did not spell out itself is one replacement; a line break is never part of one either,
    # so the n-th line of the text is the n-th line of the bytes.
    places = text.count(_REPLACEMENT_CHARACTER) - data.count(_REPLACEMENT_CHARACTER_UTF8)
    detail = f"{places} place{'s' if places != 1 else ''}"
    if lines:
        with_replacements = sum(
            1 for raw, decoded in zip(data.split(b"\n"), text.split("\n"))
            if decoded.count(_REPLACEMENT_CHARACTER) != raw.count(_REPLACEMENT_CHARACTER_UTF8))
        detail += (f" on {with_replacements} line{'s' if with_replacements != 1 else ''}"
                   f" (the first on line {first_line})")
    return Text(text, f"{where}: replaced what is not valid UTF-8 with U+FFFD in {detail}")


def option_file(option: str, path: str, load: Callable[[str], T]) -> T:
    """What the file an option names holds, loaded by the library; its problem named by the
    option (``--prices 'p.toml'``)."""
    try:
        return load(path)
    except OSError as error:
        raise InputError(f"cannot read {option} {path!r}: {error.strerror or error}") from None
    except SettingsFileError as problem:
        raise InputError(str(problem.named(f"{option} {path!r}"))) from None
