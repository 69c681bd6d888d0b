"""Task descriptions read from a file or a stream, in batches, with every line accounted for.

Four formats: JSONL (one JSON object per line, the description under a named field, with
optional ``"id"``, ``"model"``, ``"input_tokens"`` and ``"output_tokens"``, which may be
named ``"prompt_tokens"`` and ``"completion_tokens"`` instead, or given in a ``"usage"``
object as OpenAI's and Anthropic's APIs report them; a chat record, with ``"messages"`` and
no description field, gives its last user message that holds text), a JSON file holding one
array of such objects, CSV (or TSV) with a header row (the same names as columns) and plain
text (one description per line). A token count is a whole number, 0 or more; a number with a
fraction of zero (``12.0``) is one. A record's model is a request when it names a catalogue
model (by its key, or as its provider or LiteLLM names it); another name is counted, and the
task requests nothing. The input is UTF-8; a byte-order mark at its start
is dropped; gzip-compressed input is recognised by its first bytes and read as it is
decompressed; input whose first bytes show it is not text (NUL bytes, another compressed or
binary format) is refused whole. It is read in blocks of about a megabyte, so memory stays
flat whatever its size, and handed on as :class:`Batch` columns.

Every line is one of: a task, a blank line (counted), or a bad line. A bad line raises
:class:`InputProblem`, which names the source and the line, unless the reader skips bad
lines, when it is counted and the first few are kept with their problem. Bytes that are not
UTF-8 are a bad line too, unless they are read as U+FFFD (``encoding_errors="replace"``),
which is counted by line. A line longer than :data:`MAX_LINE` bytes is a bad line, read no
further than that limit (so is a JSON array's record, and a CSV cell), so memory stays bounded
whatever the input holds.

JSON is read with ``orjson`` when it is installed and the standard library's ``json``
otherwise; a line ``orjson`` refuses is read again with ``json``, whose rules decide (so
both read the same files the same way, lone surrogates and NaN included). An ``"id"`` that
holds NaN or an infinity is a bad line: what is written about the task is strict JSON,
which has neither.

The modules: :mod:`~halvec.workload.reader` (the reader, which chooses the format),
one for each format (:mod:`~halvec.workload.text`, :mod:`~halvec.workload.jsonl`,
:mod:`~halvec.workload.json_array`, :mod:`~halvec.workload.delimited`), the checks of a
record (:mod:`~halvec.workload.records`, :mod:`~halvec.workload.chat`), what a reader hands
on (:mod:`~halvec.workload.batch`) and JSON as they read it (:mod:`~halvec.workload.json_values`).
Reading bytes as lines is :mod:`halvec.reading`'s.
"""

from __future__ import annotations

from halvec.reading import BLOCK_SIZE, EncodingErrors, open_source
from halvec.workload.batch import KEPT_BAD_LINES, MAX_LINE, BadLine, Batch, InputProblem, Remedy
from halvec.workload.chat import conversation_tokens
from halvec.workload.json_values import fast_json, loads
from halvec.workload.reader import Format, ReadOptions, TaskReader, format_for
from halvec.workload.records import KEPT_MODEL_NAMES

__all__ = ["BLOCK_SIZE", "KEPT_BAD_LINES", "KEPT_MODEL_NAMES", "MAX_LINE", "BadLine", "Batch", "EncodingErrors",
           "Format", "InputProblem", "ReadOptions", "Remedy", "TaskReader", "conversation_tokens", "fast_json",
           "format_for", "loads", "open_source"]
