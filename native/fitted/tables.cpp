#include "fitted/tables.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <new>
#include <stdexcept>

namespace halvec::core::fitted {

void TablesDelete::operator()(Tables* tables) const noexcept {
    if (!tables) return;
    tables->~Tables();
    engine::memory::release(tables, sizeof(Tables));
}

namespace {

constexpr std::uint32_t kNoUnigram = ~std::uint32_t{0};

bool is_word(Py_UCS4 c) { return Py_UNICODE_ISALNUM(c) || c == '_'; }

std::size_t round_up_power_of_two(std::size_t n) {
    std::size_t p = 2;
    while (p < n) p <<= 1;
    return p;
}

int bits_of(std::size_t power_of_two) {
    int bits = 0;
    while ((std::size_t{1} << bits) < power_of_two) ++bits;
    return bits;
}

// One token of an n-gram's text: characters [start, end) of `text`.
struct Part {
    Py_ssize_t start;
    Py_ssize_t end;
};

}  // namespace

// Fills a Tables; every failure is a Python exception and leaves nothing
// behind (the tables are freed by their owner).
struct Builder {
    Tables& t;
    std::size_t tokens = 0;
    // By token id, until the tables are done.
    engine::Vector<std::uint32_t> flags{};

    static TablesPtr build(Borrowed ngrams, Borrowed weights, Borrowed idf, int longest, const Linear& linear,
                           bool rows);

    static bool fail(PyObject* type, const char* format, PyObject* ngram) {
        PyErr_Format(type, format, ngram);
        return false;
    }

    // The id of the token with the code points of text[part], added when
    // new; kNoToken when there are too many.
    std::uint32_t add_token(PyObject* text, const Part& part) {
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        const auto read = [&](std::size_t i) {
            return static_cast<char32_t>(PyUnicode_READ(kind, data, part.start + static_cast<Py_ssize_t>(i)));
        };
        const std::size_t length = static_cast<std::size_t>(part.end - part.start);
        const TokenKey key = token_key(length, read);
        if (const std::uint32_t known = t.token(t.token_slot(key), key, read); known != kNoToken) return id_of(known);
        if (tokens == kMaxTokens) return kNoToken;
        if (2 * (tokens + 1) > t.token_slots_.size()) grow_tokens();  // never, with the slots sized up front
        t.offsets_.push_back(static_cast<std::uint32_t>(t.pool_.size()));
        if (!(key.length & kShort)) {
            for (std::size_t i = 0; i < length; ++i) t.pool_.push_back(read(i));
        }
        std::size_t slot = t.token_slot(key);
        while (t.token_slots_[slot].length != 0) slot = (slot + 1) & t.token_mask_;
        const auto id = static_cast<std::uint32_t>(tokens++);
        flags.push_back(0);
        t.unigrams_.push_back(kNoUnigram);
        t.token_slots_[slot] = {key.print, key.length, id};
        return id;
    }

    void grow_tokens() { size_tokens(2 * t.token_slots_.size()); }

    // The token slots made `size` (a power of two), the tokens already in moved over.
    void size_tokens(std::size_t size) {
        engine::Vector<Tables::TokenSlot> slots(size, Tables::TokenSlot{0, 0, 0});
        const int bits = bits_of(size);
        for (const Tables::TokenSlot& s : t.token_slots_) {
            if (s.length == 0) continue;
            std::size_t slot = Tables::spread(TokenKey{s.print, s.length}.hash(), bits);
            while (slots[slot].length != 0) slot = (slot + 1) & (size - 1);
            slots[slot] = s;
        }
        t.token_slots_.swap(slots);
        t.token_bits_ = bits;
        t.token_mask_ = size - 1;
    }

