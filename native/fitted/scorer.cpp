#include "fitted/scorer.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/names.hpp"
#include "common/signals.hpp"

namespace halvec::core::fitted {
namespace {

enum : std::uint8_t { kSpace = 1, kWord = 2, kDecimal = 4 };

std::uint8_t classes_of(Py_UCS4 c) {
    return static_cast<std::uint8_t>((Py_UNICODE_ISSPACE(c) ? kSpace : 0) |
                                     (Py_UNICODE_ISALNUM(c) || c == '_' ? kWord : 0) |
                                     (Py_UNICODE_ISDECIMAL(c) ? kDecimal : 0));
}

// The classes of the 256 characters of 1-byte text, from the interpreter's tables.
const std::array<std::uint8_t, 256>& byte_classes() {
    static const std::array<std::uint8_t, 256> table = [] {
        std::array<std::uint8_t, 256> t{};
        for (unsigned c = 0; c < 256; ++c) t[c] = classes_of(c);
        return t;
    }();
    return table;
}

// ASCII letters A-Z in the bytes of `x` (each below 0x80) made a-z, all at once.
inline std::uint64_t lower_ascii_bytes(std::uint64_t x) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    const std::uint64_t above_z = x + (0x7F - 'Z') * kOnes;  // high bit set from 'Z' + 1 up
    const std::uint64_t from_a = x + (0x80 - 'A') * kOnes;   // high bit set from 'A' up
    return x | (((from_a & ~above_z) & (0x80 * kOnes)) >> 2);
}

// The characters of the text being read: lower-cased on the way when it is
// ASCII (str.lower() maps A-Z to a-z and leaves the rest), else read as they
// are from the text str.lower() made.
template <class Char, bool kLowerAscii>
struct Reader {
    static constexpr bool kBytes = sizeof(Char) == 1;
    const Char* p;
    Py_ssize_t length;

    // Whether text[start:end] is all decimal digits (1-byte text: '0' to '9').
    bool all_digits(Py_ssize_t start, Py_ssize_t end) const {
        for (Py_ssize_t i = start; i < end; ++i) {
            if (p[i] < '0' || p[i] > '9') return false;
        }
        return true;
    }

    // text[start:start + n] for n up to kShortLength, a code point a byte
    // (as TokenKey packs them); false when a code point is 256 or more.
    bool pack(Py_ssize_t start, std::size_t n, std::uint64_t& out) const {
        if constexpr (sizeof(Char) == 1) {
            // 1-byte text is followed by its terminating NUL: 8 bytes from
            // `start` lie inside it when start + 8 <= length + 1.
            if (start + 8 <= length + 1) {
                std::uint64_t x;
                std::memcpy(&x, p + start, 8);
                x &= n == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * n)) - 1;
                out = kLowerAscii ? lower_ascii_bytes(x) : x;
                return true;
            }
        }
        std::uint64_t packed = 0;
        char32_t wide = 0;
        for (std::size_t k = 0; k < n; ++k) {
            const char32_t c = (*this)(start + static_cast<Py_ssize_t>(k));
            packed |= std::uint64_t{c} << (8 * k);
            wide |= c;
        }
        out = packed;
        return wide < 256;
    }

    char32_t operator()(Py_ssize_t i) const {
        const char32_t c = p[i];
        if constexpr (kLowerAscii) return c - U'A' < 26u ? c + 32 : c;
        return c;
    }
};

// A token: text[start:end], all decimal digits when `digits`.
struct Span {
    Py_ssize_t start;
    Py_ssize_t end;
    bool digits;
};

// Cuts a text of 2- or 4-byte characters into tokens (runs of word
// characters, and single characters that are neither word characters nor
// whitespace) and counts its words (runs of non-whitespace), a few tokens at
// a time.
template <class Char>
class Tokenizer {
public:
    Tokenizer(const Char* text, Py_ssize_t length) : p_(text), length_(length) {}

