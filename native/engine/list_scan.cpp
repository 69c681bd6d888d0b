// A scan over one text: which way it is read, in which storage, and which
// character (a final "\n") is a class of its own; the lazy DFA or the
// simulation does the reading.
#include <type_traits>

#include "engine/matcher.hpp"

namespace halvec::engine {

void Matcher::advance(const Text& text, Scan& scan, std::uint64_t stop, std::size_t work) {
    if (scan.done) return;
    if (scan.ended) {  // resumed after the end: its matches were all counted then
        scan.done = true;
        return;
    }
    ensure_scratch();
    const bool reverse = automaton_->reverse();
    const std::uint8_t edge = kEdge & automaton_->mask();
    const std::uint8_t left = text.before ? side_outside(text, text.start - 1) : edge;
    const std::uint8_t right = text.after ? side_outside(text, text.end) : edge;
    Reading reading{text.size(), text.size(), reverse ? right : left, reverse ? left : right};
    // `$` matches before a "\n" that ends the text: that character is read
    // as a class of its own, last forwards, first backwards.
    const int final = automaton_->alphabet().final_newline();
    if (reading.n && !text.after && final != automaton_->alphabet().of(U'\n') && text.at(reading.n - 1) == U'\n') {
        reading.special = reverse ? 0 : reading.n - 1;
    }
    auto go = [&](auto* p, auto lower, auto backwards) {
        using Char = std::remove_const_t<std::remove_pointer_t<decltype(p)>>;
        constexpr bool kLower = decltype(lower)::value;
        constexpr bool kReverse = decltype(backwards)::value;
        if (scan.simulating) simulate<Char, kLower, kReverse>(p, reading, scan, stop, work);
        else if (columns_) run<Char, kLower, kReverse>(p, reading, scan, stop, work);
        else run_hashed<Char, kLower, kReverse>(p, reading, scan, stop, work);
    };
    auto in_direction = [&](auto* p, auto lower) {
        if (reverse) go(p, lower, std::true_type{});
        else go(p, lower, std::false_type{});
    };
    switch (text.width) {
        case 1: {
            const auto* p = static_cast<const std::uint8_t*>(text.data) + text.start;
            if (text.lower_ascii) in_direction(p, std::true_type{});
            else in_direction(p, std::false_type{});
            return;
        }
        case 2: return in_direction(static_cast<const std::uint16_t*>(text.data) + text.start, std::false_type{});
        default: return in_direction(static_cast<const std::uint32_t*>(text.data) + text.start, std::false_type{});
    }
}

std::uint8_t Matcher::side_outside(const Text& text, std::size_t k) const {
    const Alphabet& alphabet = automaton_->alphabet();
    const bool last = k + 1 == text.end + text.after;
    const char32_t c = text.raw(k);
    return side(last && c == U'\n' ? alphabet.final_newline() : alphabet.of(c));
}

}  // namespace halvec::engine
