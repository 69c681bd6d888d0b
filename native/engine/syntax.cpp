#include "engine/syntax.hpp"

#include <algorithm>
#include <optional>

namespace halvec::engine {

void CharSet::add(char32_t first, char32_t last) { ranges.push_back({first, last}); }

void CharSet::normalize() {
    std::sort(ranges.begin(), ranges.end(),
              [](const CharRange& a, const CharRange& b) { return a.first < b.first; });
    std::size_t out = 0;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (out && ranges[i].first <= ranges[out - 1].last + 1) {
            ranges[out - 1].last = std::max(ranges[out - 1].last, ranges[i].last);
        } else {
            ranges[out++] = ranges[i];
        }
    }
    ranges.resize(out);
}

bool CharSet::has_range(char32_t c) const {
    const auto it = std::upper_bound(ranges.begin(), ranges.end(), c,
                                     [](char32_t x, const CharRange& r) { return x < r.first; });
    return it != ranges.begin() && std::prev(it)->last >= c;
}

namespace {

// Repeats are expanded into copies of their operand; past this the pattern
// goes to `re`.
constexpr int kMaxRepeat = 1000;
// Deeper nesting than this goes to `re` too: the parser recurses per group.
constexpr int kMaxDepth = 100;
constexpr char32_t kMaxCodePoint = 0x10FFFF;

struct Flags {
    bool ignorecase = false;
    bool multiline = false;
    bool dotall = false;
    bool ascii = false;
};

bool is_ascii_alnum(char32_t c) {
    return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9');
}
bool is_digit(char32_t c) { return c >= U'0' && c <= U'9'; }
bool is_octal(char32_t c) { return c >= U'0' && c <= U'7'; }
int hex_value(char32_t c) {
    if (c >= U'0' && c <= U'9') return static_cast<int>(c - U'0');
    if (c >= U'a' && c <= U'f') return static_cast<int>(c - U'a' + 10);
    if (c >= U'A' && c <= U'F') return static_cast<int>(c - U'A' + 10);
    return -1;
}

// The escapes that name one character everywhere: \a \f \n \r \t \v.
std::optional<char32_t> control_escape(char32_t c) {
    switch (c) {
        case U'a': return U'\a';
        case U'f': return U'\f';
        case U'n': return U'\n';
        case U'r': return U'\r';
        case U't': return U'\t';
        case U'v': return U'\v';
        default: return std::nullopt;
    }
}

std::uint16_t category_of(char32_t c, bool ascii) {
    switch (c) {
        case U'd': return ascii ? kCatDigitAscii : kCatDigit;
        case U'D': return ascii ? kCatNotDigitAscii : kCatNotDigit;
        case U'w': return ascii ? kCatWordAscii : kCatWord;
        case U'W': return ascii ? kCatNotWordAscii : kCatNotWord;
        case U's': return ascii ? kCatSpaceAscii : kCatSpace;
        case U'S': return ascii ? kCatNotSpaceAscii : kCatNotSpace;
        default: return 0;
    }
}

class Parser {
public:
    Parser(std::u32string_view text, const CaseFolding* folding) : text_(text), folding_(folding) {}

    std::optional<Node> parse_all() {
        if (!global_flags()) return std::nullopt;
        std::optional<Node> node = alternation(flags_);
        if (!node || pos_ != text_.size()) return std::nullopt;
        return node;
    }

private:
    bool at_end() const { return pos_ >= text_.size(); }
    char32_t peek(std::size_t ahead = 0) const {
        return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : char32_t{0xFFFFFFFF};
    }
    bool take(char32_t c) {
        if (at_end() || text_[pos_] != c) return false;
        ++pos_;
        return true;
    }

    // Flag groups (?...) at the very start of the pattern, which apply to
    // all of it. Any other place is an error of `re`'s, so unsupported.
    bool global_flags() {
        while (peek() == U'(' && peek(1) == U'?' && std::u32string_view(U"aimsuxL").find(peek(2)) != std::u32string_view::npos) {
            const std::size_t start = pos_;
            pos_ += 2;
            Flags on = flags_, off;
            if (!flag_letters(on, off, false) || !take(U')')) {
                pos_ = start;  // a scoped group, (?i:...): left to the parser proper
                if (!scoped_ahead()) return false;
                break;
            }
            flags_ = on;
        }
        return true;
    }