    // Up to `room` tokens into `out`, reading no further than `limit`; a word
    // that goes on past `limit` is finished by a later call.
    int next(Span* out, int room, Py_ssize_t limit) {
        const std::array<std::uint8_t, 256>& table = byte_classes();
        const auto classes = [&](Py_ssize_t i) -> std::uint8_t {
            const Py_UCS4 c = p_[i];
            return c < 256 ? table[c] : classes_of(c);
        };
        Py_ssize_t i = i_;
        int n = 0;
        while (n < room) {
            if (!in_word_) {
                if (i == limit) break;
                const std::uint8_t c = classes(i);
                if (c & kSpace) {
                    between_words_ = true;
                    ++i;
                    continue;
                }
                words_ += between_words_;
                between_words_ = false;
                if (!(c & kWord)) {
                    out[n++] = {i, i + 1, false};
                    ++i;
                    continue;
                }
                in_word_ = true;
                word_start_ = i++;
                digits_ = c;
            }
            while (i < limit) {
                const std::uint8_t c = classes(i);
                if (!(c & kWord)) break;
                digits_ &= c;
                ++i;
            }
            if (i == limit && limit < length_) break;  // the word may go on
            in_word_ = false;
            out[n++] = {word_start_, i, (digits_ & kDecimal) != 0};
        }
        i_ = i;
        return n;
    }

    bool done() const { return i_ == length_ && !in_word_; }
    Py_ssize_t at() const { return i_; }
    Py_ssize_t words() const { return words_; }

private:
    const Char* p_;
    Py_ssize_t length_;
    Py_ssize_t i_ = 0;
    Py_ssize_t words_ = 0;
    Py_ssize_t word_start_ = 0;
    bool between_words_ = true;
    bool in_word_ = false;
    std::uint8_t digits_ = 0;
};

// The word characters and the whitespace among `n` (at most 64) characters of
// 1-byte text, as bit masks: bit i for p[i]. Places from `n` on read as
// whitespace, so that no token starts or runs there.
struct BlockMasks {
    std::uint64_t word;
    std::uint64_t space;
};

#if defined(__SSE2__)
// 16 ASCII characters at once: [0-9A-Za-z_], and whitespace (9-13, 28-32),
// as str.isalnum() and str.isspace() have them below 128.
inline void classify_ascii16(__m128i x, std::uint64_t& word, std::uint64_t& space, int at) {
    const auto in = [](__m128i v, char low, char high) {
        return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(low - 1))),
                             _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(high + 1))));
    };
    const __m128i letters = in(_mm_or_si128(x, _mm_set1_epi8(0x20)), 'a', 'z');  // either case
    const __m128i words = _mm_or_si128(_mm_or_si128(letters, in(x, '0', '9')), _mm_cmpeq_epi8(x, _mm_set1_epi8('_')));
    const __m128i spaces = _mm_or_si128(in(x, 9, 13), in(x, 28, 32));
    word |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(words))} << at;
    space |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(spaces))} << at;
}
#endif