    // Cuts an n-gram's text into its tokens; false with ValueError set when
    // the text is not one to `longest` tokens joined by single spaces.
    static bool parts_of(PyObject* ngram, int longest, Part (&parts)[kLongestNgram], int& count) {
        const int kind = PyUnicode_KIND(ngram);
        const void* data = PyUnicode_DATA(ngram);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(ngram);
        count = 0;
        Py_ssize_t start = 0;
        for (Py_ssize_t i = 0; i <= length; ++i) {
            if (i < length && PyUnicode_READ(kind, data, i) != ' ') continue;
            if (i == start) return fail(PyExc_ValueError, "the n-gram %R has an empty token", ngram);
            if (count == longest) {
                return fail(PyExc_ValueError, "the n-gram %R has more tokens than the router's longest n-gram",
                            ngram);
            }
            parts[count++] = {start, i};
            start = i + 1;
        }
        for (int p = 0; p < count; ++p) {
            const Part& part = parts[p];
            if (is_number_token(ngram, part)) continue;
            // A run of word characters, or one character that is neither a
            // word character nor whitespace; never a run of digits alone.
            const bool word = is_word(PyUnicode_READ(kind, data, part.start));
            bool digits = true;
            for (Py_ssize_t i = part.start; i < part.end; ++i) {
                const Py_UCS4 c = PyUnicode_READ(kind, data, i);
                if (Py_UNICODE_ISSPACE(c) || is_word(c) != word) {
                    return fail(PyExc_ValueError, "the n-gram %R is not made of tokens", ngram);
                }
                digits = digits && Py_UNICODE_ISDECIMAL(c);
            }
            if (!word && part.end - part.start != 1) {
                return fail(PyExc_ValueError, "the n-gram %R is not made of tokens", ngram);
            }
            if (digits) {
                return fail(PyExc_ValueError, "the n-gram %R can never be found: digits are read as <num>", ngram);
            }
        }
        return true;
    }

    static bool is_number_token(PyObject* ngram, const Part& part) {
        static constexpr char kNumber[] = "<num>";
        if (part.end - part.start != 5) return false;
        const int kind = PyUnicode_KIND(ngram);
        const void* data = PyUnicode_DATA(ngram);
        for (Py_ssize_t i = 0; i < 5; ++i) {
            if (PyUnicode_READ(kind, data, part.start + i) != static_cast<Py_UCS4>(kNumber[i])) return false;
        }
        return true;
    }

    bool add_ngram(PyObject* ngram, std::uint32_t index) {
        Part parts[kLongestNgram];
        int count = 0;
        if (!parts_of(ngram, t.longest_, parts, count)) return false;
        std::uint32_t ids[kLongestNgram] = {kNoToken, kNoToken, kNoToken};
        for (int p = 0; p < count; ++p) {
            ids[p] = add_token(ngram, parts[p]);
            if (ids[p] == kNoToken) return fail(PyExc_ValueError, "too many distinct tokens, at the n-gram %R", ngram);
        }
        if (count == 1) {  // kept with its token
            if (t.unigrams_[ids[0]] != kNoUnigram) return fail(PyExc_ValueError, "the n-gram %R is there twice", ngram);
            t.unigrams_[ids[0]] = index;
            flags[ids[0]] |= kUnigram;
            return true;
        }
        static constexpr std::uint32_t kPlaces[kLongestNgram][kLongestNgram] = {
            {0}, {kStartsBigram, kEndsBigram}, {kStartsTrigram, kMiddleOfTrigram, kEndsTrigram}};
        for (int p = 0; p < count; ++p) flags[ids[p]] |= kPlaces[count - 1][p];
        // Keys read the n-gram from its last token back, as a scan meets it.
        const std::uint64_t key =
            count == 2 ? ngram_key(ids[1], ids[0], kNoToken) : ngram_key(ids[2], ids[1], ids[0]);
        for (std::size_t slot = t.ngram_slot(key);; slot = (slot + 1) & t.ngram_mask_) {
            Tables::NgramSlot& s = t.ngram_slots_[slot];
            if (s.key == key) return fail(PyExc_ValueError, "the n-gram %R is there twice", ngram);
            if (s.key == Tables::kEmpty) {
                s = {key, index};
                return true;
            }
        }
    }

