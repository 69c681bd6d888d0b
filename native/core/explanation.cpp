#include "core/explanation.hpp"

#include "common/names.hpp"
#include "core/classifier.hpp"
#include "core/pattern_scan.hpp"
#include "core/pattern_search.hpp"

namespace halvec::core {

PyObject* first_match(PatternState& state, const py::Scope& scope, Borrowed patterns, Borrowed text) {
    SearchText view{text, 0, PyUnicode_GET_LENGTH(text.get()), false, {}};
    view.engine = view.end > 0;
    PatternLoop loop;
    Finding finding;
    const int found = search_patterns(state, scope, loop, Owned::take(patterns), PatternState::kComplex, view, finding);
    if (found < 0) return nullptr;
    if (found == 0) Py_RETURN_NONE;
    Py_ssize_t start, end;
    if (span_of(state, scope, finding, view, start, end) < 0) return nullptr;
    return Py_BuildValue("(nnn)", finding.index, start, end);
}

namespace {

// An instance of a frozen record class, its fields set directly through
// their descriptors (the class's own __setattr__ refuses).
Owned make_record(Borrowed type, std::initializer_list<std::pair<PyObject*, Owned>> fields) {
    if (!PyType_Check(type.get())) {
        PyErr_SetString(PyExc_TypeError, "the explanation record is not a class");
        return {};
    }
    auto* cls = reinterpret_cast<PyTypeObject*>(type.get());
    const Owned no_args = Owned::steal(PyTuple_New(0));
    if (!no_args) return {};
    Owned record = Owned::steal(PyBaseObject_Type.tp_new(cls, no_args.get(), nullptr));
    if (!record) return {};
    for (const auto& [name, value] : fields) {
        if (!value || PyObject_GenericSetAttr(record.get(), name, value.get()) < 0) return {};
    }
    return record;
}

Owned none() { return Owned::take(Py_None); }
Owned text(PyObject* interned) { return Owned::take(interned); }

}  // namespace

PyObject* explain_complexity(PatternState& state, const py::Scope& scope, Borrowed record_type, Borrowed prompt,
                             Borrowed tool_count) {
    const names::Table& n = names::get();
    Classification c;
    if (explain_classification(state, scope, prompt, tool_count, c) < 0) return nullptr;
    const bool by_pattern = c.rule == Classification::Rule::ComplexPattern ||
                            c.rule == Classification::Rule::SimplePattern;
    PyObject* rule = c.rule == Classification::Rule::Length           ? n.length
                     : c.rule == Classification::Rule::ComplexPattern ? n.complex_pattern
                     : c.rule == Classification::Rule::SimplePattern  ? n.simple_pattern
                                                                      : n.counts;
    Owned list = none(), index = none(), pattern = none(), span = none(), match = none(), threshold = none();
    if (by_pattern) {
        list = text(c.rule == Classification::Rule::ComplexPattern ? n.complex_list : n.simple_list);
        index = Owned::steal(PyLong_FromSsize_t(c.finding.index));
        pattern = Owned::take(c.finding.pattern);
        span = Owned::steal(Py_BuildValue("(nn)", c.start, c.end));
        match = Owned::steal(PyUnicode_Substring(c.normalised.get(), c.start, c.end));
    } else if (c.threshold) {
        threshold = Owned::steal(PyUnicode_FromString(c.threshold));
    }
    return make_record(record_type, {
                                        {n.tier, std::move(c.tier)},
                                        {n.rule, text(rule)},
                                        {n.length, Owned::steal(PyLong_FromSsize_t(c.length))},
                                        {n.word_count, Owned::steal(PyLong_FromSsize_t(c.words))},
                                        {n.tool_count, Owned::take(tool_count)},
                                        {n.pattern_list, std::move(list)},
                                        {n.pattern_index, std::move(index)},
                                        {n.pattern, std::move(pattern)},
                                        {n.span, std::move(span)},
                                        {n.match, std::move(match)},
                                        {n.threshold, std::move(threshold)},
                                    })
        .release();
}

PyObject* engine_covers(PatternState& state, Borrowed pattern) {
    std::shared_ptr<engine::Matcher> matcher;
    if (matcher_alone(state, pattern.get(), matcher) < 0) return nullptr;
    return PyBool_FromLong(matcher != nullptr);
}

}  // namespace halvec::core
