#include "router/preferences.hpp"

#include <iterator>

#include "common/calls.hpp"
#include "common/dict_walk.hpp"
#include "common/names.hpp"
#include "common/python.hpp"

namespace halvec::core::preferences {

const char* const kDoc =
    "User-configurable model routing preferences.\n"
    "\n"
    "    Note: The coordinator_model is set separately in the main Settings\n"
    "    (ModelConfig component). This config is only for worker/scheduler defaults.\n"
    "    ";

PyObject* default_enabled_models() {
    const names::Table& n = names::get();
    PyObject* keys[] = {n.claude_opus, n.claude_sonnet, n.claude_haiku, n.gpt_5_2};
    PyObject* list = PyList_New(std::size(keys));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < std::size(keys); ++i) PyList_SET_ITEM(list, i, Py_NewRef(keys[i]));
    return list;
}

PyObject* to_dict(Borrowed self) {
    const names::Table& n = names::get();
    Owned result = Owned::steal(PyDict_New());
    if (!result) return nullptr;
    for (PyObject* field : {n.enabled_models, n.cost_conscious, n.default_worker_model,
                            n.default_scheduler_model}) {
        Owned value = py::getattr(self, field);
        if (!value || PyDict_SetItem(result.get(), field, value.get()) < 0) return nullptr;
    }
    return result.release();
}

PyObject* from_dict(Borrowed cls, Borrowed data) {
    const names::Table& n = names::get();
    Owned kwargs = Owned::steal(PyDict_New());
    py::ItemsWalk entries;
    if (!kwargs || !entries.start(data)) return nullptr;
    Owned key, value;
    int more;
    while ((more = entries.next(key, value)) > 0) {
        Owned fields = py::getattr(cls, n.dataclass_fields);
        if (!fields) return nullptr;
        const int is_field = PySequence_Contains(fields.get(), key.get());
        if (is_field < 0) return nullptr;
        if (is_field && PyDict_SetItem(kwargs.get(), key.get(), value.get()) < 0) return nullptr;
    }
    if (more < 0) return nullptr;
    return py::call_with_kwargs(cls, kwargs).release();
}

}  // namespace halvec::core::preferences
