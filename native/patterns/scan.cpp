#include "patterns/scan.hpp"

#include "common/signals.hpp"

namespace halvec::core {
namespace {

// Work between two signal checks: a few million characters on built tables,
// fewer where states are being computed; a few milliseconds either way.
constexpr std::size_t kWorkBetweenSignalChecks = std::size_t{1} << 20;

// Runs `shared` (or, should a paused scan hold it, a fresh matcher on its
// automaton) over `text` until a pattern of `stop` matches or the text ends.
// With `lowest`, a stop is followed by the rest of the text for the patterns
// numbered below those found, until none is left.
int run_scan(const std::shared_ptr<engine::Matcher>& shared, const engine::Text& text, std::uint64_t stop,
             bool lowest, std::uint64_t& found, std::size_t& first_end, bool& paused) {
    paused = false;
    first_end = kNoEnd;
    try {
        std::shared_ptr<engine::Matcher> matcher = shared;
        // A scan paused on this matcher (this call's own caller, reached again
        // from a signal handler, or another thread meanwhile) keeps it; this
        // one gets a fresh matcher on the same automaton.
        if (matcher->busy()) matcher = engine::make_shared<engine::Matcher>(shared->automaton());
        const engine::Matcher::Use use(*matcher);
        engine::Scan progress;
        progress.track = lowest ? stop : 0;
        progress.goes_on = lowest;  // only the lowest-entry scan goes on after a stop
        for (;;) {
            matcher->advance(text, progress, stop, kWorkBetweenSignalChecks);
            if (progress.done) {
                const std::uint64_t hit = progress.found & stop;
                if (!lowest || !hit) break;
                first_end = progress.last_match;  // the scan stopped where the first of them matched
                // Only a pattern numbered lower than the lowest found yet can change the answer.
                stop = stop & ((hit & (~hit + 1)) - 1);
                if (!stop) break;
                progress.track = stop;
                progress.done = false;
                continue;
            }
            paused = true;
            if (check_signals() < 0) return -1;
        }
        found = progress.found;
        return 0;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

}  // namespace

int scan(const std::shared_ptr<engine::Matcher>& matcher, const engine::Text& text, std::uint64_t stop,
         std::uint64_t& found, bool& paused) {
    std::size_t first_end;
    return run_scan(matcher, text, stop, false, found, first_end, paused);
}

int scan_lowest(const std::shared_ptr<engine::Matcher>& matcher, const engine::Text& text, std::uint64_t candidates,
                std::uint64_t& found, std::size_t& first_end, bool& paused) {
    return run_scan(matcher, text, candidates, true, found, first_end, paused);
}

int matcher_alone(PatternState& state, PyObject* pattern, std::shared_ptr<engine::Matcher>& matcher) {
    try {
        const std::shared_ptr<Compiled> compiled = state.cache().get(pattern);
        matcher = state.cache().alone(*compiled);
        return 0;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

int find_span(PatternState& state, PyObject* pattern, const engine::Text& text, std::size_t first_end,
              std::size_t& start, std::size_t& end) {
    try {
        const std::shared_ptr<Compiled> compiled = state.cache().get(pattern);
        if (!state.cache().span_parts(*compiled)) return -2;
        std::shared_ptr<engine::Matcher> reverse = compiled->reverse;
        // As for a scan: a matcher in use elsewhere is left to its user.
        if (reverse->busy()) reverse = engine::make_shared<engine::Matcher>(reverse->automaton());
        std::shared_ptr<engine::PrioritySearch> preferred = compiled->priority;
        if (preferred->busy()) preferred = engine::make_shared<engine::PrioritySearch>(preferred->automaton());
        engine::SpanSearch search(std::move(reverse), std::move(preferred));
        const std::size_t longest = compiled->longest;
        search.bound(longest);
        if (first_end != kNoEnd && longest != engine::kUnbounded && first_end <= text.size()) {
            search.limit(first_end > longest ? first_end - longest : 0, std::min(text.size(), first_end + longest));
        }
        while (!search.advance(text, kWorkBetweenSignalChecks)) {
            if (check_signals() < 0) return -1;
        }
        if (!search.found()) return 0;
        start = search.start();
        end = search.end();
        return 1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

}  // namespace halvec::core
