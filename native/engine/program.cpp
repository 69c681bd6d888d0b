#include "engine/program.hpp"

#include <algorithm>

namespace halvec::engine {
namespace {

// Beyond this many instructions, or this many characters in sets, a pattern
// (or list) is left to `re`.
constexpr std::size_t kMaxInsts = 50000;
constexpr std::size_t kMaxSetChars = std::size_t{1} << 18;
// Compiling visits a node once per copy a repeat makes of it; a body that
// emits nothing (an empty group) would never reach the instruction bound, so
// the visits are bounded too.
constexpr std::size_t kMaxCompileSteps = 4 * kMaxInsts;

}  // namespace

bool Program::in_set(std::size_t i, char32_t c) const {
    const std::u32string_view chars = set(i);
    return std::binary_search(chars.begin(), chars.end(), c);
}

int Program::emit(Inst inst) {
    if (insts_.size() >= kMaxInsts) return -1;
    insts_.push_back(inst);
    return static_cast<int>(insts_.size() - 1);
}

// A repeat compiles its operand once per copy; a set is stored only once.
int Program::set_number(const Node& node) {
    const auto found = set_nodes_.find(&node);
    if (found != set_nodes_.end()) return found->second;
    if (set_chars_.size() + node.chars.size() > kMaxSetChars) return -1;
    const int number = static_cast<int>(set_ranges_.size());
    set_ranges_.reserve(set_ranges_.size() + 1);
    set_nodes_.emplace(&node, number);
    const std::size_t first = set_chars_.size();
    set_chars_.insert(set_chars_.end(), node.chars.begin(), node.chars.end());
    set_ranges_.emplace_back(first, node.chars.size());
    return number;
}

// Compiled back to front: each piece is told where to go after it matches,
// so no exits need patching afterwards except a loop's own split.
int Program::compile(const Node& node, int next) {
    using K = Node::Kind;
    if (++steps_ > kMaxCompileSteps) return -1;
    switch (node.kind) {
        case K::Empty:
            return next;
        case K::Literal:
            return emit({.op = Inst::Op::Literal, .ch = node.ch, .out = next});
        case K::String: {
            int entry = next;
            for (auto it = node.chars.rbegin(); it != node.chars.rend() && entry >= 0; ++it) {
                entry = emit({.op = Inst::Op::Literal, .ch = *it, .out = entry});
            }
            return entry;
        }
        case K::Set: {
            const int set = set_number(node);
            return set < 0 ? -1 : emit({.op = Inst::Op::Set, .out = next, .pattern = set});
        }
        case K::Any:
            return emit({.op = Inst::Op::Any, .out = next});
        case K::Class:
            return emit({.op = Inst::Op::Class, .cls = node.cls, .out = next});
        case K::WordBoundary:
            return emit({.op = Inst::Op::WordBoundary, .out = next});
        case K::NotWordBoundary:
            return emit({.op = Inst::Op::NotWordBoundary, .out = next});
        case K::Concat: {
            int entry = next;
            for (auto it = node.children.rbegin(); it != node.children.rend() && entry >= 0; ++it) {
                entry = compile(*it, entry);
            }
            return entry;
        }
        case K::Alternate: {
            Vector<int> entries;
            for (const Node& child : node.children) {
                const int entry = compile(child, next);
                if (entry < 0) return -1;
                entries.push_back(entry);
            }
            int entry = entries.back();
            for (std::size_t i = entries.size() - 1; i-- > 0 && entry >= 0;) {
                entry = emit({.op = Inst::Op::Split, .out = entries[i], .out1 = entry});
            }
            return entry;
        }
        case K::Repeat: {
            const Node& body = node.children.front();
            int entry = next;
            if (node.max < 0) {
                const int loop = emit({.op = Inst::Op::Split});
                if (loop < 0) return -1;
                const int body_entry = compile(body, loop);
                if (body_entry < 0) return -1;
                insts_[static_cast<std::size_t>(loop)].out = body_entry;
                insts_[static_cast<std::size_t>(loop)].out1 = next;
                entry = loop;
            } else {
                for (int i = node.min; i < node.max && entry >= 0; ++i) {
                    const int body_entry = compile(body, entry);
                    if (body_entry < 0) return -1;
                    entry = emit({.op = Inst::Op::Split, .out = body_entry, .out1 = next});
                }
            }
            for (int i = 0; i < node.min && entry >= 0; ++i) entry = compile(body, entry);
            return entry;
        }
    }
    return -1;
}

bool Program::build(const Vector<const Node*>& patterns) {
    if (patterns.empty() || patterns.size() > kMaxPatterns) return false;
    insts_.clear();
    steps_ = 0;
    set_chars_.clear();
    set_ranges_.clear();
    set_nodes_.clear();
    Vector<int> entries;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        const int match = emit({.op = Inst::Op::Match, .pattern = static_cast<int>(i)});
        if (match < 0) return false;
        const int entry = compile(*patterns[i], match);
        if (entry < 0) return false;
        entries.push_back(entry);
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
