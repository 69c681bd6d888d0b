// halvec._quality.Resampler: the figures of bootstrap resamples of a
// many-model routing measure (halvec.quality.models), from a plan copied in
// once (quality/resample.hpp says what it holds and measures).
//
//   Resampler(prompts, models, results, costs, frontiers, choices, targets)
//     prompts, models: int; results, costs: list[float] (a row per prompt);
//     frontiers: list of (start_costs, start_results, prompts, costs,
//       results, ends); choices: list of list[int] (a model per prompt);
//     targets: list[float]
//   .figures(counts: list[int]) -> (models, hulls, starts, choices)
//   .memory -> int (bytes held)
#pragma once

#include "common/refs.hpp"

namespace halvec::binding {

// The type, made for `module`; empty with an exception set on failure.
Owned make_resampler_type(Borrowed module);

}  // namespace halvec::binding
