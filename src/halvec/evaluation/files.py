"""The files a run's settings come from (prices, preferences): read whole within their cap,
as UTF-8, and refused as :class:`SettingsFileError`, which names the file as the path (the
command line names it by its option instead)."""

from __future__ import annotations

from halvec.reading import OPTION_FILE, NotUtf8, SourceProblem, TooLarge, read_text_file

__all__ = ["SettingsFileError", "read_settings_file"]


class SettingsFileError(SourceProblem, ValueError):
    """A prices or preferences file that cannot be used: where (the file, the line) and why."""


def read_settings_file(path: str) -> str:
    """The text of the file at ``path``: OSError when it cannot be read;
    :class:`SettingsFileError` when it is larger than its cap
    (:data:`halvec.reading.OPTION_FILE`) or is not UTF-8 (naming the line)."""
    try:
        return read_text_file(path, OPTION_FILE)
    except TooLarge as error:
        raise SettingsFileError(repr(path), str(error)) from None
    except NotUtf8 as error:
        raise SettingsFileError(repr(path), str(error), error.line) from None
