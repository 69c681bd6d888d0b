// The engine's character properties, from the running interpreter's Unicode
// tables: the same ones Python's `re` consults.
#pragma once

#include "common/refs.hpp"
#include "engine/alphabet.hpp"

namespace halvec::core {

inline const engine::Predicates& unicode_predicates() {
    static constexpr engine::Predicates predicates{
        [](char32_t c) { return Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c)) || c == U'_'; },
        [](char32_t c) { return static_cast<bool>(Py_UNICODE_ISDECIMAL(static_cast<Py_UCS4>(c))); },
        [](char32_t c) { return static_cast<bool>(Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c))); },
    };
    return predicates;
}

}  // namespace halvec::core
