"""A settings document parsed from its text: each way a text holds no document is one problem of
the caller's kind, naming the line where the parser or the text tells it."""

import pytest

from halvec.reading import SourceProblem, parsed_document


class Refused(SourceProblem):
    pass


@pytest.mark.parametrize("text, toml, problem, line", [
    ('{"a": 1,\n "b": 2,\n "a": 3}', False, "the key 'a' is written twice", 3),
    ('{"a": {"x": 1},\n "b": {"x": 2, "x": 3}}', False, "the key 'x' is written twice", 2),
    ('{"a": NaN}', False, "NaN is not a price", None),
    ('{"a": -Infinity}', False, "-Infinity is not a price", None),
    ('{"a": 1,\n x}', False, "not valid JSON: Expecting property name", 2),
    ("[" * 100_000, False, "not valid JSON: nested too deeply", None),
    ('{"a": 1' + "0" * 5000 + "}", False, "not valid JSON: Exceeds the limit", None),
    ("a = 1\na = 2\n", True, "not valid TOML: ", None),
    ("a = " + "[" * 100_000, True, "not valid TOML: ", None),
])
def test_a_text_that_holds_no_document_is_one_problem(text, toml, problem, line):
    with pytest.raises(Refused) as refused:
        parsed_document(text, "'f'", Refused, toml=toml, number="a price")
    assert refused.value.problem.startswith(problem) and refused.value.line == line
    assert str(refused.value).startswith("'f'")


def test_a_document_is_what_the_standard_parsers_give():
    assert parsed_document('{"a": [1, 2.5, "x"]}', "'f'", Refused, toml=False, number="a price") == {"a": [1, 2.5, "x"]}
    assert parsed_document("a = [1, 2.5]\n[b]\nc = 'x'\n", "'f'", Refused, toml=True, number="a price") == {
        "a": [1, 2.5], "b": {"c": "x"}}