    // Whether the group at pos_ is a well-formed scoped flag group.
    bool scoped_ahead() {
        const std::size_t start = pos_;
        pos_ += 2;
        Flags on = flags_, off;
        const bool ok = flag_letters(on, off, true) && peek() == U':';
        pos_ = start;
        return ok;
    }

    // Letters of a flag group: on-flags, then (if `scoped`) "-" and
    // off-flags. Only the combinations `re` accepts for a str pattern and
    // this engine decides pass.
    bool flag_letters(Flags& flags, Flags& off, bool scoped) {
        bool any = false, ascii = false, unicode = false;
        Flags seen;
        while (!at_end()) {
            const char32_t c = peek();
            if (c == U'i') flags.ignorecase = seen.ignorecase = true;
            else if (c == U'm') flags.multiline = seen.multiline = true;
            else if (c == U's') flags.dotall = seen.dotall = true;
            // A type flag replaces the one in force: (?u:...) inside (?a) is Unicode again.
            else if (c == U'a') flags.ascii = ascii = true;
            else if (c == U'u') flags.ascii = false, unicode = true;
            else break;  // x (verbose), L and anything else: not here
            any = true;
            ++pos_;
        }
        if (ascii && unicode) return false;
        if (scoped && take(U'-')) {
            bool removed = false;
            while (!at_end()) {
                const char32_t c = peek();
                if (c == U'i' && !seen.ignorecase) flags.ignorecase = false, off.ignorecase = true;
                else if (c == U'm' && !seen.multiline) flags.multiline = false, off.multiline = true;
                else if (c == U's' && !seen.dotall) flags.dotall = false, off.dotall = true;
                else break;
                removed = true;
                ++pos_;
            }
            return removed;
        }
        return any;
    }

    std::optional<Node> alternation(const Flags& flags) {
        std::optional<Node> first = concatenation(flags);
        if (!first) return std::nullopt;
        if (at_end() || peek() != U'|') return first;
        Node alt{.kind = Node::Kind::Alternate};
        alt.children.push_back(std::move(*first));
        while (take(U'|')) {
            std::optional<Node> next = concatenation(flags);
            if (!next) return std::nullopt;
            alt.children.push_back(std::move(*next));
        }
        return alt;
    }

    // A run of literal characters is kept as one string: a node per
    // character would cost some seventy bytes each.
    std::optional<Node> concatenation(const Flags& flags) {
        Node seq{.kind = Node::Kind::Concat};
        while (!at_end() && peek() != U'|' && peek() != U')') {
            if (comment()) continue;
            std::optional<Node> item = repetition(flags);
            if (!item) return std::nullopt;
            if (item->kind == Node::Kind::Empty) continue;
            if (item->kind == Node::Kind::Literal && !seq.children.empty() &&
                seq.children.back().kind == Node::Kind::String) {
                seq.children.back().chars.push_back(item->ch);
                continue;
            }
            if (item->kind == Node::Kind::Literal) {
                item->kind = Node::Kind::String;
                item->chars.assign(1, item->ch);
            }
            seq.children.push_back(std::move(*item));
        }
        // A run of one character stays a Literal (which may come back into an
        // outer sequence from a group, as in `(a)b`).
        for (Node& child : seq.children) {
            if (child.kind != Node::Kind::String || child.chars.size() != 1) continue;
            child.kind = Node::Kind::Literal;
            child.ch = child.chars.front();
            child.chars.clear();
        }
        if (seq.children.empty()) return Node{};
        if (seq.children.size() == 1) return std::move(seq.children.front());
        return seq;
    }

    // (?#...): skipped. Its text is read as `re` reads it, a backslash and
    // the character after it as one.
    bool comment() {
        if (peek() != U'(' || peek(1) != U'?' || peek(2) != U'#') return false;
        std::size_t at = pos_ + 3;
        while (at < text_.size() && text_[at] != U')') at += text_[at] == U'\\' ? 2 : 1;
        if (at >= text_.size()) return false;  // unterminated: an error, left to `re`
        pos_ = at + 1;
        return true;
    }

