// The tables of a fitted router (halvec.fitted): its n-grams with their idf
// and a weight for each of the router's models (one, for a router that scores
// one model's gain over another), found by the tokens they are made of.
//
// Two hash tables, built once when a router is loaded and only read after:
// tokens (every token that some n-gram holds) to a dense id, which also finds
// the n-gram that is the token alone, and longer n-grams, keyed by the ids of
// their two or three tokens. A text is scored by looking each of
// its tokens up once and its longer n-grams by integers, so no n-gram text is
// ever built. Everything is allocated through the engine's allocator, of
// which the module that scores (halvec._fitted) has a copy of its own: the
// tables count against its budget, as large as the engine's (kMemoryBudget),
// which they alone use, and are refused, whole, when they would not fit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/refs.hpp"
#include "engine/memory.hpp"

namespace halvec::core::fitted {

// A token, as a look-up gives it: its id in the low 20 bits (kNoToken: one
// that no n-gram holds, or a place before the text's start), and above them
// flags that say which n-grams it has a place in, so that a scan asks only
// for n-grams that can be there. A place's flag is the one after it shifted
// by one (by two, the one two after), so that a scan tests the places of two
// or three tokens at once.
inline constexpr std::uint32_t kNoToken = 0xFFFFF;
inline constexpr std::uint32_t kIdBits = 20;
inline constexpr std::size_t kMaxTokens = kNoToken;
enum TokenFlags : std::uint32_t {
    kUnigram = 1u << (kIdBits + 5),  // an n-gram alone
    kEndsBigram = 1u << kIdBits,     // the last of a bigram
    kStartsBigram = 1u << (kIdBits + 1),
    kEndsTrigram = 1u << (kIdBits + 2),
    kMiddleOfTrigram = 1u << (kIdBits + 3),
    kStartsTrigram = 1u << (kIdBits + 4),
};
static_assert(kStartsBigram == kEndsBigram << 1 && kMiddleOfTrigram == kEndsTrigram << 1 &&
              kStartsTrigram == kEndsTrigram << 2);
inline std::uint32_t id_of(std::uint32_t token) { return token & kNoToken; }
inline constexpr int kLongestNgram = 3;
// Counts below this have their 1 + ln(count) read from a table.
inline constexpr std::uint32_t kTabledCounts = 64;

// How a token is looked up. A short token (at most 8 code points, each below
// 256) is its code points packed into one integer, a byte each: that integer
// is the token, and a look-up compares nothing else. A longer one is known by
// its FNV-1a hash over its code points and compared code point by code point.
inline constexpr std::size_t kShortLength = 8;
inline constexpr std::uint32_t kShort = 1u << 31;  // in TokenKey::length
inline constexpr std::uint64_t kHashStart = 0xcbf29ce484222325ull;
inline std::uint64_t hash_step(std::uint64_t h, char32_t c) { return (h ^ c) * 0x100000001b3ull; }

struct TokenKey {
    std::uint64_t print;   // the packed code points, or the hash
    std::uint32_t length;  // code points, with kShort for a short token
    std::uint64_t hash() const {  // where the look-up starts
        return length & kShort ? (print ^ length) * 0x9E3779B97F4A7C15ull : print;
    }
};

// The key of the token whose `length` code points `read(i)` gives.
template <class Read>
TokenKey token_key(std::size_t length, const Read& read) {
    char32_t wide = 0;
    std::uint64_t packed = 0;
    for (std::size_t i = 0; i < length && i < kShortLength; ++i) {
        wide |= read(i);
        packed |= std::uint64_t{read(i)} << (8 * i);
    }
    if (length <= kShortLength && wide < 256) return {packed, static_cast<std::uint32_t>(length) | kShort};
    std::uint64_t h = kHashStart;
    for (std::size_t i = 0; i < length; ++i) h = hash_step(h, read(i));
    return {h, static_cast<std::uint32_t>(length)};
}

inline std::uint64_t ngram_key(std::uint32_t first, std::uint32_t second, std::uint32_t third) {
    return std::uint64_t{first} | (std::uint64_t{second} << 20) | (std::uint64_t{third} << 40);
}

// The most models a router scores in one pass.
inline constexpr int kMaxModels = 16;

// The most a score or a price may reach in size, whatever the text: past it a
// sum of terms is not sure to be a finite number (one of +inf and -inf makes
// NaN, and a NaN would win or lose every choice). The router files' own
// checks stop at 1e307, so every file they pass loads.
inline constexpr double kMostValue = 1e308;

// One count's terms of the scores: weights[m] * (log1p(count) - mean) / scale
// for model m.
struct CountTerms {
    double weights[kMaxModels];
    double mean;
    double scale;
};

// What a router adds to the n-grams' terms: its models, an intercept for each
// and the two counts' terms.
struct Linear {
    int models;  // 1 to kMaxModels
    double intercepts[kMaxModels];
    CountTerms words, characters;
};

class Tables {
public:
    // Slots are 16 bytes, four to a cache line: a token's slot says which
    // n-grams it has a place in, and the n-grams found are weighed once a
    // text is read, by their index.
    struct TokenSlot {
        std::uint64_t print;   // TokenKey's
        std::uint32_t length;  // TokenKey's; 0: an empty slot
        std::uint32_t token;   // id and flags
    };
    struct NgramSlot {
        std::uint64_t key;  // kEmpty: an empty slot
        std::uint32_t index;
    };
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

