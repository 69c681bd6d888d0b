#include "common/dict_walk.hpp"

#include "common/calls.hpp"
#include "common/names.hpp"
#include "common/python.hpp"

namespace halvec::py {

bool ItemsWalk::start(Borrowed mapping) {
    mapping_ = Owned::take(mapping);
    if (PyDict_CheckExact(mapping.get())) {
        used_ = left_ = PyDict_GET_SIZE(mapping.get());
        return true;
    }
    Owned view = call_method(mapping, names::get().items);
    if (!view) return false;
    iterator_ = Owned::steal(PyObject_GetIter(view.get()));
    return static_cast<bool>(iterator_);
}

int ItemsWalk::next(Owned& key, Owned& value) {
    if (iterator_) {
        Owned entry = Owned::steal(PyIter_Next(iterator_.get()));
        if (!entry) return PyErr_Occurred() ? -1 : 0;
        return unpack_pair(entry, key, value) ? 1 : -1;
    }
    PyObject* dict = mapping_.get();
    if (PyDict_GET_SIZE(dict) != used_) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return -1;
    }
    PyObject* k;
    PyObject* v;
    if (!PyDict_Next(dict, &pos_, &k, &v)) return 0;
    if (left_ == 0) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
        return -1;
    }
    --left_;
    // Both are held before the previous pair is let go: its finaliser may
    // edit the dict and free `v`.
    Owned new_key = Owned::take(k);
    Owned new_value = Owned::take(v);
    key = std::move(new_key);
    value = std::move(new_value);
    return 1;
}

}  // namespace halvec::py
