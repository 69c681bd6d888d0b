// The engine's side of the pattern test, for the code that runs Python code
// (which is compiled without exceptions): scans and single-pattern matchers.
// Each function turns the engine's std::bad_alloc into MemoryError and lets
// out nothing else but the unwinding with which the interpreter ends a
// thread at exit; the frames here hold no Python reference for it to drop.
#pragma once

#include "patterns/state.hpp"

namespace halvec::core {

// Runs `matcher` over `text` to its end, or until a pattern of `stop` has
// matched, stopping between slices of work for signal handlers. 0 with
// `found` (a bit per pattern) set, or -1 with the exception set (a handler's,
// or MemoryError). `paused` tells whether it stopped, and so whether Python
// code may have run meanwhile.
int scan(const std::shared_ptr<engine::Matcher>& matcher, const engine::Text& text, std::uint64_t stop,
         std::uint64_t& found, bool& paused);

// Like scan, for a caller that wants the lowest-numbered pattern of
// `candidates` that matches anywhere: stops as soon as no pattern numbered
// lower than those found can change the answer. `found` holds that lowest
// one among its bits (and possibly others), and `first_end` where its
// earliest match ends (kNoEnd when none of `candidates` matched).
inline constexpr std::size_t kNoEnd = ~std::size_t{0};
int scan_lowest(const std::shared_ptr<engine::Matcher>& matcher, const engine::Text& text, std::uint64_t candidates,
                std::uint64_t& found, std::size_t& first_end, bool& paused);

// The matcher for the exact str `pattern` searched on its own: 0 with
// `matcher` set (null when the engine leaves the pattern to `re`), or -1
// with MemoryError set.
int matcher_alone(PatternState& state, PyObject* pattern, std::shared_ptr<engine::Matcher>& matcher);

// Where the exact str `pattern` matches in `text`, as `re.search` reports
// it: 1 with `start` and `end` set (positions in `text`), 0 when it does not
// match, -2 when the engine cannot tell (outside its subset or bounds, or no
// room now: the caller asks `re`), or -1 with the exception set (a signal
// handler's, or MemoryError). `first_end`, when not kNoEnd, is where the
// earliest match of `pattern` ends, which spares reading most of the text.
int find_span(PatternState& state, PyObject* pattern, const engine::Text& text, std::size_t first_end,
              std::size_t& start, std::size_t& end);

}  // namespace halvec::core
