// The figures of one bootstrap resample of a many-model routing measure
// (halvec.quality.models): each model alone, the hull of the models alone,
// each router's frontier with its hull, and fixed choices (an operating
// point, the oracle). A resample is a whole-number count of each prompt.
//
// The plain-Python definitions in halvec/quality/frontier.py are the
// reference: every sum here runs in the order theirs does, with the same
// operations, so that both give the same floats (the file is compiled with
// -ffp-contract=off: no fused multiply-adds).
#pragma once

#include <cstddef>
#include <cstdint>

namespace halvec::core::quality {

// A router's frontier as a resample reads it: each prompt's cost and result
// at tradeoff 0, then every change of a prompt's choice in order of the
// tradeoff (its prompt, and the cost and result it adds), and the number of
// changes up to each point after the first.
struct FrontierPlan {
    const double* start_costs;
    const double* start_results;
    const std::uint32_t* prompts;
    const double* costs;
    const double* results;
    const std::size_t* ends;
    std::size_t changes;
    std::size_t points;  // 1 + the number of ends
};

struct Plan {
    std::size_t prompts;
    std::size_t models;
    const double* results;  // prompts * models, a row per prompt
    const double* costs;
    const FrontierPlan* frontiers;
    std::size_t frontier_count;
    const std::uint32_t* choices;  // choice_count rows of a model per prompt
    std::size_t choice_count;
    const double* targets;
    std::size_t target_count;
};

struct Point {
    double cost;
    double result;
};

// Where a resample's figures go, laid out as the plan is:
//   models: models points (cost, result);
//   hulls: (1 + frontier_count) rows of (aiq, reach per target), the models
//     alone first; a reach that is None (never reached, or the best model
//     costs nothing) is NaN;
//   starts: frontier_count points, each frontier's choice at tradeoff 0;
//   choice_points: choice_count points; calls: choice_count * models counts.
struct Figures {
    Point* models;
    double* hulls;
    Point* starts;
    Point* choice_points;
    std::int64_t* calls;
};

// Room for the hull of the most points any frontier of the plan has, with
// the single models' points.
std::size_t scratch_points(const Plan& plan);

// The figures of the resample that holds prompt i counts[i] times (at least
// one prompt in all). `scratch` has room for scratch_points(plan) points.
// `work_done(units)` is told of the work done now and then, and stops the
// run when it returns nonzero: the result is then that value.
using WorkDone = int (*)(void* context, std::size_t units);
int figures(const Plan& plan, const std::int64_t* counts, Point* scratch, const Figures& out, WorkDone work_done,
            void* context);

}  // namespace halvec::core::quality
