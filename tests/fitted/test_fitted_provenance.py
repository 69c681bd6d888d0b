"""What a router file keeps of the data it was fitted on, read back: the digest of its prompts,
its figures (read as unknown when missing or not as written), and the coverage tally's mean
and quartiles in bounded memory."""

import base64
import statistics

import pytest
from hypothesis import given, strategies as st

from halvec.fitted.coverage import CoverageTally, summarize, unlike
from halvec.fitted.provenance import Provenance, prompt_digest, prompt_hash, repeats

PROMPTS = ["What is 2 + 2?", "what is 2 + 2?", "Σ \ud800", "", "What is 2 + 2?"]


def test_the_digest_holds_each_distinct_prompt_once_and_tells_them_apart():
    digest = prompt_digest(PROMPTS)
    assert digest["method"] == "blake2b-64" and digest["distinct"] == 4
    assert len(base64.b64decode(digest["hashes"])) == 8 * 4 and "\n" not in digest["hashes"]
    known = Provenance.of({"prompt_digest": digest})
    assert known.fitted_share(["What is 2 + 2?", "What is 3 + 3?"]) == 0.5
    assert known.fitted_share(["Σ \ud800", ""]) == 1.0 and known.fitted_share([]) is None
    assert prompt_hash("a") != prompt_hash("a ") and repeats(PROMPTS) == 1 and repeats([]) == 0


@pytest.mark.parametrize("fitted_on", [
    {}, {"prompt_digest": "x"}, {"prompt_digest": {"method": "md5", "hashes": ""}},
    {"prompt_digest": {"method": "blake2b-64", "hashes": "not base64!"}},
    {"prompt_digest": {"method": "blake2b-64", "hashes": base64.b64encode(b"1234567").decode()}},
    {"cv_apgr": "high", "shares": {"complex": 1.5}, "coverage": {"mean": 0.5}},
    {"shares": [0.2], "coverage": {"prompts": -1, "without_tokens": 0, "mean": 0.5, "q1": 0.4, "median": 0.5,
                                   "q3": 0.6}},
    # numbers no float holds (JSON's 1e999 reads as an infinity): edited, not as fit writes them
    {"cv_apgr": 10**400, "shares": {"complex": 10**400}, "coverage": {"prompts": 1, "without_tokens": 0,
                                                                       "mean": 10**400, "q1": 0, "median": 0, "q3": 0}},
    {"cv_apgr": float("inf"), "shares": {"complex": float("nan")}},
])
def test_a_fitted_on_that_does_not_say_reads_as_unknown(fitted_on):
    read = Provenance.of(fitted_on)
    assert (read.cv_apgr, read.complex_share, read.coverage, read.hashes) == (None, None, None, None)
    assert read.fitted_share(["a"]) is None


def test_the_figures_fit_writes_read_back():
    coverage = {"prompts": 10, "without_tokens": 1, "mean": 0.5, "q1": 0.4, "median": 0.5, "q3": 0.6}
    read = Provenance.of({"cv_apgr": 0.69, "shares": {"complex": 0.34, "from": "--shares"}, "coverage": coverage})
    assert (read.cv_apgr, read.complex_share) == (0.69, 0.34)
    assert read.coverage is not None and read.coverage.as_json() == coverage
    assert unlike(0.39, 0.5) and not unlike(0.41, 0.5)


@given(st.lists(st.one_of(st.none(), st.integers(0, 1000).map(lambda k: k / 1000)), max_size=200))
def test_the_tally_gives_the_mean_and_quartiles_of_the_values(values):
    tally = CoverageTally()
    for start in range(0, len(values), 7):  # in batches, as a workload is read
        tally.add(values[start:start + 7])
    summary = tally.summary()
    counted = [v for v in values if v is not None]
    if not counted:
        assert summary is None and summarize(values) is None
        return
    assert summary == summarize(values)
    assert summary.prompts == len(counted) and summary.without_tokens == len(values) - len(counted)
    assert summary.mean == pytest.approx(statistics.fmean(counted))
    # values on the tally's thousandths: its quartiles are the inclusive quantiles exactly
    quartiles = statistics.quantiles(counted, n=4, method="inclusive") if len(counted) > 1 else [counted[0]] * 3
    assert [summary.q1, summary.median, summary.q3] == pytest.approx(quartiles, abs=1e-9)