    // Every token's flags into its slot, once all n-grams are in.
    void finish_tokens() {
        for (std::size_t slot = 0; slot < t.token_slots_.size(); ++slot) {
            Tables::TokenSlot& s = t.token_slots_[slot];
            if (s.length == 0) continue;
            const std::uint32_t id = s.token;
            s.token |= flags[id];
        }
        for (std::uint32_t& unigram : t.unigrams_) {
            if (unigram == kNoUnigram) unigram = t.none();
        }
        t.unigrams_.push_back(t.none());  // kNoToken's
    }
};

namespace {

// A token of an n-gram, as the count of distinct tokens sorts them.
struct TokenPlace {
    std::uint64_t print;   // TokenKey's
    std::uint32_t length;  // TokenKey's
    std::uint32_t ngram;   // its n-gram's index
    std::uint32_t start;   // where it starts in its n-gram
};

// The order of two tokens' places, by key and then (for a long token, whose
// key is a hash) by code points: equal tokens end up side by side.
int compare_places(PyObject* texts, const TokenPlace& a, const TokenPlace& b) {
    if (a.length != b.length) return a.length < b.length ? -1 : 1;
    if (a.print != b.print) return a.print < b.print ? -1 : 1;
    if (a.length & kShort) return 0;
    PyObject* x = PyList_GET_ITEM(texts, a.ngram);
    PyObject* y = PyList_GET_ITEM(texts, b.ngram);
    const int x_kind = PyUnicode_KIND(x), y_kind = PyUnicode_KIND(y);
    const void *x_data = PyUnicode_DATA(x), *y_data = PyUnicode_DATA(y);
    for (std::uint32_t i = 0; i < a.length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(x_kind, x_data, a.start + i), d = PyUnicode_READ(y_kind, y_data, b.start + i);
        if (c != d) return c < d ? -1 : 1;
    }
    return 0;
}

// The distinct tokens of some n-grams, and the code points of those the
// pool keeps (the long ones), each once however many n-grams hold it.
struct TokenCount {
    std::size_t tokens;
    std::size_t pooled;
};

// The distinct tokens in the n-grams `texts` (each cut as the build cuts it),
// at most `places` of them. It counts in memory of its own, freed before it
// returns, so that the tables can be sized from the exact count. It stops at
// an n-gram that is not made of tokens: the build stops there too (or at a
// fault before it), and reports the first fault it meets, whatever kind it is.
TokenCount count_tokens(PyObject* texts, int longest, std::size_t places) {
    engine::Vector<TokenPlace> found;
    found.reserve(places);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(texts); ++i) {
        PyObject* text = PyList_GET_ITEM(texts, i);
        Part parts[kLongestNgram];
        int count = 0;
        if (!Builder::parts_of(text, longest, parts, count)) {
            PyErr_Clear();
            break;
        }
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        for (int p = 0; p < count && found.size() < places; ++p) {
            const Part& part = parts[p];
            const TokenKey key = token_key(static_cast<std::size_t>(part.end - part.start), [&](std::size_t k) {
                return static_cast<char32_t>(PyUnicode_READ(kind, data, part.start + static_cast<Py_ssize_t>(k)));
            });
            found.push_back({key.print, key.length, static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(part.start)});
        }
    }
    std::sort(found.begin(), found.end(),
              [&](const TokenPlace& a, const TokenPlace& b) { return compare_places(texts, a, b) < 0; });
    TokenCount count{0, 0};
    for (std::size_t k = 0; k < found.size(); ++k) {
        if (k > 0 && compare_places(texts, found[k - 1], found[k]) == 0) continue;
        ++count.tokens;
        if (!(found[k].length & kShort)) count.pooled += found[k].length;
    }
    return count;
}

bool finite_float(PyObject* value, double& out) {
    if (!PyFloat_CheckExact(value)) return false;
    out = PyFloat_AS_DOUBLE(value);
    return std::isfinite(out);
}

bool valid_terms(const CountTerms& terms, int models) {
    for (int m = 0; m < models; ++m) {
        if (!std::isfinite(terms.weights[m])) return false;
    }
    return std::isfinite(terms.mean) && std::isfinite(terms.scale) && terms.scale > 0;
}

// Whether every score of model m stays within kMostValue, whatever the text,
// `weights` being the sum of the sizes of its n-grams' weights (each n-gram's
// share of the norm is at most 1): the intercept, those, and each count
// term's most, |weight| * (|mean| + the most log1p(count)) / scale, which
// bounds each step of the term too.
bool bounded(const Linear& linear, int m, double weights) {
    const double most_log_count = std::log1p(0x1p63);  // a str's length is below 2**63
    double bound = std::fabs(linear.intercepts[m]) + weights;
    for (const CountTerms* terms : {&linear.words, &linear.characters}) {
        const double part = std::fabs(terms->weights[m]) * (std::fabs(terms->mean) + most_log_count) / terms->scale;
        if (!(part <= kMostValue)) return false;
        bound += part;
    }
    return bound <= kMostValue;
}

bool valid_linear(const Linear& linear) {
    if (linear.models < 1 || linear.models > kMaxModels) return false;
    for (int m = 0; m < linear.models; ++m) {
        if (!std::isfinite(linear.intercepts[m])) return false;
    }
    return valid_terms(linear.words, linear.models) && valid_terms(linear.characters, linear.models);
}

// Whether `value` is an exact list of `models` finite exact floats (rows), or
// one finite exact float.
bool finite_weights(PyObject* value, int models, bool rows) {
    double w = 0;
    if (!rows) return finite_float(value, w);
    if (!PyList_CheckExact(value) || PyList_GET_SIZE(value) != models) return false;
    for (int m = 0; m < models; ++m) {
        if (!finite_float(PyList_GET_ITEM(value, m), w)) return false;
    }
    return true;
}

constexpr std::size_t kBlockOverhead = 16;  // what the allocator adds to a block, roughly

// Whether `needed` bytes fit the budget; false with MemoryError set when they
// do not. The module's allocator holds routers' tables alone (tables.hpp):
// nothing can be dropped to make room.
bool fits(Py_ssize_t size, std::size_t needed) {
    if (!engine::memory::over_budget(needed)) return true;
    const std::size_t in_use = engine::memory::in_use(), budget = engine::memory::budget();
    PyErr_Format(PyExc_MemoryError,
                 "a router of %zd n-grams needs %zu KiB, more than the %zu KiB left of the %zu KiB "
                 "the engine may hold",
                 size, needed >> 10, (budget > in_use ? budget - in_use : 0) >> 10, budget >> 10);
    return false;
}

// What the tables will take at most, counted before anything is allocated.
// Slots for `longer` bigrams and trigrams: at most 0.7 of them taken.
std::size_t ngram_slots_for(std::size_t longer) { return round_up_power_of_two(longer + longer / 2 + 1); }

// Slots for at most `tokens` tokens: at most half of them taken.
std::size_t token_slots_for(std::size_t tokens) { return round_up_power_of_two(2 * tokens + 2); }

// The most the tables hold, the builder's own with them, when the n-grams
// hold `tokens` distinct tokens, `pooled` code points of them kept in the
// pool: every table is allocated once, at this size, so that what a build
// takes never passes what it was allowed.
std::size_t estimate(std::size_t size, std::size_t stride, std::size_t longer, std::size_t pooled,
                     std::size_t tokens) {
    constexpr std::size_t kBlocks = 10;
    return sizeof(Tables) + ngram_slots_for(longer) * sizeof(Tables::NgramSlot) +
           token_slots_for(tokens) * sizeof(Tables::TokenSlot) + pooled * sizeof(char32_t) +
           (size + 1) * (stride * sizeof(double) + sizeof(std::uint64_t) + sizeof(std::uint32_t)) +
           sizeof(std::uint32_t) +  // the list of n-grams found has a place more than the counts
           (tokens + 1) * 3 * sizeof(std::uint32_t) +  // by token id (and kNoToken), the builder's flags with them
           kBlocks * kBlockOverhead;
}

// The number of tokens an n-gram's text may add: one more than its spaces,
// and never more than the longest n-gram holds (a longer one is refused).
std::size_t tokens_in(PyObject* text) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    std::size_t tokens = 1;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < length && tokens < std::size_t{kLongestNgram}; ++i) {
        tokens += PyUnicode_READ(kind, data, i) == ' ';
    }
    return tokens;
}

}  // namespace

