"""The command line's handling of text, in process and for any text: escapes that read back,
exact key matching with hints. tests/test_cli.py runs the program itself."""

import argparse
import ast

import pytest
from hypothesis import given
from hypothesis import strategies as st

from halvec.cli import options, output

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
