#include "patterns/cache.hpp"

#include "patterns/case_rules.hpp"
#include "patterns/unicode_predicates.hpp"

namespace halvec::core {
namespace {

constexpr std::size_t kMaxEntries = 256;
// A quarter of the engine's budget for compiled texts; the rest is for the
// plans and the DFA tables.
constexpr std::size_t kMaxBytes = engine::kMemoryBudget / 4;

std::size_t hash_step(std::size_t h, char32_t c) { return (h ^ c) * 0x100000001b3ull; }
constexpr std::size_t kHashSeed = 0xcbf29ce484222325ull;

}  // namespace

bool engine_has_room() noexcept {
    const auto within = [] { return engine::memory::in_use() <= engine::memory::budget() / 2; };
    if (within()) return true;
    engine::reclaim_all_but(nullptr);
    return within();
}

std::size_t CompileCache::Hash::operator()(const engine::U32String& key) const noexcept {
    std::size_t h = kHashSeed;
    for (char32_t c : key) h = hash_step(h, c);
    return h;
}

std::size_t CompileCache::Hash::operator()(const TextView& text) const noexcept {
    std::size_t h = kHashSeed;
    for (std::size_t i = 0; i < text.length; ++i) {
        h = hash_step(h, PyUnicode_READ(text.kind, text.data, static_cast<Py_ssize_t>(i)));
    }
    return h;
}

bool CompileCache::Equal::operator()(const TextView& a, const engine::U32String& b) const noexcept {
    if (a.length != b.size()) return false;
    for (std::size_t i = 0; i < a.length; ++i) {
        if (PyUnicode_READ(a.kind, a.data, static_cast<Py_ssize_t>(i)) != b[i]) return false;
    }
    return true;
}

std::shared_ptr<Compiled> CompileCache::get(PyObject* text) {
    if (text == last_text_.get() && last_->cached) {
        last_->last_use = ++clock_;
        return last_;
    }
    std::shared_ptr<Compiled> found = find_or_compile(text);
    if (found->cached) {
        last_text_ = Owned::take(text);
        last_ = found;
    }
    return found;
}

std::shared_ptr<Compiled> CompileCache::find_or_compile(PyObject* text) {
    const TextView view{PyUnicode_DATA(text), PyUnicode_KIND(text),
                        static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))};
    const auto found = entries_.find(view);
    if (found != entries_.end()) {
        found->second->last_use = ++clock_;
        return found->second;
    }
    auto made = engine::make_shared<Compiled>();
    // Texts too long for the engine are not kept: their keys alone would be large.
    if (view.length > engine::kMaxPatternLength) return made;

    const std::size_t before = engine::memory::in_use();
    engine::U32String key(view.length, U'\0');
    for (std::size_t i = 0; i < view.length; ++i) {
        key[i] = PyUnicode_READ(view.kind, view.data, static_cast<Py_ssize_t>(i));
    }
    made->tree = engine::parse(key, &case_rules());
    if (made->tree) {
        // A pattern too large for a program of its own is no use to the
        // engine, and its tree is not kept.
        engine::Program program;
        if (!program.build({made->tree.get()})) made->tree.reset();
    }
    made->last_use = ++clock_;
    made->bytes = engine::memory::in_use() - before + sizeof(Compiled);
    entries_.emplace(std::move(key), made);
    made->cached = true;
    bytes_ += made->bytes;
    make_room(made.get());
    return made;
}

std::shared_ptr<engine::Matcher> CompileCache::alone(Compiled& compiled) {
    if (compiled.alone || compiled.too_large || !compiled.tree) return compiled.alone;
    if (!engine_has_room()) return nullptr;
    const std::size_t before = engine::memory::in_use();
    engine::Program program;
    if (!program.build({compiled.tree.get()})) {
        compiled.too_large = true;
        return nullptr;
    }
    auto automaton = engine::make_shared<engine::Automaton>(std::move(program), unicode_predicates());
    compiled.alone = engine::make_shared<engine::Matcher>(std::move(automaton));
    count_growth(compiled, before);
    return compiled.alone;
}

bool CompileCache::span_parts(Compiled& compiled) {
    if (compiled.reverse && compiled.priority) return true;
    if (compiled.no_spans || !compiled.tree) return false;
    if (!engine_has_room()) return false;
    const std::size_t before = engine::memory::in_use();
    engine::Program reverse, priority;
    if (!reverse.build({compiled.tree.get()}, engine::Use::Reverse) ||
        !priority.build({compiled.tree.get()}, engine::Use::Priority)) {
        compiled.no_spans = true;
        return false;
    }
    auto reverse_automaton = engine::make_shared<engine::Automaton>(std::move(reverse), unicode_predicates());
    auto matcher = engine::make_shared<engine::Matcher>(std::move(reverse_automaton));
    auto priority_automaton = engine::make_shared<const engine::Automaton>(std::move(priority), unicode_predicates());
    auto search = engine::make_shared<engine::PrioritySearch>(std::move(priority_automaton));
    compiled.reverse = std::move(matcher);
    compiled.priority = std::move(search);
    compiled.longest = engine::longest_match(*compiled.tree);
    count_growth(compiled, before);
    return true;
}

// Counted while the entry is cached; the matchers' tables are not, since
// they give themselves back under pressure.
void CompileCache::count_growth(Compiled& compiled, std::size_t before) noexcept {
    if (!compiled.cached) return;
    const std::size_t grown = engine::memory::in_use() - before;
    compiled.bytes += grown;
    bytes_ += grown;
    make_room(&compiled);
}

// Evicts the least recently used entries (never `keep`) until the cache is
// within its bounds. Entries in use elsewhere live on with their users.
void CompileCache::make_room(const Compiled* keep) noexcept {
    while (entries_.size() > kMaxEntries || (bytes_ > kMaxBytes && entries_.size() > 1)) {
        auto oldest = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->second.get() == keep) continue;
            if (oldest == entries_.end() || it->second->last_use < oldest->second->last_use) oldest = it;
        }
        if (oldest == entries_.end()) return;
        bytes_ -= oldest->second->bytes;
        oldest->second->cached = false;
        entries_.erase(oldest);
    }
}

void CompileCache::clear() noexcept {
    last_text_.reset();
    last_.reset();
    for (auto& entry : entries_) entry.second->cached = false;
    entries_.clear();
    bytes_ = 0;
}

}  // namespace halvec::core
