// Whether reading some attributes of an object is a plain lookup in the
// object's own dictionary (falling back to a plain class value): the type
// reads attributes the default way and has no descriptor, __getattr__ or
// __getattribute__ for them. Such a read runs no Python code, so two reads
// with nothing in between give the same object and a caller may keep the
// first. (A lookup that meets a key of another type with an equal hash in the
// object's own dictionary would compare the two; a dictionary holding such a
// key is outside what this test can see.)
//
// A type is examined once for each state it is in: the interpreter gives a
// type a new version tag whenever it or a class it inherits from changes, and
// never hands out a tag twice. The tags of types found plain are kept as
// plain numbers, so the test at each call is a comparison, and any change to
// a class (a patched attribute, a new base) sends the next call to examine it
// again.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>

#include "common/names.hpp"

namespace halvec::py {

class PlainReads {
public:
    using Name = PyObject* names::Table::*;

    constexpr PlainReads(std::initializer_list<Name> attributes) {
        for (Name name : attributes) names_[count_++] = name;
    }

    // True when reading each of the attributes from an instance of `type` is plain.
    bool of(PyTypeObject* type) {
        const unsigned int tag = type->tp_version_tag;
        if (tag != 0 && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
            for (unsigned int known : known_) {
                if (known == tag) return true;
            }
        }
        return examine(type);
    }

private:
    static constexpr std::size_t kMaxNames = 4;
    static constexpr std::size_t kKnownTypes = 4;

    [[gnu::cold]] bool examine(PyTypeObject* type);

    std::array<Name, kMaxNames> names_{};
    std::size_t count_ = 0;
    std::array<unsigned int, kKnownTypes> known_{};  // 0: empty
    std::size_t next_ = 0;
};

}  // namespace halvec::py
