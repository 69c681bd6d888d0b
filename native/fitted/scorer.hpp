// A fitted router's scores of a text, one for each of its models, read as
// halvec.fitted.features reads it: lower-cased as str.lower() does, cut into
// tokens (runs of word characters, single other characters, digit runs as
// "<num>"), every n-gram of up to the router's longest looked up, and the
// words counted. For model m:
//
//   score[m] = intercepts[m] + sum(weight[m] * tfidf / norm) over the n-grams
//              found + the two count terms,
//
// where an n-gram found `c` times has tfidf = (1 + ln c) * idf, and norm is
// the Euclidean length of all the found n-grams' tfidf. The cost is linear
// in the text: one look-up per token and one per n-gram, none of them
// building a text; each n-gram found then adds its row of weights.
//
// The same pass counts the text's n-gram places (every run of 1 to the
// router's longest n tokens) and how many of them hold one of the router's
// n-grams: its coverage, how much of the text the router knows.
#pragma once

#include <cstdint>

#include "common/signals.hpp"
#include "fitted/tables.hpp"

namespace halvec::core::fitted {

// Scratch for one score: a count per n-gram (all zero, and left so) and room
// for the n-grams found (Tables::counts_size() and found_size() of them).
struct Scratch {
    std::uint64_t* counts;
    std::uint32_t* found;
};

// What a text read gives besides its scores: its n-gram places and how many
// of them hold one of the router's n-grams.
struct Reading {
    std::uint64_t places;
    std::uint64_t known;
};

// The reading of `text` (an exact str): its scores into `scores` (one for
// each of the tables' models) and the rest into `out`; false with an
// exception set when lower-casing fails or a signal handler raises. The text's
// characters count as work done in `pacing`, which checks for signals when
// one is due: a list of texts is scored with one pacing, so that many short
// texts stop for signals as one long one does. The caller holds `text` and
// the tables for the whole call: a signal handler may run Python code.
bool read(const Tables& tables, Scratch scratch, Borrowed text, SignalPacing& pacing, double* scores, Reading& out);

}  // namespace halvec::core::fitted
