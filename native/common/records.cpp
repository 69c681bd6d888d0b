#include "common/records.hpp"

#include "common/names.hpp"
#include "common/python.hpp"

namespace halvec::py {

Owned make_dataclass(const py::Scope& scope, const char* name, const char* doc,
                     std::span<const FieldSpec> fields, FunctionRef<bool(Borrowed ns)> extra,
                     Borrowed context) {
    Owned no_bases = Owned::steal(PyTuple_New(0));
    if (!no_bases) return {};
    Owned cls = make_class(name, no_bases, [&](Borrowed ns) {
        const names::Table& n = names::get();
        Owned doc_text = str(doc);
        Owned annotations = Owned::steal(PyDict_New());
        if (!doc_text || !annotations) return false;
        for (const FieldSpec& f : fields) {
            Owned text = str(f.annotation);
            if (!text || PyDict_SetItemString(annotations.get(), f.name, text.get()) < 0) return false;
        }
        if (PyObject_SetItem(ns.get(), n.dunder_doc, doc_text.get()) < 0) return false;
        if (PyObject_SetItem(ns.get(), n.dunder_annotations, annotations.get()) < 0) return false;
        for (const FieldSpec& f : fields) {
            if (!f.make_default) continue;
            Owned value = f.make_default(scope, context);
            if (!value || PyMapping_SetItemString(ns.get(), f.name, value.get()) < 0) return false;
        }
        return !extra || extra(ns);
    });
    if (!cls) return {};
    Owned dataclass = lookup_global(scope, "dataclass");
    if (!dataclass) return {};
    return Owned::steal(PyObject_CallOneArg(dataclass.get(), cls.get()));
}

}  // namespace halvec::py