    // The first slot a token with `key` may be in, and a request for its
    // memory ahead of the look-up.
    std::size_t token_slot(const TokenKey& key) const { return spread(key.hash(), token_bits_); }
    void prefetch_token(std::size_t slot) const { __builtin_prefetch(&token_slots_[slot]); }

    // The token (id and flags) with `key`, whose code points `read(i)` gives,
    // looked for from `slot` (its token_slot); kNoToken when no n-gram holds
    // it. The first slot settles nearly every look-up, without a branch on
    // what it holds.
    template <class Read>
    std::uint32_t token(std::size_t slot, const TokenKey& key, const Read& read) const {
        const TokenSlot& s = token_slots_[slot];
        const bool same = (s.print == key.print) & (s.length == key.length);
        if (!((same & ((key.length & kShort) != 0)) | (s.length == 0))) return token_from(slot, key, read);
        return same ? s.token : kNoToken;
    }

    // The first slot of the n-gram with `key` (ngram_key of its token ids,
    // kNoToken for the place a bigram leaves), and a request for its memory.
    std::size_t ngram_slot(std::uint64_t key) const { return spread(key, ngram_bits_); }
    void prefetch_ngram(std::size_t slot) const { __builtin_prefetch(&ngram_slots_[slot]); }

    // The index of the n-gram with `key`, looked for from `slot`; none()
    // when there is none.
    std::uint32_t ngram(std::size_t slot, std::uint64_t key) const {
        const NgramSlot& s = ngram_slots_[slot];
        if ((s.key != key) & (s.key != kEmpty)) return ngram_from(slot, key);
        return s.key == key ? s.index : none();
    }

    std::size_t size() const { return size_; }
    // The place past the n-grams where what is not one is counted: its
    // feature weighs nothing (weight and idf 0), so a score may count there
    // rather than branch.
    std::uint32_t none() const { return static_cast<std::uint32_t>(size_); }
    // The index of the n-gram that is the token with `id` alone; none() when
    // there is none, or for kNoToken.
    std::uint32_t unigram(std::uint32_t id) const { return unigrams_[std::min<std::size_t>(id, unigrams_.size() - 1)]; }
    int longest() const { return longest_; }
    int models() const { return linear_.models; }
    // The n-gram `i`'s row: its idf, then its weight for each model.
    const double* row(std::size_t i) const { return rows_.data() + i * stride_; }
    const Linear& linear() const { return linear_; }
    // 1 + ln(count), as the fitting weighs a count.
    double tf(std::uint64_t count) const {
        return count < kTabledCounts ? tf_table_[count] : 1.0 + std::log(static_cast<double>(count));
    }

