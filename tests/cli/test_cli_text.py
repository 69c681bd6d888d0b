"""The command line's handling of text, in process and for any text: escapes that read back,
UTF-8 decoding that counts what it replaced, exact key matching with hints, JSON that any
parser takes. tests/cli/test_cli.py runs the program itself."""

import argparse
import ast
import codecs
import contextlib
import io
import json
import os

import pytest
from hypothesis import given
from hypothesis import strategies as st

from halvec.cli import options, output
from halvec.cli.inputs import Text, decode_argument, decode_utf8
from halvec.cli.options import InputError

KEYS = ["claude-opus", "claude-sonnet", "claude-haiku", "gpt-5.2"]

# any code point, lone surrogates and controls well represented (runs of each kind joined:
# hypothesis merges alternative character sets into one and then seldom draws the small ones)
texts = st.lists(st.one_of(
    st.text(st.characters(exclude_categories=())),
    st.text(st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF, exclude_categories=()), max_size=2),
    st.text(st.characters(max_codepoint=0x9F, exclude_categories=()), max_size=3),
    st.sampled_from(["\\", "'", "\n", "\r\n", "\t", "\x1b[31m", "\u202e", "\ufeff", "\u2028"]),
), max_size=6).map("".join)


# --- escapes ---------------------------------------------------------------------------------

@given(texts)
def test_escaped_text_is_one_printable_line_that_reads_back(text):
    shown = output.escape(text)
    assert shown.isprintable()  # no line break, no control character, no escape sequence
    # as Python writes escapes: the text reads back exactly, so no two texts look alike
    assert ast.literal_eval("'" + shown.replace("'", "\\'") + "'") == text
    # messages whose quoted parts are escaped already keep their backslashes single
    assert output.escape(text, backslash=False).isprintable()
    assert output.escape(text.replace("\\", ""), backslash=False) == output.escape(text.replace("\\", ""))


def test_table_cells_are_escaped_and_aligned():
    table = output.table(("key", "name"), [("a\nb", "x"), ("\x1b[2J", "y"), ("plain", "z")])
    assert table.splitlines() == ["key      name",
                                  "-------  ----",
                                  "a\\nb     x",
                                  "\\x1b[2J  y",
                                  "plain    z"]


# --- UTF-8 -----------------------------------------------------------------------------------

def _replace_and_count(data):
    """What Python's own decoder replaces, and the byte offset of each replacement."""
    offsets = []

    def handler(error):
        offsets.append(error.start)
        return "\ufffd", error.end
    codecs.register_error("test-cli-count", handler)
    return data.decode("utf-8", "test-cli-count"), offsets


byte_strings = st.lists(st.one_of(
    texts.map(lambda t: t.encode("utf-8", "replace")),
    st.binary(max_size=4),
    st.sampled_from([b"\n", b"\r\n", b"\xef\xbf\xbd", b"\xef\xbb\xbf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80",
                     b"\xe2\x82", b"\xc0\xaf"]),
)).map(b"".join)


@given(byte_strings)
def test_decoding_refuses_or_counts_each_replacement(data):
    expected, offsets = _replace_and_count(data)
    if not offsets:
        for errors in ("strict", "replace"):
            assert decode_utf8(data, "standard input", errors, lines=True) == Text(expected)
        return
    line = data.count(b"\n", 0, offsets[0]) + 1
    with pytest.raises(InputError) as refused:
        decode_utf8(data, "standard input", "strict", lines=True)
    assert str(refused.value) == (f"standard input is not valid UTF-8 on line {line} (byte 0x{data[offsets[0]]:02x}); "
                                  f"--encoding-errors replace reads it with U+FFFD in its place")
    lines = len({data.count(b"\n", 0, offset) for offset in offsets})
    replaced = decode_utf8(data, "standard input", "replace", lines=True)
    assert replaced.text == expected
    assert replaced.replaced == (
        f"standard input: replaced what is not valid UTF-8 with U+FFFD in {len(offsets)} "
        f"place{'s' if len(offsets) > 1 else ''} on {lines} line{'s' if lines > 1 else ''} (the first on line {line})")


@given(byte_strings)
def test_an_argument_is_read_as_the_utf8_bytes_it_was_given(data):
    # the interpreter hands arguments over decoded with surrogateescape (a UTF-8 locale here)
    argument = os.fsdecode(data)
    expected, offsets = _replace_and_count(data)
    replaced = decode_argument(argument, "argument DESCRIPTION", "replace")
    assert replaced.text == expected
    assert (replaced.replaced is None) == (not offsets)
    if offsets:
        assert replaced.replaced.endswith(f" in {len(offsets)} place{'s' if len(offsets) > 1 else ''}")
        with pytest.raises(InputError, match=r"^argument DESCRIPTION is not valid UTF-8 \(byte 0x"):
            decode_argument(argument, "argument DESCRIPTION", "strict")


# --- keys: exact matching, hints for a near miss ---------------------------------------------

def _variants(key):
    """Texts a user might type for ``key``: its letter case changed, blanks around it."""
    return st.tuples(st.lists(st.booleans(), min_size=len(key), max_size=len(key)),
                     st.sampled_from(["", " ", "\t"]), st.sampled_from(["", " "])).map(
        lambda t: t[1] + "".join(c.upper() if up else c for c, up in zip(key, t[0])) + t[2])


@given(st.sampled_from([*KEYS, "auto"]).flatmap(lambda key: st.tuples(st.just(key), _variants(key))))
def test_a_model_key_matches_exactly_and_a_variant_gets_a_hint(pair):
    key, typed = pair
    if typed == key:
        assert options.model_choice(typed) == key
        return
    with pytest.raises(argparse.ArgumentTypeError) as refused:
        options.model_choice(typed)
    assert str(refused.value).endswith(f"; did you mean {key!r}?")


@given(texts)
def test_any_other_text_is_refused_and_any_hint_is_a_valid_choice(text):
    if text in (*KEYS, "auto"):
        return
    with pytest.raises(argparse.ArgumentTypeError) as refused:
        options.model_choice(text)
    message = str(refused.value)
    assert message.startswith(f"unknown model key {text!r} (choose from {', '.join(KEYS)}, or auto)")
    hint = options.near_miss(text, [*KEYS, "auto"])
    assert hint is None or hint in (*KEYS, "auto")
    assert ("did you mean" in message) == (hint is not None)


# --- JSON ------------------------------------------------------------------------------------

@given(texts, texts)
def test_json_is_ascii_and_never_carries_a_lone_surrogate(key, text):
    written = io.StringIO()
    with contextlib.redirect_stdout(written):
        output.json_document({key: [text, {"message": text}]})
    document = written.getvalue()
    assert document.isascii() and document.endswith("\n")
    value = json.loads(document)
    (loaded_key,) = value
    for loaded in (loaded_key, value[loaded_key][0], value[loaded_key][1]["message"]):
        loaded.encode("utf-8")  # valid Unicode text: no lone surrogate survived
    if not any("\ud800" <= c <= "\udfff" for c in key + text):
        assert value == {key: [text, {"message": text}]}  # and nothing else changed
