#include "engine/program.hpp"

#include <algorithm>

namespace halvec::engine {
namespace {

// Beyond this many instructions, or this many characters in sets, a pattern
// (or list) is left to `re`.
constexpr std::size_t kMaxInsts = 50000;
constexpr std::size_t kMaxSetRanges = std::size_t{1} << 18;
// Compiling visits a node once per copy a repeat makes of it; a body that
// emits nothing (an empty group) would never reach the instruction bound, so
// the visits are bounded too.
constexpr std::size_t kMaxCompileSteps = 4 * kMaxInsts;

// Whether `node` can match without consuming a character.
bool nullable(const Node& node) {
    using K = Node::Kind;
    switch (node.kind) {
        case K::Empty:
        case K::Assert: return true;
        case K::Literal:
        case K::String:
        case K::Set:
        case K::Any: return false;
        case K::Concat:
            return std::all_of(node.children.begin(), node.children.end(), nullable);
        case K::Alternate:
            return std::any_of(node.children.begin(), node.children.end(), nullable);
        case K::Repeat: return node.min == 0 || nullable(node.children.front());
    }
    return true;
}

bool single_character(const Node& n) {
    return n.kind == Node::Kind::Literal ||
           (n.kind == Node::Kind::Set && !n.set.negated && !n.set.categories);
}

std::uint8_t assertion_bits(const Node& node) {
    std::uint8_t bits = node.kind == Node::Kind::Assert ? context_bits(node.assertion) : 0;
    for (const Node& child : node.children) bits |= assertion_bits(child);
    return bits;
}

}  // namespace

int Program::emit(Inst inst) {
    if (insts_.size() >= kMaxInsts) return -1;
    insts_.push_back(inst);
    return static_cast<int>(insts_.size() - 1);
}

int Program::add_set(CharSet set) {
    if (set_chars_ + set.ranges.size() > kMaxSetRanges) return -1;
    set_chars_ += set.ranges.size();
    sets_.push_back(std::move(set));
    return static_cast<int>(sets_.size() - 1);
}

// A repeat compiles its operand once per copy; a set is stored only once.
int Program::set_number(const Node& node) {
    const auto found = set_nodes_.find(&node);
    if (found != set_nodes_.end()) return found->second;
    set_nodes_.reserve(set_nodes_.size() + 1);
    const int number = add_set(node.set);
    if (number >= 0) set_nodes_.emplace(&node, number);
    return number;
}

// Compiled back to front: each piece is told where to go after it matches,
// so no exits need patching afterwards except a loop's own split. Read in
// reverse, a sequence is compiled in the other order.
int Program::compile(const Node& node, int next) {
    using K = Node::Kind;
    if (++steps_ > kMaxCompileSteps || next < 0) return -1;
    const bool reverse = use_ == Use::Reverse;
    switch (node.kind) {
        case K::Empty:
            return next;
        case K::Literal:
            return emit({.op = Inst::Op::Char, .ch = node.ch, .out = next});
        case K::String: {
            int entry = next;
            const auto& chars = node.chars;
            for (std::size_t k = 0; k < chars.size() && entry >= 0; ++k) {
                const char32_t c = reverse ? chars[k] : chars[chars.size() - 1 - k];
                entry = emit({.op = Inst::Op::Char, .ch = c, .out = entry});
            }
            return entry;
        }
        case K::Set: {
            const int set = set_number(node);
            return set < 0 ? -1 : emit({.op = Inst::Op::Set, .out = next, .arg = set});
        }
        case K::Any:
            return emit({.op = node.dotall ? Inst::Op::AnyAll : Inst::Op::Any, .out = next});
        case K::Assert:
            return emit({.op = Inst::Op::Assert, .assertion = node.assertion, .out = next});
        case K::Concat: {
            int entry = next;
            const auto& children = node.children;
            for (std::size_t k = 0; k < children.size() && entry >= 0; ++k) {
                entry = compile(reverse ? children[k] : children[children.size() - 1 - k], entry);
            }
            return entry;
        }
        case K::Alternate:
            return compile_alternate(node, next);
        case K::Repeat:
            return compile_repeat(node, next);
    }
    return -1;
}

int Program::compile_alternate(const Node& node, int next) {
    Vector<int> entries;
    if (use_ != Use::Priority &&
        std::count_if(node.children.begin(), node.children.end(), single_character) >= 2) {
        // `(a|b|xy|c)` as `([abc]|xy)`: a match exists through one of them
        // exactly when it exists through the set, and one set is one step of
        // the search however many characters it holds.
        for (const Node& child : node.children) {
            if (single_character(child)) continue;
            const int entry = compile(child, next);
            if (entry < 0) return -1;
            entries.push_back(entry);
        }
        // One set however many copies a repeat makes of the alternation.
        int set;
        const auto found = set_nodes_.find(&node);
        if (found != set_nodes_.end()) {
            set = found->second;
        } else {
            CharSet gathered;
            for (const Node& child : node.children) {
                if (child.kind == Node::Kind::Literal) gathered.add(child.ch);
                else if (single_character(child)) gathered.ranges.insert(gathered.ranges.end(), child.set.ranges.begin(), child.set.ranges.end());
            }
            gathered.normalize();
            set_nodes_.reserve(set_nodes_.size() + 1);
            set = add_set(std::move(gathered));
            if (set < 0) return -1;
            set_nodes_.emplace(&node, set);
        }
        const int entry = emit({.op = Inst::Op::Set, .out = next, .arg = set});
        if (entry < 0) return -1;
        entries.push_back(entry);
    } else {
        for (const Node& child : node.children) {
            const int entry = compile(child, next);
            if (entry < 0) return -1;
            entries.push_back(entry);
        }
    }
    int entry = entries.back();
    for (std::size_t i = entries.size() - 1; i-- > 0 && entry >= 0;) {
        entry = emit({.op = Inst::Op::Split, .out = entries[i], .out1 = entry});
    }
    return entry;
}

// `min` copies of the body, then the optional part: a loop, or max - min
// nested optional copies. A split lists the preferred way first: the body
// when greedy, the way out when lazy. Under `re`'s rule (Use::Priority), an
// optional iteration that has consumed nothing leaves the loop: its body is
// entered through a copy that goes on to the exit where the body would have
// gone back to the loop, and back to the body proper once it consumes.
int Program::compile_repeat(const Node& node, int next) {
    const Node& body = node.children.front();
    const bool progress_rule = use_ == Use::Priority && nullable(body);
    auto split = [&](int body_entry, int exit) {
        return node.greedy ? Inst{.op = Inst::Op::Split, .out = body_entry, .out1 = exit}
                           : Inst{.op = Inst::Op::Split, .out = exit, .out1 = body_entry};
    };
    int entry = next;
    if (node.max < 0) {
        const int loop = emit({.op = Inst::Op::Split});
        if (loop < 0) return -1;
        const int first = static_cast<int>(insts_.size());
        int body_entry = compile(body, loop);
        if (body_entry < 0) return -1;
        if (progress_rule) {
            body_entry = copy_without_progress(first, static_cast<int>(insts_.size()), body_entry, loop, next);
            if (body_entry < 0) return -1;
        }
        insts_[static_cast<std::size_t>(loop)] = split(body_entry, next);
        entry = loop;
    } else {
        for (int i = node.min; i < node.max && entry >= 0; ++i) {
            const int first = static_cast<int>(insts_.size());
            int body_entry = compile(body, entry);
            if (body_entry < 0) return -1;
            if (progress_rule && entry != next) {
                body_entry = copy_without_progress(first, static_cast<int>(insts_.size()), body_entry, entry, next);
                if (body_entry < 0) return -1;
            }
            entry = emit(split(body_entry, next));
        }
    }
    for (int i = 0; i < node.min && entry >= 0; ++i) entry = compile(body, entry);
    return entry;
}

int Program::copy_without_progress(int first, int last, int entry, int loop, int exit) {
    const int offset = static_cast<int>(insts_.size()) - first;
    auto inside = [&](int target) { return target >= first && target < last; };
    for (int i = first; i < last; ++i) {
        Inst copy = insts_[static_cast<std::size_t>(i)];
        if (copy.consumes()) {
            // Consumed: from here on the iteration has made progress.
        } else {
            for (std::int32_t* target : {&copy.out, &copy.out1}) {
                if (inside(*target)) *target += offset;
                else if (*target == loop) *target = exit;
            }
        }
        if (emit(copy) < 0) return -1;
    }
    return inside(entry) ? entry + offset : (entry == loop ? exit : entry);
}

bool Program::build(const Vector<const Node*>& patterns, Use use) {
    if (patterns.empty() || patterns.size() > kMaxPatterns) return false;
    if (use == Use::Priority && patterns.size() != 1) return false;
    use_ = use;
    insts_.clear();
    steps_ = 0;
    sets_.clear();
    set_chars_ = 0;
    set_nodes_.clear();
    context_mask_ = 0;
    Vector<int> entries;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        const int match = emit({.op = Inst::Op::Match, .arg = static_cast<int>(i)});
        if (match < 0) return false;
        const int entry = compile(*patterns[i], match);
        if (entry < 0) return false;
        entries.push_back(entry);
        context_mask_ |= assertion_bits(*patterns[i]);
    }
    int entry = entries.back();
    for (std::size_t i = entries.size() - 1; i-- > 0 && entry >= 0;) {
        entry = emit({.op = Inst::Op::Split, .out = entries[i], .out1 = entry});
    }
    if (entry < 0) return false;
    start_ = entry;
    patterns_ = patterns.size();
    // The nodes belong to the caller's trees; nothing may point at them later.
    SetNumbers().swap(set_nodes_);
    insts_.shrink_to_fit();
    return true;
}

}  // namespace halvec::engine
