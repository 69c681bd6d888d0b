"""Prompts read once for fitting (needs the extra ``halvec[fit]``): each prompt's n-gram counts
as one sparse matrix, beside its two counts, from which every fit of a cross-validation takes
its rows. A prompt is read once however many fits there are, and its n-grams are counted as
they are made, never listed: a 10 MB prompt read for each of eleven fits, its n-grams listed
each time, took minutes and gigabytes.

The matrix's columns are the n-grams that any fit can keep, those in at least ``min_prompts``
prompts, in code-point order. A fit on some of the rows keeps the columns that
scikit-learn's ``TfidfVectorizer(min_df=min_prompts, max_features=most)`` keeps when fitted on
those prompts (:meth:`Corpus.columns`), in the same order, so the fit is the one that
vectorizer would give (tests/fitted/test_fitted_fit.py compares the two).
"""

from __future__ import annotations

import importlib
from array import array
from collections import Counter
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from halvec.fitted import features

__all__ = ["Corpus", "count_ngrams", "read"]


def _module(name: str) -> Any:
    return importlib.import_module(name)  # numpy and scipy carry no type information here


def count_ngrams(text: str, longest: int) -> Counter[str]:
    """How often ``text`` holds each of its n-grams (:func:`features.ngrams`, counted)."""
    found = features.tokens(text)
    counted = Counter(found)
    for n in range(2, longest + 1):
        counted.update(map(" ".join, zip(*(found[i:] for i in range(n)))))
    return counted


@dataclass(frozen=True)
class Corpus:
    """The prompts, read."""

    ngrams: list[str]
    """The columns: every n-gram in ``min_prompts`` prompts or more, in code-point order."""
    counts: Any
    """A scipy CSR matrix, a row a prompt, of how often it holds each n-gram (int64)."""
    sizes: Any
    """A numpy array, a row a prompt, of its :func:`features.counts`."""
    groups: Any
    """A numpy array, a prompt's text's place among the different texts, in the order they
    first appear: the copies of a text share it (cross-validation keeps them in one fold)."""

    def __len__(self) -> int:
        return int(self.counts.shape[0])

    def columns(self, rows: Any, *, min_prompts: int, most: int) -> Any:
        """The columns a fit on ``rows`` keeps: those in at least ``min_prompts`` of its
        prompts, and of them the ``most`` that occur most often, ranked as scikit-learn's
        vectorizer ranks them (its sort of the same totals in the same order)."""
        numpy = _module("numpy")
        part = self.counts[rows]
        prompts = numpy.bincount(part.indices, minlength=part.shape[1])  # a row holds a column once
        mask = prompts >= min_prompts
        if mask.sum() > most:
            totals = numpy.asarray(part.sum(axis=0)).ravel()
            chosen = (-totals[mask]).argsort()[:most]
            kept = numpy.zeros(len(mask), dtype=bool)
            kept[numpy.where(mask)[0][chosen]] = True
            mask = kept
        return numpy.where(mask)[0]


def read(texts: Iterable[str], *, longest: int, min_prompts: int) -> Corpus:
    """Reads ``texts`` once: their n-grams of up to ``longest`` tokens, counted."""
    numpy, sparse = _module("numpy"), _module("scipy.sparse")
    ids: dict[str, int] = {}  # every n-gram seen, by when it was first seen
    indices, data, ends = array("q"), array("q"), array("q", [0])
    sizes: list[tuple[float, float]] = []
    first: dict[str, int] = {}  # each different text's place
    groups = array("q")
    for text in texts:
        groups.append(first.setdefault(text, len(first)))
        counted = count_ngrams(text, longest)
        indices.extend([ids.setdefault(gram, len(ids)) for gram in counted])
        data.extend(counted.values())
        ends.append(len(indices))
        sizes.append(features.counts(text))
    found = numpy.frombuffer(indices, dtype=numpy.int64)
    prompts = numpy.bincount(found, minlength=len(ids))
    ngrams = sorted(gram for gram, i in ids.items() if prompts[i] >= min_prompts)
    column = numpy.full(len(ids), -1, dtype=numpy.int64)
    column[[ids[gram] for gram in ngrams]] = numpy.arange(len(ngrams), dtype=numpy.int64)
    del ids
    mapped = column[found]
    kept = mapped >= 0
    before = numpy.concatenate(([0], numpy.cumsum(kept)))  # entries kept before each place
    counts = sparse.csr_matrix((numpy.frombuffer(data, dtype=numpy.int64)[kept], mapped[kept],
                                before[numpy.frombuffer(ends, dtype=numpy.int64)]),
                               shape=(len(sizes), len(ngrams)), dtype=numpy.int64)
    counts.sort_indices()
    return Corpus(ngrams, counts, numpy.array(sizes, dtype=float).reshape(-1, len(features.COUNT_NAMES)),
                  numpy.frombuffer(groups, dtype=numpy.int64).astype(numpy.intp))


def counts_of(texts: Sequence[str], columns: Mapping[str, int], longest: int) -> Any:
    """A CSR matrix of how often each text holds each n-gram of ``columns`` (n-gram to column)."""
    numpy, sparse = _module("numpy"), _module("scipy.sparse")
    indices, data, ends = array("q"), array("q"), array("q", [0])
    for text in texts:
        for gram, count in count_ngrams(text, longest).items():
            at = columns.get(gram)
            if at is not None:
                indices.append(at)
                data.append(count)
        ends.append(len(indices))
    matrix = sparse.csr_matrix((numpy.frombuffer(data, dtype=numpy.int64), numpy.frombuffer(indices, dtype=numpy.int64),
                                numpy.frombuffer(ends, dtype=numpy.int64)), shape=(len(texts), len(columns)),
                               dtype=numpy.int64)
    matrix.sort_indices()
    return matrix
