#include "common/plain_reads.hpp"

namespace halvec::py {
namespace {

// A class value that a read from an instance hands back as it is: no
// descriptor, of a type that cannot become one later.
bool plain_value(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return type->tp_descr_get == nullptr && PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE);
}

// A dictionary whose keys are all exact str: looking a str up in it compares
// text only, so it runs no Python code.
bool str_keys_only(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject* key;
    while (PyDict_Next(dict, &pos, &key, nullptr)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

}  // namespace

bool PlainReads::examine(PyTypeObject* type) {
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    if (PyUnstable_Type_AssignVersionTag(type) != 1) return false;
    const unsigned int tag = type->tp_version_tag;
    const names::Table& table = names::get();
    std::array<bool, kMaxNames> found{};
    // The lookup an instance read makes: the classes of the method
    // resolution order, in turn.
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) return false;
        const Owned dict = Owned::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        if (!dict || !str_keys_only(dict.get())) return false;
        for (std::size_t n = 0; n < count_; ++n) {
            if (found[n]) continue;
            PyObject* value = PyDict_GetItemWithError(dict.get(), table.*names_[n]);
            if (!value) continue;
            if (!plain_value(value)) return false;
            found[n] = true;
        }
    }
    // Nothing above can run Python code, so the tag still names the state examined.
    if (type->tp_version_tag != tag || tag == 0) return false;
    known_[next_] = tag;
    next_ = (next_ + 1) % kKnownTypes;
    return true;
}

}  // namespace halvec::py
