#include "workload/unspaced.hpp"

#include <array>
#include <cstddef>

#include "workload/description_walk.hpp"

namespace halvec::core {
namespace {

// Characters looked at between two looks at whether the answer is known.
constexpr Py_ssize_t kStep = 64;

// What a character adds to 2 * unspaced - visible: +1 for a character of a
// script without spaces, -1 for any other that is not white space, 0 for white
// space. White space above U+00A0 lies only between U+1680 and U+3000 (which
// is white space, not a character of the scripts): the interpreter's own test
// is asked only there.
int weight(Py_UCS4 c) {
    if (c >= 0x3001) {
        return (c <= 0x30FF || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) ||
                (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFF00 && c <= 0xFFEF) || (c >= 0x20000 && c <= 0x3134F))
                   ? 1
                   : -1;
    }
    if (c < 0x0E00) return (c < 0x100 && Py_UNICODE_ISSPACE(c)) ? 0 : -1;
    if (c <= 0x0FFF || (c >= 0x1000 && c <= 0x109F) || (c >= 0x1780 && c <= 0x17FF)) return 1;
    return (c >= 0x1680 && Py_UNICODE_ISSPACE(c)) ? 0 : -1;
}

// For a character below U+10000, by its high byte: +1 when every character
// of the block of 256 is of the scripts, -1 when none is and none is white
// space, 0 when weight() must look at the character itself.
constexpr int kBlockMixed = 0;

constexpr std::array<signed char, 256> block_weights() {
    std::array<signed char, 256> weights{};
    for (std::size_t high = 0; high < 256; ++high) {
        const bool all_in = (high >= 0x0E && high <= 0x0F) || (high >= 0x34 && high <= 0x4C) ||
                            (high >= 0x4E && high <= 0x9F) || (high >= 0xF9 && high <= 0xFA);
        // white space (U+0000-U+00FF, U+1680, U+2000-U+205F, U+3000), or cut by a range
        const bool mixed = high == 0x00 || high == 0x10 || high == 0x16 || high == 0x17 || high == 0x20 ||
                           high == 0x30 || high == 0x4D || high == 0xFF;
        weights[high] = static_cast<signed char>(all_in ? 1 : mixed ? kBlockMixed : -1);
    }
    return weights;
}

constexpr std::array<signed char, 256> kBlockWeights = block_weights();

// The weights of U+0000-U+00FF: 0 for what str.isspace() says is white space.
constexpr std::array<signed char, 256> latin1_weights() {
    std::array<signed char, 256> weights{};
    for (std::size_t c = 0; c < 256; ++c) {
        const bool space = (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0;
        weights[c] = static_cast<signed char>(space ? 0 : -1);
    }
    return weights;
}

constexpr std::array<signed char, 256> kLatin1Weights = latin1_weights();

int weight_below_10000(Py_UCS4 c) {
    if (c < 0x100) return kLatin1Weights[c];
    const int block = kBlockWeights[c >> 8];
    return block != kBlockMixed ? block : weight(c);
}

// 1 or 0, or -1 with an exception set (a signal handler raised). The caller
// holds the str, so its characters stay where they are across the checks.
template <typename Unit>
int mostly_unspaced(const Unit* text, Py_ssize_t length, SignalPacing& pacing) {
    // 2 * unspaced - visible so far; the answer is whether it ends above 0
    Py_ssize_t balance = 0;
    for (Py_ssize_t done = 0; done < length;) {
        const Py_ssize_t end = length - done < kStep ? length : done + kStep;
        if (pacing.done(end - done) < 0) return -1;
        if constexpr (sizeof(Unit) == 2) {
            for (; done < end; ++done) balance += weight_below_10000(text[done]);
        } else {
            for (; done < end; ++done) balance += weight(text[done]);
        }
        // each character left moves the balance by one at most: stop once it cannot cross 0
        const Py_ssize_t left = length - done;
        if (balance - left > 0) return 1;
        if (balance + left <= 0) return 0;
    }
    return balance > 0;
}

int mostly_unspaced(PyObject* str, SignalPacing& pacing) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND:
            return 0;  // nothing at or above U+0100
        case PyUnicode_2BYTE_KIND:
            return mostly_unspaced(PyUnicode_2BYTE_DATA(str), length, pacing);
        default:
            return mostly_unspaced(PyUnicode_4BYTE_DATA(str), length, pacing);
    }
}

}  // namespace

PyObject* unspaced(PyObject* descriptions) {
    Owned found = Owned::steal(PyList_New(0));
    if (!found) return nullptr;
    SignalPacing pacing(kCharactersBetweenSignalChecks);
    const int walked = walk_descriptions("unspaced", descriptions, pacing, [&](Py_ssize_t i, PyObject* text) {
        if (PyUnicode_IS_ASCII(text)) return 0;
        const int mostly = mostly_unspaced(text, pacing);
        if (mostly <= 0) return mostly;
        const Owned index = Owned::steal(PyLong_FromSsize_t(i));
        return index ? PyList_Append(found.get(), index.get()) : -1;
    });
    return walked < 0 ? nullptr : found.release();
}

}  // namespace halvec::core