    static bool is_quantifier(char32_t c) { return c == U'*' || c == U'+' || c == U'?' || c == U'{'; }

    std::optional<Node> repetition(const Flags& flags) {
        std::optional<Node> atom_node = atom(flags);
        if (!atom_node) return std::nullopt;
        if (at_end() || !is_quantifier(peek())) return atom_node;
        // Python refuses to repeat an assertion ("nothing to repeat").
        if (atom_node->kind == Node::Kind::Assert) return std::nullopt;
        int min = 0, max = -1;
        if (!quantifier(min, max)) return std::nullopt;
        const bool lazy = take(U'?');
        // A further quantifier is a possessive mark, or an error.
        if (!at_end() && is_quantifier(peek())) return std::nullopt;
        Node rep{.kind = Node::Kind::Repeat, .greedy = !lazy, .min = min, .max = max};
        rep.children.push_back(std::move(*atom_node));
        return rep;
    }

    std::optional<int> number() {
        int value = 0;
        const std::size_t start = pos_;
        while (!at_end() && is_digit(peek())) {
            value = value * 10 + static_cast<int>(peek() - U'0');
            if (value > kMaxRepeat) return std::nullopt;
            ++pos_;
        }
        if (pos_ == start) return -1;  // no digits
        return value;
    }

    bool quantifier(int& min, int& max) {
        const char32_t c = text_[pos_++];
        if (c == U'*') return min = 0, max = -1, true;
        if (c == U'+') return min = 1, max = -1, true;
        if (c == U'?') return min = 0, max = 1, true;
        // `{`: only the well-formed repeat counts; anything else Python reads
        // as a literal brace, which this engine leaves to `re`.
        std::optional<int> low = number();
        if (!low || at_end()) return false;
        if (peek() == U'}') {
            ++pos_;
            if (*low < 0) return false;
            return min = max = *low, true;
        }
        if (peek() != U',') return false;
        ++pos_;
        std::optional<int> high = number();
        if (!high || at_end() || peek() != U'}') return false;
        ++pos_;
        if (*low < 0 && *high < 0) return false;  // {,}: left to `re`
        min = *low < 0 ? 0 : *low;
        max = *high;
        return max < 0 || min <= max;
    }

    Node literal(char32_t c, const Flags& flags) {
        if (flags.ignorecase) {
            Node set{.kind = Node::Kind::Set};
            if (!folding_ || !folding_->literal(c, flags.ascii, set.set)) {
                failed_ = true;
                return Node{};
            }
            char32_t only;
            if (set.set.single(only)) return Node{.kind = Node::Kind::Literal, .ch = only};
            return set;
        }
        return Node{.kind = Node::Kind::Literal, .ch = c};
    }

    std::optional<Node> checked(Node node) {
        if (failed_) return std::nullopt;
        return node;
    }

    std::optional<Node> atom(const Flags& flags) {
        const char32_t c = text_[pos_];
        if (c != U'(') leading_ = false;
        switch (c) {
            case U'(': return group(flags);
            case U'[': return set(flags);
            case U'.':
                ++pos_;
                return Node{.kind = Node::Kind::Any, .dotall = flags.dotall};
            case U'^':
                ++pos_;
                return assertion(flags.multiline ? AssertKind::LineStart : AssertKind::StartText);
            case U'$':
                ++pos_;
                return assertion(flags.multiline ? AssertKind::LineEnd : AssertKind::Dollar);
            case U'\\': return escape(flags);
            // `]` and `}` on their own are literals; a `{` that begins no
            // repeat is one too, but the cases where it does are for `re`.
            case U'*': case U'+': case U'?': case U'{': case U')': case U'|':
                return std::nullopt;
            default:
                ++pos_;
                return checked(literal(c, flags));
        }
    }

    static Node assertion(AssertKind kind) { return Node{.kind = Node::Kind::Assert, .assertion = kind}; }

