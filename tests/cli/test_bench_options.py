"""bench's options refused where a run could not be what the user meant: a router named twice
(two rows of one name), a count of resamples past its bound (hours of work for a typo)."""

import json

import pytest

from halvec.cli import main


def _outcomes(path):
    lines = [json.dumps({"prompt": f"task {i} " + "word " * (i % 7), "scores": {"big": 1.0, "small": float(i % 2)}})
             for i in range(40)]
    path.write_text("\n".join(lines) + "\n")
    return str(path)


@pytest.mark.parametrize("routers", [["rules", "rules"], ["words", "rules", "words"], ["./r.json", "./r.json"]])
def test_a_router_given_twice_is_one_line(tmp_path, capsys, routers):
    data = _outcomes(tmp_path / "o.jsonl")
    args = [a for r in routers for a in ("--router", r)]
    assert main(["bench", data, "--strong", "big", "--weak", "small", *args]) == 2
    last = capsys.readouterr().err.splitlines()[-1]  # after the usage, as for any mistyped option
    assert last == f"halvec bench: error: --router {routers[-1]!r} is given twice: each router is measured once"


@pytest.mark.parametrize("count, ok", [("100000", True), ("100001", False), ("0", False), ("1e9", False)])
def test_resamples_are_bounded(tmp_path, capsys, count, ok):
    data = _outcomes(tmp_path / "o.jsonl")
    if ok:  # the bound itself parses (the run is not made: a bad --router stops it first)
        status = main(["bench", data, "--strong", "big", "--weak", "small", "--resamples", count,
                       "--router", "rules", "--router", "rules"])
        assert "given twice" in capsys.readouterr().err and status == 2
        return
    assert main(["bench", data, "--strong", "big", "--weak", "small", "--resamples", count]) == 2
    assert "--resamples: not a whole number from 1 to 100,000" in capsys.readouterr().err
