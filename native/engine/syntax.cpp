#include "engine/syntax.hpp"

#include <algorithm>
#include <optional>

namespace halvec::engine {
namespace {

// Repeats are expanded into copies of their operand; past this the pattern
// goes to `re`.
constexpr int kMaxRepeat = 1000;
// Deeper nesting than this goes to `re` too: the parser recurses per group.
constexpr int kMaxDepth = 100;

class Parser {
public:
    explicit Parser(std::u32string_view text) : text_(text) {}

    std::optional<Node> parse_all() {
        std::optional<Node> node = alternation();
        if (!node || pos_ != text_.size()) return std::nullopt;
        return node;
    }

private:
    bool at_end() const { return pos_ >= text_.size(); }
    char32_t peek() const { return text_[pos_]; }

    std::optional<Node> alternation() {
        std::optional<Node> first = concatenation();
        if (!first) return std::nullopt;
        if (at_end() || peek() != U'|') return first;
        Node alt{.kind = Node::Kind::Alternate};
        alt.children.push_back(std::move(*first));
        while (!at_end() && peek() == U'|') {
            ++pos_;
            std::optional<Node> next = concatenation();
            if (!next) return std::nullopt;
            alt.children.push_back(std::move(*next));
        }
        return gather_single_characters(std::move(alt));
    }

    static bool single_character(const Node& n) {
        return n.kind == Node::Kind::Literal || n.kind == Node::Kind::Set;
    }

    // `(a|b|xy|c)` as `([abc]|xy)`: a match exists through one of them exactly
    // when it exists through the set, and one set is one step of the search
    // however many characters it holds.
    static Node gather_single_characters(Node alt) {
        const auto singles = std::count_if(alt.children.begin(), alt.children.end(), single_character);
        if (singles < 2) return alt;
        Node set{.kind = Node::Kind::Set};
        Node rest{.kind = Node::Kind::Alternate};
        for (Node& child : alt.children) {
            if (child.kind == Node::Kind::Literal) {
                set.chars.push_back(child.ch);
            } else if (child.kind == Node::Kind::Set) {
                set.chars.insert(set.chars.end(), child.chars.begin(), child.chars.end());
            } else {
                rest.children.push_back(std::move(child));
            }
        }
        std::sort(set.chars.begin(), set.chars.end());
        set.chars.erase(std::unique(set.chars.begin(), set.chars.end()), set.chars.end());
        if (rest.children.empty()) return set;
        rest.children.push_back(std::move(set));
        return rest;
    }

    // A run of literal characters is kept as one string: a node per
    // character would cost some seventy bytes each.
    std::optional<Node> concatenation() {
        Node seq{.kind = Node::Kind::Concat};
        while (!at_end() && peek() != U'|' && peek() != U')') {
            std::optional<Node> item = repetition();
            if (!item) return std::nullopt;
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

    static bool is_quantifier(char32_t c) { return c == U'*' || c == U'+' || c == U'?' || c == U'{'; }

    std::optional<Node> repetition() {
        std::optional<Node> atom_node = atom();
        if (!atom_node) return std::nullopt;
        if (at_end() || !is_quantifier(peek())) return atom_node;
        // Python refuses to repeat an assertion ("nothing to repeat").
        if (atom_node->kind == Node::Kind::WordBoundary ||
            atom_node->kind == Node::Kind::NotWordBoundary) {
            return std::nullopt;
        }
        int min = 0, max = -1;
        if (!quantifier(min, max)) return std::nullopt;
        // A second quantifier is a lazy or possessive mark, or an error.
        if (!at_end() && is_quantifier(peek())) return std::nullopt;
        Node rep{.kind = Node::Kind::Repeat, .min = min, .max = max};
        rep.children.push_back(std::move(*atom_node));
        return rep;
    }

    std::optional<int> number() {
        int value = 0;
        std::size_t start = pos_;
        while (!at_end() && peek() >= U'0' && peek() <= U'9') {
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
        min = *low < 0 ? 0 : *low;
        max = *high;
        return max < 0 || min <= max;
    }

    std::optional<Node> atom() {
        const char32_t c = text_[pos_];
        switch (c) {
            case U'(': {
                ++pos_;
                if (!at_end() && peek() == U'?') return std::nullopt;
                if (++depth_ > kMaxDepth) return std::nullopt;
                std::optional<Node> inner = alternation();
                --depth_;
                if (!inner || at_end() || peek() != U')') return std::nullopt;
                ++pos_;
                return inner;
            }
            case U'.':
                ++pos_;
                return Node{.kind = Node::Kind::Any};
            case U'\\':
                return escape();
            case U'*': case U'+': case U'?': case U'{': case U'}': case U'[': case U']':
            case U'^': case U'$': case U')': case U'|':
                return std::nullopt;
            default:
                ++pos_;
                return Node{.kind = Node::Kind::Literal, .ch = c};
        }
    }

    std::optional<Node> escape() {
        ++pos_;
        if (at_end()) return std::nullopt;
        const char32_t c = text_[pos_++];
        auto cls = [](ClassKind k) { return Node{.kind = Node::Kind::Class, .cls = k}; };
        switch (c) {
            case U'b': return Node{.kind = Node::Kind::WordBoundary};
            case U'B': return Node{.kind = Node::Kind::NotWordBoundary};
            case U'd': return cls(ClassKind::Digit);
            case U'D': return cls(ClassKind::NotDigit);
            case U's': return cls(ClassKind::Space);
            case U'S': return cls(ClassKind::NotSpace);
            case U'w': return cls(ClassKind::Word);
            case U'W': return cls(ClassKind::NotWord);
            default: break;
        }
        // Python takes a backslash before any ASCII character that is not a
        // letter or digit as that character itself.
        const bool ascii_alnum = (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') ||
                                 (c >= U'0' && c <= U'9');
        if (c < 0x80 && !ascii_alnum) return Node{.kind = Node::Kind::Literal, .ch = c};
        return std::nullopt;
    }

    std::u32string_view text_;
    std::size_t pos_ = 0;
    int depth_ = 0;
};

}  // namespace

Tree parse(std::u32string_view pattern) {
    if (pattern.size() > kMaxPatternLength) return nullptr;
    std::optional<Node> node = Parser(pattern).parse_all();
    if (!node) return nullptr;
    return Tree(engine::make_shared<Node>(std::move(*node)));
}

}  // namespace halvec::engine
