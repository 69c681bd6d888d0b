#include "core/regex_program.hpp"

#include <algorithm>

namespace halvec::core::regex {
namespace {

// Beyond this many instructions a pattern (or list) is left to `re`.
constexpr std::size_t kMaxInsts = 50000;

}  // namespace

int Program::emit(Inst inst) {
    if (insts_.size() >= kMaxInsts) return -1;
    insts_.push_back(inst);
    return static_cast<int>(insts_.size() - 1);
}

// Compiled back to front: each piece is told where to go after it matches,
// so no exits need patching afterwards except a loop's own split.
int Program::compile(const Node& node, int next) {
    using K = Node::Kind;
    switch (node.kind) {
        case K::Empty:
            return next;
        case K::Literal:
            literals_.push_back(node.ch);
            return emit({.op = Inst::Op::Literal, .ch = node.ch, .out = next});
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
            std::vector<int> entries;
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

bool Program::build(const std::vector<const Node*>& patterns) {
    if (patterns.empty() || patterns.size() > kMaxPatterns) return false;
    insts_.clear();
    literals_.clear();
    std::vector<int> entries;
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
    std::sort(literals_.begin(), literals_.end());
    literals_.erase(std::unique(literals_.begin(), literals_.end()), literals_.end());
    return true;
}

}  // namespace halvec::core::regex