inline BlockMasks classify_block(const Py_UCS1* p, Py_ssize_t n) {
    Py_UCS1 padded[64];
    if (n < 64) {
        std::memset(padded, ' ', sizeof padded);
        std::memcpy(padded, p, static_cast<std::size_t>(n));
        p = padded;
    }
    BlockMasks m{0, 0};
#if defined(__SSE2__)
    __m128i x[4];
    for (int k = 0; k < 4; ++k) x[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    const __m128i any = _mm_or_si128(_mm_or_si128(x[0], x[1]), _mm_or_si128(x[2], x[3]));
    if (_mm_movemask_epi8(any) == 0) {  // all ASCII
        for (int k = 0; k < 4; ++k) classify_ascii16(x[k], m.word, m.space, 16 * k);
        return m;
    }
#endif
    const std::array<std::uint8_t, 256>& table = byte_classes();
    for (int i = 0; i < 64; ++i) {
        const std::uint64_t c = table[p[i]];
        m.word |= ((c >> 1) & 1u) << i;
        m.space |= (c & 1u) << i;
    }
    return m;
}

// The same cut for 1-byte text, 64 characters at a time: their classes as
// bit masks, where tokens start and end found by shifts of the masks, so the
// cost per character does not depend on how the text looks, and each token
// costs a few instructions. (ASCII letters are of one class in either case:
// the text is read as it is.)
class ByteTokenizer {
public:
    static constexpr Py_ssize_t kChunk = 64;

    explicit ByteTokenizer(const Py_UCS1* text, Py_ssize_t length) : p_(text), length_(length) {}

    // Calls each(start, end) for every token that ends in text[from:from + 64]
    // (or at the end of the text; the blocks in order); a token's start may
    // lie in an earlier block.
    template <class Each>
    void read(Py_ssize_t from, const Each& each) {
        const Py_ssize_t n = std::min(kChunk, length_ - from);
        const BlockMasks m = classify_block(p_ + from, n);
        const std::uint64_t other = ~(m.word | m.space);  // a token alone
        const std::uint64_t word_before = (m.word << 1) | word_carry_;
        std::uint64_t starts = (m.word & ~word_before) | other;
        // Where tokens end (the place after their last character): after a
        // word character, or after another character alone.
        std::uint64_t ends = (~m.word & word_before) | (other << 1) | other_carry_;
        word_carry_ = m.word >> 63;
        other_carry_ = other >> 63;
        const std::uint64_t space_before = (m.space << 1) | space_carry_;
        words_ += std::popcount(~m.space & space_before);  // where a word starts
        space_carry_ = m.space >> 63;
        for (; ends; ends &= ends - 1) {
            Py_ssize_t start;
            if (open_ >= 0) {
                start = std::exchange(open_, -1);
            } else {
                start = from + std::countr_zero(starts);
                starts &= starts - 1;
            }
            each(start, from + std::countr_zero(ends));
        }
        if (starts) open_ = from + std::countr_zero(starts);
        if (from + n == length_ && open_ >= 0) each(std::exchange(open_, -1), length_);  // one that runs to the end
    }

    Py_ssize_t words() const { return words_; }

private:
    const Py_UCS1* p_;
    Py_ssize_t length_;
    Py_ssize_t open_ = -1;  // the start of a token not ended yet
    std::uint64_t word_carry_ = 0, other_carry_ = 0, space_carry_ = 1;  // of the character before the block
    Py_ssize_t words_ = 0;
};

class Scan {
public:
    Scan(const Tables& tables, Scratch scratch, SignalPacing& pacing) : t_(tables), s_(scratch), pacing_(pacing) {}

    template <class Char, bool kLowerAscii>
    bool read(const Char* text, Py_ssize_t length) {
        const Reader<Char, kLowerAscii> at{text, length};
        if constexpr (sizeof(Char) == 1) {
            ByteTokenizer tokens{text, length};
            for (Py_ssize_t from = 0; from < length; from += ByteTokenizer::kChunk) {
                tokens.read(from, [&](Py_ssize_t start, Py_ssize_t end) { add(at, start, end, false); });
                if (pacing_.done(std::min(ByteTokenizer::kChunk, length - from)) < 0) return false;
            }
            words_ = tokens.words();
        } else {
            Tokenizer<Char> tokens{text, length};
            Span spans[kBatch];
            // As many characters at a time as the pacing leaves before its next
            // check for signals (which may fall inside a long word).
            for (Py_ssize_t paced = 0, limit = std::min(length, pacing_.room());;) {
                const int count = tokens.next(spans, kBatch, limit);
                for (int k = 0; k < count; ++k) add(at, spans[k].start, spans[k].end, spans[k].digits);
                if (tokens.done() || tokens.at() == limit) {
                    if (pacing_.done(limit - paced) < 0) return false;
                    paced = limit;
                    if (tokens.done()) break;
                    limit = std::min(length, limit + pacing_.room());
                }
            }
            words_ = tokens.words();
        }
        look_up(at);
        drain();
        return true;
    }

    // The scores (one for each model, into `scores`) and the coverage from
    // what was read; the scratch is left all zero.
    Reading finish(Py_ssize_t characters, double* scores) {
        const int models = t_.models();
        double dots[kMaxModels] = {};
        double squares = 0, largest = 0;
        std::uint64_t hits = 0;  // every place counted, known or not (none()'s)
        const auto common = [&](std::uint64_t count, const double* row) {
            const double value = t_.tf(count) * row[0];
            squares += value * value;
            largest = std::max(largest, row[0]);
            hits += count;
            return value;
        };
        if (models == 1) {
            each_found([&](std::uint64_t count, const double* row) { dots[0] += row[1] * common(count, row); });
        } else {
            each_found([&](std::uint64_t count, const double* row) {
                const double value = common(count, row);
                const double* weights = row + 1;
                for (int m = 0; m < models; ++m) dots[m] += weights[m] * value;
            });
        }
        const std::uint64_t known = hits - s_.counts[t_.none()];
        bool all_plain = true;
        for (int m = 0; m < models; ++m) all_plain = all_plain && plain(squares, dots[m]);
        double sums[kMaxModels];
        if (largest > 0 && !all_plain) rescaled(largest, sums);
        clear();
        const Linear& linear = t_.linear();
        const double norm = std::sqrt(squares);
        const double words = std::log1p(static_cast<double>(words_));
        const double length = std::log1p(static_cast<double>(characters));
        for (int m = 0; m < models; ++m) {
            double result = linear.intercepts[m];
            if (largest > 0) result += plain(squares, dots[m]) ? dots[m] / norm : sums[m];
            result += term(linear.words, m, words) + term(linear.characters, m, length);
            scores[m] = result;
        }
        return {places(), known};
    }

    // The scratch back to all zero (after a score, or a failure).
    void clear() {
        const std::size_t found = std::exchange(found_, 0);
        for (std::size_t k = 0; k < found; ++k) s_.counts[s_.found[k]] = 0;
    }

private:
    // A count's term for model m, from log1p(count): the weight first, as the
    // file checks bound it.
    static double term(const CountTerms& c, int m, double log_count) {
        return c.weights[m] * (log_count - c.mean) / c.scale;
    }

    // The text's n-gram places: each run of 1 to the longest n-gram's tokens.
    std::uint64_t places() const {
        std::uint64_t places = 0;
        for (std::uint64_t n = 1; n <= static_cast<std::uint64_t>(t_.longest()) && n <= tokens_; ++n) {
            places += tokens_ - n + 1;
        }
        return places;
    }

    // Calls each(count, row) for every n-gram found.
    template <class Each>
    void each_found(const Each& each) const {
        const std::size_t found = found_;
        for (std::size_t k = 0; k < found; ++k) each(s_.counts[s_.found[k]], t_.row(s_.found[k]));
    }

    // Whether the plain sums hold the n-gram term to full precision: nothing
    // overflowed, and nothing that counts underflowed (a router's idf may be
    // any positive double, its weights any finite one).
    static bool plain(double squares, double dot) {
        constexpr double kLeast = 0x1p-600, kMost = 0x1p600;
        return squares >= kLeast && squares <= kMost && std::fabs(dot) >= kLeast && std::fabs(dot) <= kMost;
    }

    // The n-gram terms where the plain sums fail, one for each model into
    // `sums`: the tf-idf values scaled by the power of two that brings the
    // largest idf near 1 (exactly, so the norm's shares are unchanged), and
    // each weight times its share of the norm, at most 1, so that only a term
    // too large for a double overflows.
    void rescaled(double largest, double* sums) const {
        const int shift = -std::ilogb(largest);
        const int models = t_.models();
        double squares = 0;
        each_found([&](std::uint64_t count, const double* row) {
            const double value = t_.tf(count) * std::ldexp(row[0], shift);
            squares += value * value;
        });
        const double norm = std::sqrt(squares);
        for (int m = 0; m < models; ++m) sums[m] = 0;
        each_found([&](std::uint64_t count, const double* row) {
            const double share = t_.tf(count) * std::ldexp(row[0], shift) / norm;
            for (int m = 0; m < models; ++m) sums[m] += row[1 + m] * share;
        });
    }

    // A token read: its key worked out (every run of digits is "<num>"), and
    // the memory of its slot asked for.
    template <class Read>
    void add(const Read& at, Py_ssize_t start, Py_ssize_t end, bool digits) {
        const auto length = static_cast<std::size_t>(end - start);
        ++tokens_;
        Pending& token = pending_[pending_count_++];
        token.start = start;
        std::uint64_t packed = 0;
        const bool is_short = length <= kShortLength && at.pack(start, length, packed);
        token.key = is_short ? TokenKey{packed, static_cast<std::uint32_t>(length) | kShort}
                             : long_key(at, start, end);
        // (1-byte text: only a token that starts with a digit is looked at again)
        if (Read::kBytes ? static_cast<unsigned>(at.p[start] - '0') < 10u &&
                               (is_short ? all_digits(packed, length) : at.all_digits(start, end))
                         : digits) {
            token.key = kNumber;
        }
        token.slot = t_.token_slot(token.key);
        t_.prefetch_token(token.slot);
        if (pending_count_ == kBatch) look_up(at);
    }

    // Whether the `length` bytes packed are all ASCII digits (the only
    // decimal digits among the first 256 code points).
    static bool all_digits(std::uint64_t packed, std::size_t length) {
        constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x80 * kOnes;
        const std::uint64_t mask = kHigh >> (8 * (kShortLength - length));
        const std::uint64_t from_0 = (packed | kHigh) - 0x30 * kOnes;  // high bit kept from '0' up
        const std::uint64_t above_9 = (packed & ~kHigh) + 0x46 * kOnes;  // high bit set from ':' up
        return (from_0 & ~above_9 & ~packed & mask) == mask;
    }

    template <class Read>
    static TokenKey long_key(const Read& at, Py_ssize_t start, Py_ssize_t end) {
        std::uint64_t h = kHashStart;
        for (Py_ssize_t k = start; k < end; ++k) h = hash_step(h, at(k));
        return {h, static_cast<std::uint32_t>(end - start)};
    }

    // A batch of tokens read, looked up together. The memory of each token's
    // slot was asked for when it was read; the n-grams the batch can hold are
    // asked for now and looked up with the next batch (or at the end, by
    // drain), when their memory has had a batch's time to come. Whether a
    // token is known, and which n-grams its place allows, decide what is
    // counted and asked for, not which way the code goes: those turn out
    // either way with no pattern a branch could learn.
    template <class Read>
    void look_up(const Read& at) {
        drain();
        const int count = std::exchange(pending_count_, 0);
        int asked = 0;
        for (int k = 0; k < count; ++k) {
            const Pending& p = pending_[k];
            const std::uint32_t token =
                t_.token(p.slot, p.key, [&](std::size_t j) { return at(p.start + static_cast<Py_ssize_t>(j)); });
            const std::uint32_t id = id_of(token);
            hit(t_.unigram(id));  // the place no n-gram is counted when it has none
            // Each place's flag is the next one's shifted: the token ends a
            // bigram that the one before starts, a trigram that the two
            // before start and go on with.
            const std::uint32_t after = token & (previous_ >> 1);
            keys_[asked] = ngram_key(id, id_of(previous_), kNoToken);
            asked += static_cast<int>((after / kEndsBigram) & 1u);
            keys_[asked] = ngram_key(id, id_of(previous_), id_of(before_));
            asked += static_cast<int>(((after & (before_ >> 2)) / kEndsTrigram) & 1u);
            before_ = previous_;
            previous_ = token;
        }
        for (int k = 0; k < asked; ++k) {
            slots_[k] = t_.ngram_slot(keys_[k]);
            t_.prefetch_ngram(slots_[k]);
        }
        key_count_ = asked;
    }

    // The n-grams asked for, looked up.
    void drain() {
        for (int k = 0; k < key_count_; ++k) hit(t_.ngram(slots_[k], keys_[k]));
        key_count_ = 0;
    }

    // One more of the n-gram `i` (or of the place for none). `i` is written
    // to the list's next place either way, kept only when new: the list has
    // a place past the last count for that write (Tables::found_size()).
    void hit(std::uint32_t i) {
        const std::size_t found = found_;
        s_.found[found] = i;
        found_ = found + (s_.counts[i]++ == 0);
    }

    static constexpr int kBatch = 16;
    static constexpr TokenKey kNumber = {0x3E6D756E3C, 5 | kShort};  // "<num>", packed
    struct Pending {
        TokenKey key;
        std::size_t slot;
        Py_ssize_t start;
    };

    const Tables& t_;
    Scratch s_;
    SignalPacing& pacing_;
    Pending pending_[kBatch];
    int pending_count_ = 0;
    std::uint64_t keys_[2 * kBatch + 1];
    std::size_t slots_[2 * kBatch];
    int key_count_ = 0;
    std::size_t found_ = 0;
    std::uint64_t tokens_ = 0;
    Py_ssize_t words_ = 0;
    std::uint32_t previous_ = kNoToken, before_ = kNoToken;
};

}  // namespace

