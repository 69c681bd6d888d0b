"""Reading what a user gives, the one way for every kind of file: tasks, outcomes, pattern
lists, fitted routers, prices and preferences.

- :mod:`~halvec.reading.problems`: :class:`SourceProblem`, what was read and cannot be used
  (where, the line, what), with a subclass for each kind of source.
- :mod:`~halvec.reading.sources`: a path or standard input opened, and what its first bytes
  say it is (gzip, or not text: the table of kinds).
- :mod:`~halvec.reading.lines`: :class:`Lines`, a source's lines a block at a time (gzip
  decompressed, byte-order mark dropped, UTF-8 refused or replaced, each line capped).
- :mod:`~halvec.reading.text` and :mod:`~halvec.reading.caps`: a small file read whole within
  its cap, as UTF-8 text.
- :mod:`~halvec.reading.documents`: a small settings document parsed, TOML or JSON.
- :mod:`~halvec.reading.hints`: the near miss a message suggests for a mistyped name.
"""

from __future__ import annotations

from halvec.reading.caps import DESCRIPTION, OPTION_FILE, OUTCOME_LINE, ROUTER_FILE, Cap, TooLarge, read_bounded, read_file
from halvec.reading.documents import parsed_document
from halvec.reading.hints import near_miss, unknown
from halvec.reading.lines import BLOCK_SIZE, TOO_LONG_BYTE, TOO_LONG_LINE, Lines, TooLong, refuse_binary
from halvec.reading.problems import SourceProblem
from halvec.reading.sources import BINARY, GZIP, Binary, binary_kind, not_text, open_source, where_of
from halvec.reading.text import BOM, EncodingErrors, NotUtf8, decode, read_text_file

__all__ = ["BINARY", "BLOCK_SIZE", "BOM", "DESCRIPTION", "GZIP", "OPTION_FILE", "OUTCOME_LINE", "ROUTER_FILE", "TOO_LONG_BYTE",
           "TOO_LONG_LINE", "Binary", "Cap", "EncodingErrors", "Lines", "NotUtf8", "SourceProblem", "TooLarge",
           "TooLong", "binary_kind", "decode", "near_miss", "not_text", "open_source", "parsed_document", "read_bounded",
           "read_file", "read_text_file", "refuse_binary", "unknown", "where_of"]
