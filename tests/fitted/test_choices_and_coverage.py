"""A router of many models gives each text's choice and coverage in one pass, the same as the
two apart, with the same refusals."""

import pytest
from hypothesis import given, strategies as st

from test_fitted_models import MODELS, router_of

ROUTER = router_of()
WORDS = ["prove", "that", "the", "sum", "of", "name", "42", "%", "?", "é", "σας", "_x", "", " ", "İ"]


@given(texts=st.lists(st.lists(st.sampled_from(WORDS), max_size=12).map(" ".join), max_size=8),
       usable=st.sets(st.sampled_from(MODELS), min_size=1), tradeoff=st.sampled_from([None, 0.0, 5.0, 1e6]))
def test_one_pass_gives_what_the_two_give(texts, usable, tradeoff):
    assert ROUTER.choose_batch_and_coverage(texts, usable, tradeoff) == (
        ROUTER.choose_batch(texts, usable, tradeoff), ROUTER.coverage(texts))
    assert ROUTER.choose_batch_and_coverage(iter(texts)) == (ROUTER.choose_batch(texts), ROUTER.coverage(texts))


def test_the_same_refusals():
    with pytest.raises(ValueError, match="not one of the models"):
        ROUTER.choose_batch_and_coverage(["x"], ["nope"])
    with pytest.raises(ValueError, match="finite number at least 0"):
        ROUTER.choose_batch_and_coverage(["x"], tradeoff=-1.0)
    with pytest.raises(TypeError):
        ROUTER.choose_batch_and_coverage(["x", 3])
    with pytest.raises(TypeError):
        ROUTER._models.choices_and_coverage(["x"], 1)