bool read(const Tables& tables, Scratch scratch, Borrowed text, SignalPacing& pacing, double* scores, Reading& out) {
    PyObject* s = text.get();
    Scan scan(tables, scratch, pacing);
    bool read;
    if (PyUnicode_IS_ASCII(s)) {
        read = scan.read<Py_UCS1, true>(PyUnicode_1BYTE_DATA(s), PyUnicode_GET_LENGTH(s));
    } else {
        // str.lower() of an exact str runs no Python code.
        const Owned lowered = Owned::steal(PyObject_CallMethodNoArgs(s, names::get().lower));
        if (!lowered) return false;
        PyObject* l = lowered.get();
        const Py_ssize_t length = PyUnicode_GET_LENGTH(l);
        switch (PyUnicode_KIND(l)) {
            case PyUnicode_1BYTE_KIND: read = scan.read<Py_UCS1, false>(PyUnicode_1BYTE_DATA(l), length); break;
            case PyUnicode_2BYTE_KIND: read = scan.read<Py_UCS2, false>(PyUnicode_2BYTE_DATA(l), length); break;
            default: read = scan.read<Py_UCS4, false>(PyUnicode_4BYTE_DATA(l), length); break;
        }
    }
    if (!read) {
        scan.clear();
        return false;
    }
    out = scan.finish(PyUnicode_GET_LENGTH(s), scores);
    return true;
}

}  // namespace halvec::core::fitted
