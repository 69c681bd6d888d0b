// Pattern texts compiled for the engine, keyed by their value, so that a
// list rebuilt with the same texts (or a pattern searched on its own, call
// after call) is not parsed again. Bounded in entries and in bytes; the
// least recently used entry goes first. Holds no Python objects.
#pragma once

#include <unordered_map>

#include "common/refs.hpp"
#include "engine/engine.hpp"

namespace halvec::core {

struct Compiled {
    engine::Tree tree;  // nullptr: outside the engine's subset
    // The matcher for this pattern searched on its own, made on first use;
    // `too_large` when its program would pass the engine's bounds.
    std::shared_ptr<engine::Matcher> alone;
    bool too_large = false;
    // What the span of its match takes, made on first use: a matcher on the
    // reversed pattern and the automaton that prefers as `re` does;
    // `no_spans` when either would pass the engine's bounds.
    std::shared_ptr<engine::Matcher> reverse;
    std::shared_ptr<engine::PrioritySearch> priority;
    std::size_t longest = engine::kUnbounded;  // the longest match, in characters
    bool no_spans = false;
    bool cached = false;  // counted in the cache's bytes
    std::uint64_t last_use = 0;
    std::size_t bytes = 0;
};

// Whether compiled patterns and programs may take more memory: they may
// have half the engine's budget (once the DFA tables of idle matchers are
// given back), the tables the rest. Past it, patterns go to `re` rather
// than holding more.
bool engine_has_room() noexcept;

class CompileCache {
public:
    // The compiled form of an exact str. May throw std::bad_alloc; the cache
    // is unchanged then.
    std::shared_ptr<Compiled> get(PyObject* text);
    // The matcher of `compiled` on its own, made if need be; nullptr when
    // the pattern is too large for a program of its own, or the engine has no
    // room for it now.
    std::shared_ptr<engine::Matcher> alone(Compiled& compiled);
    // The two parts of a span search for `compiled`, made if need be; false
    // when the pattern is too large for them or the engine has no room now.
    bool span_parts(Compiled& compiled);
    void clear() noexcept;

private:
    // A str's characters, looked up without copying them into a key.
    struct TextView {
        const void* data;
        int kind;
        std::size_t length;
    };
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(const engine::U32String& key) const noexcept;
        std::size_t operator()(const TextView& text) const noexcept;
    };
    struct Equal {
        using is_transparent = void;
        bool operator()(const engine::U32String& a, const engine::U32String& b) const noexcept { return a == b; }
        bool operator()(const TextView& a, const engine::U32String& b) const noexcept;
        bool operator()(const engine::U32String& a, const TextView& b) const noexcept { return (*this)(b, a); }
    };
    using Map = std::unordered_map<engine::U32String, std::shared_ptr<Compiled>, Hash, Equal,
                                   engine::Allocator<std::pair<const engine::U32String, std::shared_ptr<Compiled>>>>;

    std::shared_ptr<Compiled> find_or_compile(PyObject* text);
    void make_room(const Compiled* keep) noexcept;
    // Adds what `compiled` grew by since `before` to the cache's bytes.
    void count_growth(Compiled& compiled, std::size_t before) noexcept;

    Map entries_;
    // The str looked up last and its entry: an explanation asks for the
    // entry a scan has just matched, by the same object.
    Owned last_text_;
    std::shared_ptr<Compiled> last_;
    std::uint64_t clock_ = 0;
    std::size_t bytes_ = 0;
};

}  // namespace halvec::core