    std::optional<Node> group(const Flags& outer) {
        ++pos_;
        Flags flags = outer;
        if (take(U'?')) {
            if (take(U':')) {
                // non-capturing
            } else if (peek() == U'P' && peek(1) == U'<') {
                pos_ += 2;
                if (!group_name()) return std::nullopt;
            } else {
                Flags off;
                if (!flag_letters(flags, off, true) || !take(U':')) return std::nullopt;
                // `re` tests the first character of a match against the set
                // a pattern starts with, read with the pattern's own flags
                // rather than the group's: with a group that changes \w and
                // the like there, its answer is that test's.
                if (leading_ && flags.ascii != outer.ascii) return std::nullopt;
            }
        }
        if (++depth_ > kMaxDepth) return std::nullopt;
        std::optional<Node> inner = alternation(flags);
        --depth_;
        if (!inner || !take(U')')) return std::nullopt;
        return inner;
    }

    // The name of (?P<name>...): an ASCII identifier not used before (any
    // other name is for `re` to judge).
    bool group_name() {
        const std::size_t start = pos_;
        while (!at_end() && (is_ascii_alnum(peek()) || peek() == U'_')) ++pos_;
        if (pos_ == start || is_digit(text_[start]) || !take(U'>')) return false;
        const std::u32string_view name = text_.substr(start, pos_ - 1 - start);
        if (std::find(names_.begin(), names_.end(), name) != names_.end()) return false;
        names_.push_back(name);
        return true;
    }

    // Up to `digits` hexadecimal digits, all of them required.
    std::optional<char32_t> hex(int digits) {
        char32_t value = 0;
        for (int i = 0; i < digits; ++i) {
            const int d = hex_value(peek());
            if (d < 0) return std::nullopt;
            value = value * 16 + static_cast<char32_t>(d);
            ++pos_;
        }
        if (value > kMaxCodePoint) return std::nullopt;
        return value;
    }

    // \x \u \U and octal escapes, after the backslash and the letter or
    // first digit (at pos_ - 1); nullopt when malformed.
    std::optional<char32_t> numeric_escape(char32_t c) {
        if (c == U'x') return hex(2);
        if (c == U'u') return hex(4);
        if (c == U'U') return hex(8);
        // Octal: up to three digits in all, at most 0o377.
        char32_t value = c - U'0';
        for (int i = 0; i < 2 && is_octal(peek()); ++i) value = value * 8 + (text_[pos_++] - U'0');
        if (value > 0377) return std::nullopt;
        return value;
    }

    std::optional<Node> escape(const Flags& flags) {
        ++pos_;
        if (at_end()) return std::nullopt;
        const char32_t c = text_[pos_++];
        switch (c) {
            case U'A': return assertion(AssertKind::StartText);
            case U'Z': return assertion(AssertKind::EndText);
            case U'b': return assertion(flags.ascii ? AssertKind::WordBoundaryAscii : AssertKind::WordBoundary);
            case U'B':
                return assertion(flags.ascii ? AssertKind::NotWordBoundaryAscii : AssertKind::NotWordBoundary);
            default: break;
        }
        if (const std::uint16_t category = category_of(c, flags.ascii)) {
            Node node{.kind = Node::Kind::Set};
            node.set.categories = category;
            return node;
        }
        if (const auto control = control_escape(c)) return checked(literal(*control, flags));
        if (c == U'x' || c == U'u' || c == U'U' || c == U'0') {
            const auto value = numeric_escape(c);
            if (!value) return std::nullopt;
            return checked(literal(*value, flags));
        }
        // \1 to \9 are group references (or, with three digits, octal): `re`'s.
        if (is_ascii_alnum(c)) return std::nullopt;
        return checked(literal(c, flags));
    }

