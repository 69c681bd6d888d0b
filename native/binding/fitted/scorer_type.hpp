// halvec._fitted.Scorer: a fitted router's scorer (halvec.fitted), its
// tables built once from the router file's content and counted against the
// memory budget of fitted routers (fitted/tables.hpp).
//
//   Scorer(ngrams, weights, idf, longest, intercept, words, characters)
//     ngrams: list[str]; weights, idf: list[float]; longest: 1 to 3;
//     intercept: float; words, characters: (weight, mean, scale)
//   .score(text: str) -> float
//   .scores(texts: list[str] | tuple[str, ...]) -> list[float]
//   .scores_and_coverage(texts) -> tuple[list[float], list[float | None]]
//   .ngrams -> int, .memory -> int (bytes held)
#pragma once

#include "common/refs.hpp"

namespace halvec::binding {

// The type, made for `module`; empty with an exception set on failure.
Owned make_scorer_type(Borrowed module);

}  // namespace halvec::binding
