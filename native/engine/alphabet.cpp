#include "engine/alphabet.hpp"

#include <algorithm>
#include <numeric>

namespace halvec::engine {
namespace {

// A character the program names, and what names it: a Literal (-1) or the
// number of a set.
struct Naming {
    char32_t c;
    std::int32_t by;
    auto operator<=>(const Naming&) const = default;
};

// One named character: its properties and its namings (a run of `namings`).
struct NamedChar {
    char32_t c;
    std::uint32_t first;
    std::uint32_t size;
    std::uint8_t flags;
};

// Characters that every instruction treats alike share a class: the same
// properties and the same sets. A literal names its character alone, so a
// literal character is always a class of its own.
bool same_class(const NamedChar& a, const NamedChar& b, const Vector<Naming>& namings) {
    if (a.flags != b.flags || a.size != b.size) return false;
    const bool literal = namings[a.first].by < 0;
    if (literal != (namings[b.first].by < 0) || (literal && a.c != b.c)) return false;
    for (std::uint32_t i = 0; i < a.size; ++i) {
        if (namings[a.first + i].by != namings[b.first + i].by) return false;
    }
    return true;
}

bool class_order(const NamedChar& a, const NamedChar& b, const Vector<Naming>& namings) {
    if (a.flags != b.flags) return a.flags < b.flags;
    const bool a_literal = namings[a.first].by < 0, b_literal = namings[b.first].by < 0;
    if (a_literal != b_literal) return a_literal;
    if (a_literal && a.c != b.c) return a.c < b.c;
    return std::lexicographical_compare(
        namings.begin() + a.first, namings.begin() + a.first + a.size, namings.begin() + b.first,
        namings.begin() + b.first + b.size, [](const Naming& x, const Naming& y) { return x.by < y.by; });
}

}  // namespace

Alphabet::Alphabet(const Program& program, const Predicates& predicates) : predicates_(predicates) {
    const Vector<Inst>& insts = program.insts();
    Vector<Naming> namings;
    for (const Inst& inst : insts) {
        if (inst.op == Inst::Op::Literal) namings.push_back({inst.ch, -1});
    }
    for (std::size_t s = 0; s < program.set_count(); ++s) {
        for (char32_t c : program.set(s)) namings.push_back({c, static_cast<std::int32_t>(s)});
    }
    std::sort(namings.begin(), namings.end());
    namings.erase(std::unique(namings.begin(), namings.end()), namings.end());

    Vector<NamedChar> chars;  // in code point order
    for (std::size_t i = 0; i < namings.size();) {
        std::size_t j = i;
        while (j < namings.size() && namings[j].c == namings[i].c) ++j;
        chars.push_back({namings[i].c, static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j - i),
                         flags_of(namings[i].c)});
        i = j;
    }

    // Group the characters into classes, then number the classes: those
    // holding an ASCII character first (the tables for ASCII are small and
    // always have a column), then the categories, then the rest.
    Vector<std::uint32_t> order(chars.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return class_order(chars[a], chars[b], namings);
    });
    Vector<std::int32_t> group(chars.size());
    Vector<bool> group_has_ascii;
    Vector<char32_t> group_char;
    for (std::size_t k = 0; k < order.size(); ++k) {
        const NamedChar& c = chars[order[k]];
        if (k == 0 || !same_class(chars[order[k - 1]], c, namings)) {
            group_has_ascii.push_back(false);
            group_char.push_back(c.c);
        }
        group[order[k]] = static_cast<std::int32_t>(group_char.size() - 1);
        if (c.c < 128) group_has_ascii.back() = true;
    }
    const int groups = static_cast<int>(group_char.size());
    Vector<std::int32_t> class_of_group(static_cast<std::size_t>(groups));
    int next = 0;
    for (int g = 0; g < groups; ++g) {
        if (group_has_ascii[static_cast<std::size_t>(g)]) class_of_group[static_cast<std::size_t>(g)] = next++;
    }
    categories_ = next;
    next += kCategories;
    for (int g = 0; g < groups; ++g) {
        if (!group_has_ascii[static_cast<std::size_t>(g)]) class_of_group[static_cast<std::size_t>(g)] = next++;
    }

    flags_.resize(static_cast<std::size_t>(next));
    representative_.resize(static_cast<std::size_t>(next));
    for (int f = 0; f < kCategories; ++f) flags_[static_cast<std::size_t>(categories_ + f)] = static_cast<std::uint8_t>(f);
    for (int g = 0; g < groups; ++g) {
        const auto cls = static_cast<std::size_t>(class_of_group[static_cast<std::size_t>(g)]);
        representative_[cls] = group_char[static_cast<std::size_t>(g)];
        flags_[cls] = flags_of(group_char[static_cast<std::size_t>(g)]);
    }

    for (char32_t c = 0; c < 128; ++c) ascii_[c] = categories_ + flags_of(c);
    for (std::size_t i = 0; i < chars.size(); ++i) {
        const int cls = class_of_group[static_cast<std::size_t>(group[i])];
        const char32_t c = chars[i].c;
        if (c < 128) {
            ascii_[c] = cls;
        } else if (!ranges_.empty() && ranges_.back().last + 1 == c && ranges_.back().cls == cls) {
            ranges_.back().last = c;
        } else {
            ranges_.push_back({c, c, cls});
        }
    }
    for (char32_t c = 0; c < 128; ++c) lowered_ascii_[c] = ascii_[c >= U'A' && c <= U'Z' ? c + 32 : c];

    literal_class_.assign(insts.size(), -1);
    for (std::size_t i = 0; i < insts.size(); ++i) {
        if (insts[i].op != Inst::Op::Literal) continue;
        const char32_t c = insts[i].ch;
        literal_class_[i] = c < 128 ? ascii_[c] : of_wide(c);
    }
}

std::uint8_t Alphabet::flags_of(char32_t c) const {
    std::uint8_t f = 0;
    if (predicates_.is_word(c)) f |= kWord;
    if (predicates_.is_digit(c)) f |= kDigit;
    if (predicates_.is_space(c)) f |= kSpace;
    if (c == U'\n') f |= kNewline;
    return f;
}

int Alphabet::of_wide(char32_t c) const {
    if (!ranges_.empty()) {
        auto it = std::lower_bound(ranges_.begin(), ranges_.end(), c,
                                   [](const Range& r, char32_t x) { return r.last < x; });
        if (it != ranges_.end() && it->first <= c) return it->cls;
    }
    return categories_ + flags_of(c);
}

bool Alphabet::accepts(const Program& program, std::size_t index, int cls) const {
    const Inst& inst = program.insts()[index];
    const std::uint8_t f = flags(cls);
    switch (inst.op) {
        case Inst::Op::Literal: return literal_class_[index] == cls;
        case Inst::Op::Set:
            return named(cls) && program.in_set(static_cast<std::size_t>(inst.pattern),
                                                representative_[static_cast<std::size_t>(cls)]);
        case Inst::Op::Any: return !(f & kNewline);
        case Inst::Op::Class:
            switch (inst.cls) {
                case ClassKind::Digit: return f & kDigit;
                case ClassKind::NotDigit: return !(f & kDigit);
                case ClassKind::Space: return f & kSpace;
                case ClassKind::NotSpace: return !(f & kSpace);
                case ClassKind::Word: return f & kWord;
                case ClassKind::NotWord: return !(f & kWord);
            }
            return false;
        default: return false;
    }
}

}  // namespace halvec::engine