    // One item of a set: a character (set in `c`) or a category (in
    // `category`); false when `re` would reject or warn about it.
    bool set_item(bool first, char32_t& c, std::uint16_t& category, const Flags& flags) {
        if (at_end()) return false;
        c = text_[pos_++];
        category = 0;
        if (c == U'[') return false;  // a possible nested set: `re` warns
        if (c != U'\\') {
            // A doubled -, &, ~ or | is a possible set operation: `re` warns.
            if (!first && std::u32string_view(U"-&~|").find(c) != std::u32string_view::npos && peek() == c) {
                return false;
            }
            return true;
        }
        if (at_end()) return false;
        c = text_[pos_++];
        if ((category = category_of(c, flags.ascii))) return true;
        if (c == U'b') return c = U'\b', true;  // a backspace inside a set
        if (const auto control = control_escape(c)) return c = *control, true;
        if (c == U'x' || c == U'u' || c == U'U' || is_octal(c)) {
            const auto value = numeric_escape(c);
            if (!value) return false;
            return c = *value, true;
        }
        return !is_ascii_alnum(c);  // any other character stands for itself
    }

    std::optional<Node> set(const Flags& flags) {
        ++pos_;
        Node node{.kind = Node::Kind::Set};
        CharSet items;
        Vector<std::uint8_t> written_as_range;
        items.negated = take(U'^');
        bool first = true;
        for (;;) {
            if (at_end()) return std::nullopt;  // unterminated
            if (peek() == U']' && !first) {
                ++pos_;
                break;
            }
            char32_t low;
            std::uint16_t category;
            if (!set_item(first, low, category, flags)) return std::nullopt;
            first = false;
            if (peek() == U'-' && peek(1) != U']' && pos_ + 1 < text_.size()) {
                ++pos_;
                char32_t high;
                std::uint16_t high_category;
                if (peek() == U'-') return std::nullopt;  // `re` warns of a set difference
                if (category || !set_item(false, high, high_category, flags) || high_category || high < low) {
                    return std::nullopt;
                }
                items.add(low, high);
                written_as_range.push_back(1);
                continue;
            }
            if (category) {
                items.categories |= category;
            } else {
                items.add(low);
                written_as_range.push_back(0);
            }
        }
        if (!flags.ignorecase) {
            items.normalize();
            node.set = std::move(items);
        } else if (!folding_ || !folding_->set(items, written_as_range, flags.ascii, node.set)) {
            return std::nullopt;
        }
        char32_t only;
        if (node.set.single(only)) return Node{.kind = Node::Kind::Literal, .ch = only};
        return node;
    }

    std::u32string_view text_;
    const CaseFolding* folding_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    bool failed_ = false;
    bool leading_ = true;  // nothing but group openings read yet
    Flags flags_;
    Vector<std::u32string_view> names_;
};

}  // namespace

Tree parse(std::u32string_view pattern, const CaseFolding* folding) {
    if (pattern.size() > kMaxPatternLength) return nullptr;
    std::optional<Node> node = Parser(pattern, folding).parse_all();
    if (!node) return nullptr;
    return Tree(engine::make_shared<Node>(std::move(*node)));
}

std::size_t longest_match(const Node& node) {
    auto add = [](std::size_t a, std::size_t b) {
        return a == kUnbounded || b == kUnbounded || a + b < a ? kUnbounded : a + b;
    };
    switch (node.kind) {
        case Node::Kind::Empty:
        case Node::Kind::Assert: return 0;
        case Node::Kind::Literal:
        case Node::Kind::Set:
        case Node::Kind::Any: return 1;
        case Node::Kind::String: return node.chars.size();
        case Node::Kind::Concat: {
            std::size_t total = 0;
            for (const Node& child : node.children) total = add(total, longest_match(child));
            return total;
        }
        case Node::Kind::Alternate: {
            std::size_t most = 0;
            for (const Node& child : node.children) most = std::max(most, longest_match(child));
            return most;
        }
        case Node::Kind::Repeat: {
            const std::size_t one = longest_match(node.children[0]);
            if (one == 0) return 0;
            if (node.max < 0 || one == kUnbounded) return kUnbounded;
            const auto times = static_cast<std::size_t>(node.max);
            return one > kUnbounded / (times ? times : 1) ? kUnbounded : one * times;
        }
    }
    return kUnbounded;
}

}  // namespace halvec::engine