TablesPtr Builder::build(Borrowed ngrams, Borrowed weights, Borrowed idf, int longest, const Linear& linear,
                         bool rows) {
    PyObject* texts = ngrams.get();
    if (!PyList_CheckExact(texts) || !PyList_CheckExact(weights.get()) || !PyList_CheckExact(idf.get())) {
        PyErr_SetString(PyExc_TypeError, "the n-grams, weights and idf must be lists");
        return {};
    }
    const Py_ssize_t size = PyList_GET_SIZE(texts);
    if (size >= (Py_ssize_t{1} << 31)) {
        PyErr_SetString(PyExc_MemoryError, "a router of 2**31 n-grams or more cannot be loaded");
        return {};
    }
    if (PyList_GET_SIZE(weights.get()) != size || PyList_GET_SIZE(idf.get()) != size) {
        PyErr_SetString(PyExc_ValueError, "the n-grams, weights and idf must be lists of one length");
        return {};
    }
    if (longest < 1 || longest > kLongestNgram) {
        PyErr_Format(PyExc_ValueError, "the longest n-gram must be 1 to %d tokens, not %d", kLongestNgram, longest);
        return {};
    }
    if (linear.models < 1 || linear.models > kMaxModels || (!rows && linear.models != 1)) {
        PyErr_Format(PyExc_ValueError, "a router scores 1 to %d models, in rows of weights for more than one",
                     kMaxModels);
        return {};
    }
    if (!valid_linear(linear)) {
        PyErr_SetString(PyExc_ValueError, "the intercepts and the count terms must be finite, and scales above 0");
        return {};
    }
    std::size_t characters_total = 0, longer = 0, tokens = 0;
    double weights_sizes[kMaxModels] = {};
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* text = PyList_GET_ITEM(texts, i);
        double d = 0;
        if (!PyUnicode_CheckExact(text)) {
            PyErr_Format(PyExc_TypeError, "n-gram %zd is not a str", i);
            return {};
        }
        if (!finite_weights(PyList_GET_ITEM(weights.get(), i), linear.models, rows) ||
            !finite_float(PyList_GET_ITEM(idf.get(), i), d) || d <= 0) {
            if (rows) {
                PyErr_Format(PyExc_ValueError, "the n-gram %R needs a list of %d finite float weights and an idf above 0",
                             text, linear.models);
            } else {
                PyErr_Format(PyExc_ValueError, "the n-gram %R needs a finite float weight and an idf above 0", text);
            }
            return {};
        }
        PyObject* row = PyList_GET_ITEM(weights.get(), i);  // checked above: exact floats
        for (int m = 0; m < linear.models; ++m) {
            weights_sizes[m] += std::fabs(PyFloat_AS_DOUBLE(rows ? PyList_GET_ITEM(row, m) : row));
        }
        characters_total += static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
        const std::size_t parts = tokens_in(text);
        longer += parts > 1;
        tokens += parts;
    }
    for (int m = 0; m < linear.models; ++m) {
        if (!bounded(linear, m, weights_sizes[m])) {
            PyErr_Format(PyExc_ValueError,
                         "the results of model %d could pass 1e308 (the intercept, the n-grams' weights and the "
                         "count terms add up past it): they would not be sure to be finite numbers", m);
            return {};
        }
    }
    if (characters_total >= 0xFFFFFFFFu) {  // past what a pool offset holds
        PyErr_SetString(PyExc_MemoryError, "the router's n-grams hold too many characters");
        return {};
    }
    // The tokens are counted first, in memory that the budget must also
    // allow, so that the tables are sized for the tokens there are.
    if (!fits(size, tokens * sizeof(TokenPlace) + kBlockOverhead)) return {};
    const TokenCount counted = count_tokens(texts, longest, tokens);
    tokens = std::min(counted.tokens, kMaxTokens);
    const std::size_t stride = static_cast<std::size_t>(linear.models) + 1;
    if (!fits(size, estimate(static_cast<std::size_t>(size), stride, longer, counted.pooled, tokens))) return {};

    const std::size_t before = engine::memory::in_use();
    void* memory = engine::memory::allocate(sizeof(Tables));
    TablesPtr tables(new (memory) Tables());
    Tables& t = *tables;
    t.longest_ = longest;
    t.linear_ = linear;
    t.stride_ = stride;
    for (std::uint32_t c = 1; c < kTabledCounts; ++c) t.tf_table_[c] = 1.0 + std::log(static_cast<double>(c));
    const std::size_t ngram_slots = ngram_slots_for(longer);
    t.ngram_slots_.assign(ngram_slots, Tables::NgramSlot{Tables::kEmpty, 0});
    t.ngram_bits_ = bits_of(ngram_slots);
    t.ngram_mask_ = ngram_slots - 1;
    t.pool_.reserve(counted.pooled);
    t.size_ = static_cast<std::size_t>(size);
    t.rows_.assign((t.size_ + 1) * stride, 0.0);
    {  // the builder's own tables go before the tables' size is taken
        Builder builder{t};
        builder.size_tokens(token_slots_for(tokens));
        builder.flags.reserve(tokens);
        t.offsets_.reserve(tokens);
        t.unigrams_.reserve(tokens + 1);
        for (Py_ssize_t i = 0; i < size; ++i) {
            double* row = t.rows_.data() + static_cast<std::size_t>(i) * stride;
            PyObject* weight = PyList_GET_ITEM(weights.get(), i);
            row[0] = PyFloat_AS_DOUBLE(PyList_GET_ITEM(idf.get(), i));
            for (int m = 0; m < linear.models; ++m) {
                row[1 + m] = PyFloat_AS_DOUBLE(rows ? PyList_GET_ITEM(weight, m) : weight);
            }
            if (!builder.add_ngram(PyList_GET_ITEM(texts, i), static_cast<std::uint32_t>(i))) return {};
        }
        builder.finish_tokens();
    }
    t.counts_.assign(t.counts_size(), 0);
    t.found_.assign(t.found_size(), 0);
    t.bytes_ = engine::memory::in_use() - before;  // the engine's own count, block overheads included
    return tables;
}

// Reads only exact str and float objects, through borrowed references, and
// runs no Python code: an allocation that fails unwinds no further than here.
TablesPtr build_tables(Borrowed ngrams, Borrowed weights, Borrowed idf, int longest, const Linear& linear, bool rows) {
    try {
        return Builder::build(ngrams, weights, idf, longest, linear, rows);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    }
    return {};
}

}  // namespace halvec::core::fitted
