// halvec._fitted.ModelScorer: a fitted router that predicts each of its
// models' result on a text in one pass (its n-grams' tables built once, as
// Scorer's are, with a row of weights an n-gram), prices each model for the
// text and chooses among them (fitted/choice.hpp).
//
//   ModelScorer(models, ngrams, weights, idf, longest, intercepts, words, characters, per_prompt,
//               per_input_token)
//     models: tuple or list of 1 to 16 distinct str; ngrams: list[str]; weights: list of lists of
//     one float a model; idf: list[float]; longest: 1 to 3; intercepts, per_prompt,
//     per_input_token: lists of one float a model (prices finite and at least 0); words,
//     characters: (weights: list of one float a model, mean, scale)
//   .qualities(text) -> dict[str, float]          every model's predicted result, in order
//   .prices(text) -> dict[str, float]
//   .choose(text, usable: int, tradeoff: float) -> str
//                                      usable: a mask, bit m for models[m]
//   .qualities_of(texts, flat=False), .prices_of(texts, flat=False)
//                                      a list of rows, or (flat) a memoryview of doubles, row after row
//   .choices(texts, usable, tradeoff) -> list[str]
//   .coverage(texts) -> list[float | None]
//   .models -> tuple[str, ...], .ngrams -> int, .memory -> int (bytes held)
#pragma once

#include "common/refs.hpp"

namespace halvec::binding {

// The type, made for `module`; empty with an exception set on failure.
Owned make_model_scorer_type(Borrowed module);

}  // namespace halvec::binding