    // The scratch of a score: a count per n-gram and for none(), all zero
    // between scores, and room for the list of n-grams found. A count is
    // written to the list's next place whether or not it is new (only a new
    // one moves on), so the list has one place more than there are counts:
    // once every count is found, the next write lands there.
    std::size_t counts_size() const { return size_ + 1; }
    std::size_t found_size() const { return size_ + 2; }
    std::uint64_t* counts() { return counts_.data(); }
    std::uint32_t* found() { return found_.data(); }

    // Bytes the tables hold, as the engine's budget counts them.
    std::size_t bytes() const { return bytes_; }

    // A slot for a hash or a key: its high bits folded into the low ones
    // (n-gram keys are ids packed side by side), then a multiplicative hash.
    static std::size_t spread(std::uint64_t h, int bits) {
        h ^= h >> 29;
        h *= 0xbf58476d1ce4e5b9ull;
        return static_cast<std::size_t>(h >> (64 - bits));
    }

private:
    friend struct Builder;
    template <class Read>
    std::uint32_t token_from(std::size_t slot, const TokenKey& key, const Read& read) const {
        for (;; slot = (slot + 1) & token_mask_) {
            const TokenSlot& s = token_slots_[slot];
            if (s.length == 0) return kNoToken;
            if (s.print != key.print || s.length != key.length) continue;
            if (key.length & kShort) return s.token;
            const char32_t* stored = pool_.data() + offsets_[id_of(s.token)];
            std::size_t i = 0;
            while (i < key.length && stored[i] == read(i)) ++i;
            if (i == key.length) return s.token;
        }
    }
    std::uint32_t ngram_from(std::size_t slot, std::uint64_t key) const {
        for (;; slot = (slot + 1) & ngram_mask_) {
            const NgramSlot& s = ngram_slots_[slot];
            if (s.key == key) return s.index;
            if (s.key == kEmpty) return none();
        }
    }

    engine::Vector<TokenSlot> token_slots_;
    engine::Vector<char32_t> pool_;
    engine::Vector<std::uint32_t> offsets_;   // by token id: a long token's code points in the pool
    engine::Vector<std::uint32_t> unigrams_;  // by token id: its unigram's index; last, none() for kNoToken
    engine::Vector<NgramSlot> ngram_slots_;
    engine::Vector<double> rows_;  // a row by index (stride_ doubles), and none()'s last
    engine::Vector<std::uint64_t> counts_;
    engine::Vector<std::uint32_t> found_;
    double tf_table_[kTabledCounts] = {};
    std::size_t token_mask_ = 0, ngram_mask_ = 0;
    int token_bits_ = 1, ngram_bits_ = 1;
    std::size_t size_ = 0;
    int longest_ = 1;
    std::size_t stride_ = 2;
    Linear linear_{};
    std::size_t bytes_ = 0;
};

struct TablesDelete {
    void operator()(Tables* tables) const noexcept;
};
using TablesPtr = std::unique_ptr<Tables, TablesDelete>;

// The tables of a router: `ngrams` a list of exact str (each one to `longest`
// tokens joined by single spaces), `idf` a list of exact float of the same
// length, and `weights` one too: of exact float where `rows` is false (a
// router of one model), else of exact lists of `linear.models` exact float.
// Null with an exception set: ValueError for an n-gram that cannot be read or
// is there twice, a number that is not finite, or numbers with which some
// text's score could pass kMostValue; MemoryError when the tables would not
// fit the budget.
TablesPtr build_tables(Borrowed ngrams, Borrowed weights, Borrowed idf, int longest, const Linear& linear, bool rows);

}  // namespace halvec::core::fitted
