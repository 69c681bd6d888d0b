#include "core/fitted_scorer.hpp"

#include <array>
#include <cmath>
#include <utility>

#include "common/names.hpp"

namespace halvec::core::fitted {
namespace {

// Characters between checks for signals.
constexpr Py_ssize_t kSlice = Py_ssize_t{1} << 20;

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

// The characters of the text being read: lower-cased on the way when it is
// ASCII (str.lower() maps A-Z to a-z and leaves the rest), else read as they
// are from the text str.lower() made; with their classes (kSpace, kWord,
// kDecimal), from a table for 1-byte text.
template <class Char, bool kLowerAscii>
struct Reader {
    const Char* p;
    const std::array<std::uint8_t, 256>& table = byte_classes();

    char32_t operator()(Py_ssize_t i) const {
        const char32_t c = p[i];
        if constexpr (kLowerAscii) return c - U'A' < 26u ? c + 32 : c;
        return c;
    }
    std::uint8_t classes(char32_t c) const {
        if constexpr (sizeof(Char) == 1) return table[c];
        return classes_of(static_cast<Py_UCS4>(c));
    }
};

class Scan {
public:
    Scan(const Tables& tables, Scratch scratch) : t_(tables), s_(scratch) {}

    template <class Char, bool kLowerAscii>
    bool read(const Char* text, Py_ssize_t length) {
        const Reader<Char, kLowerAscii> at{text};
        Py_ssize_t i = 0, next_check = kSlice;
        bool between_words = true;
        while (i < length) {
            if (i >= next_check) {
                if (PyErr_CheckSignals() < 0) return false;
                next_check = i + kSlice;
            }
            char32_t c = at(i);
            std::uint8_t classes = at.classes(c);
            if (classes & kSpace) {
                between_words = true;
                ++i;
                continue;
            }
            words_ += between_words;
            between_words = false;
            Pending& token = pending_[pending_count_++];
            token.start = i;
            std::uint64_t h = kHashStart;
            if (classes & kWord) {
                bool digits = true;
                do {
                    h = hash_step(h, c);
                    digits = digits && (classes & kDecimal);
                    if (++i == length) break;
                    if (i >= next_check) {
                        if (PyErr_CheckSignals() < 0) return false;
                        next_check = i + kSlice;
                    }
                    c = at(i);
                    classes = at.classes(c);
                } while (classes & kWord);
                token.digits = digits;
            } else {
                h = hash_step(h, c);
                token.digits = false;
                ++i;
            }
            token.hash = h;
            token.length = static_cast<std::size_t>(i - token.start);
            if (!token.digits) {
                token.slot = t_.token_slot(h);
                t_.prefetch_token(token.slot);
            }
            if (pending_count_ == kBatch) look_up(at);
        }
        look_up(at);
        return true;
    }

    // The score from what was read; the scratch is left all zero.
    double finish(Py_ssize_t characters) {
        double dot = 0, squares = 0;
        for (std::size_t k = 0; k < found_; ++k) {
            const std::uint32_t i = s_.found[k];
            const Tables::Feature& f = t_.feature(i);
            const double value = t_.tf(s_.counts[i]) * f.idf;
            s_.counts[i] = 0;
            squares += value * value;
            dot += f.weight * value;
        }
        found_ = 0;
        double result = t_.intercept();
        if (squares > 0) result += dot / std::sqrt(squares);
        return result + term(t_.words(), static_cast<double>(words_)) +
               term(t_.characters(), static_cast<double>(characters));
    }

    // After a failure: the scratch back to all zero.
    void abandon() {
        for (std::size_t k = 0; k < found_; ++k) s_.counts[s_.found[k]] = 0;
        found_ = 0;
    }

private:
    static double term(const CountTerm& c, double count) { return c.weight * (std::log1p(count) - c.mean) / c.scale; }

    // A batch of tokens read, looked up together: the memory of each look-up
    // was asked for when the token was read, and that of the n-grams is
    // asked for before any of them is looked up.
    template <class Read>
    void look_up(const Read& at) {
        const int count = std::exchange(pending_count_, 0);
        std::uint64_t keys[2 * kBatch];
        std::size_t slots[2 * kBatch];
        int key_count = 0;
        for (int k = 0; k < count; ++k) {
            const Pending& p = pending_[k];
            const Tables::TokenSlot* found =
                p.digits ? t_.number()
                         : t_.token(p.slot, p.hash, p.length,
                                    [&](std::size_t j) { return at(p.start + static_cast<Py_ssize_t>(j)); });
            const std::uint32_t token = found ? found->token : kNoToken;
            if (found && found->unigram) hit(found->unigram - 1);
            // Only the n-grams that the token's place and the tokens before it allow.
            const std::uint32_t id = id_of(token);
            if ((token & kEndsBigram) && (previous_ & kStartsBigram)) {
                keys[key_count++] = ngram_key(id, id_of(previous_), kNoToken);
            }
            if ((token & kEndsTrigram) && (previous_ & kMiddleOfTrigram) && (before_ & kStartsTrigram)) {
                keys[key_count++] = ngram_key(id, id_of(previous_), id_of(before_));
            }
            before_ = previous_;
            previous_ = token;
        }
        for (int k = 0; k < key_count; ++k) {
            slots[k] = t_.ngram_slot(keys[k]);
            t_.prefetch_ngram(slots[k]);
        }
        for (int k = 0; k < key_count; ++k) {
            const std::int64_t index = t_.ngram(slots[k], keys[k]);
            if (index >= 0) hit(static_cast<std::uint32_t>(index));
        }
    }

    void hit(std::uint32_t i) {
        if (s_.counts[i]++ == 0) s_.found[found_++] = i;
    }

    static constexpr int kBatch = 16;
    struct Pending {
        std::uint64_t hash;
        std::size_t slot;
        Py_ssize_t start;
        std::size_t length;
        bool digits;
    };

    const Tables& t_;
    Scratch s_;
    Pending pending_[kBatch];
    int pending_count_ = 0;
    std::size_t found_ = 0;
    Py_ssize_t words_ = 0;
    std::uint32_t previous_ = kNoToken, before_ = kNoToken;
};

}  // namespace

bool score(const Tables& tables, Scratch scratch, Borrowed text, double& out) {
    PyObject* s = text.get();
    Scan scan(tables, scratch);
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
        scan.abandon();
        return false;
    }
    out = scan.finish(PyUnicode_GET_LENGTH(s));
    return true;
}

}  // namespace halvec::core::fitted
