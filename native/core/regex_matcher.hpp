// Decides, in one left-to-right pass and in time linear in the text, which
// patterns of a Program match somewhere in a text (Python's `re.search`
// semantics). A DFA is built lazily from the program: a state is the set of
// program positions alive after a character, plus whether that character was
// a word character, so `\b` and `\B` are resolved when the next character is
// seen. Characters are mapped to classes first: each literal of the program
// is a class of its own, and every other character falls into a class by
// its properties (word, digit, whitespace, line feed).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/regex_program.hpp"

namespace halvec::core::regex {

// The character properties Python's `re` uses, supplied by the caller so the
// engine follows the running interpreter's Unicode tables.
struct Predicates {
    bool (*is_word)(char32_t);   // str.isalnum() or "_"
    bool (*is_digit)(char32_t);  // a decimal digit
    bool (*is_space)(char32_t);  // str.isspace()
};

// A run of code points in 1-, 2- or 4-byte storage. With `lower_ascii` the
// text is ASCII and is searched as if lower-cased.
struct Text {
    const void* data;
    int width;
    std::size_t start;
    std::size_t end;
    bool lower_ascii;
};

class Matcher {
public:
    Matcher(Program program, const Predicates& predicates);

    // Bit i is set when pattern i matches somewhere in `text`. The scan
    // stops early once a pattern of `stop` has matched.
    std::uint64_t scan(const Text& text, std::uint64_t stop);

private:
    enum Flag : std::uint8_t { kWord = 1, kDigit = 2, kSpace = 4, kNewline = 8 };
    static constexpr int kCategories = 16;

    struct State {
        std::vector<int> set;  // sorted program positions
        bool prev_word;
        bool final_known = false;
        std::uint64_t final_mask = 0;
    };
    struct Step {
        int next;  // a state, not a row
        std::uint64_t emitted;
    };

    template <class Char, bool Lower>
    std::uint64_t run(const Char* p, std::size_t n, std::uint64_t stop);

    std::uint8_t flags_of(char32_t c) const;
    int class_of_wide(char32_t c) const;
    int add_state(std::vector<int>&& set, bool prev_word);
    Step compute(int state, int cls);
    std::uint64_t final_mask(int state);
    void closure(const std::vector<int>& set, bool prev_word, bool next_word);
    bool consumes(const Inst& inst, int inst_index, int cls) const;

    Program program_;
    Predicates predicates_;
    int classes_ = 0;
    std::vector<int> literal_class_;  // per instruction, for Literal ones
    std::vector<std::uint8_t> class_flags_;
    int ascii_class_[128];
    int lowered_ascii_class_[128];
    bool wide_literals_ = false;

    // The transition table, states x classes. An entry is -1 until computed,
    // else the target's row (state x classes) shifted left by one, with the
    // low bit set when the transition finds matches, which `emitted_` holds.
    std::vector<State> states_;
    std::vector<std::int32_t> next_;
    std::vector<std::uint64_t> emitted_;
    std::unordered_map<std::string, int> index_;

    // Scratch for closures.
    std::vector<std::uint32_t> mark_;
    std::uint32_t stamp_ = 0;
    std::vector<int> stack_;
    std::vector<int> consuming_;
    std::uint64_t closure_mask_ = 0;
};

}  // namespace halvec::core::regex
