#include "patterns/explanation.hpp"

#include <cstdint>
#include <iterator>

#include "common/names.hpp"
#include "common/signals.hpp"
#include "patterns/scan.hpp"
#include "patterns/search.hpp"
#include "router/classifier.hpp"

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

// An instance of the frozen record class, each field set through its slot's
// descriptor (the class's own __setattr__ refuses), in the order of
// kRecordFields.
Owned make_record(const RecordClass& record, std::initializer_list<Owned> values) {
    // A value that could not be made (out of memory) has left its exception set:
    // nothing more is asked of the interpreter.
    for (const Owned& value : values) {
        if (!value) return {};
    }
    auto* cls = reinterpret_cast<PyTypeObject*>(record.type);
    const Owned no_args = Owned::steal(PyTuple_New(0));
    if (!no_args) return {};
    Owned made = Owned::steal(PyBaseObject_Type.tp_new(cls, no_args.get(), nullptr));
    if (!made) return {};
    Py_ssize_t i = 0;
    for (const Owned& value : values) {
        PyObject* slot = PyTuple_GET_ITEM(record.slots, i++);
        if (Py_TYPE(slot)->tp_descr_set(slot, made.get(), value.get()) < 0) return {};
    }
    return made;
}

Owned none() { return Owned::take(Py_None); }
Owned text(PyObject* interned) { return Owned::take(interned); }

}  // namespace

namespace {

// The base, nearest to object, that makes instances of `cls` otherwise than
// object.__new__ does (a built-in base such as dict or Exception, whose part
// of an instance only its own __new__ sets up, or a class with a __new__ of
// its own), or nullptr. make_record makes records as object.__new__ does.
PyTypeObject* other_maker(PyTypeObject* cls) {
    PyTypeObject* maker = nullptr;
    for (PyTypeObject* t = cls; t && t != &PyBaseObject_Type; t = t->tp_base) {
        if (t->tp_new != PyBaseObject_Type.tp_new) maker = t;
    }
    return maker;
}

// Whether `slot` is a writable object slot of `cls`, at a place of its own
// among those counted in `offsets`.
bool object_slot(PyTypeObject* cls, PyObject* slot, Py_ssize_t* offsets, std::size_t counted) {
    if (!PyObject_TypeCheck(slot, &PyMemberDescr_Type)) return false;
    const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(slot)->d_member;
    if (member->type != Py_T_OBJECT_EX || (member->flags & Py_READONLY) ||
        !PyType_IsSubtype(cls, PyDescr_TYPE(slot))) {
        return false;
    }
    const Py_ssize_t at = member->offset;
    if (at < static_cast<Py_ssize_t>(sizeof(PyObject)) || at % static_cast<Py_ssize_t>(sizeof(PyObject*)) != 0 ||
        at + static_cast<Py_ssize_t>(sizeof(PyObject*)) > cls->tp_basicsize || at == cls->tp_dictoffset ||
        at == cls->tp_weaklistoffset) {
        return false;
    }
    for (std::size_t k = 0; k < counted; ++k) {
        if (offsets[k] == at) return false;
    }
    offsets[counted] = at;
    return true;
}

// An instance's size when it holds the fields alone, besides a __dict__ and a
// __weakref__ where they are kept inside it.
Py_ssize_t fields_only_size(PyTypeObject* cls, std::size_t fields) {
    const auto pointer = static_cast<Py_ssize_t>(sizeof(PyObject*));
    return static_cast<Py_ssize_t>(sizeof(PyObject)) + static_cast<Py_ssize_t>(fields) * pointer +
           (cls->tp_dictoffset > 0 ? pointer : 0) + (cls->tp_weaklistoffset > 0 ? pointer : 0);
}

}  // namespace

Owned record_class(Borrowed type) {
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "make_explainer() takes a class, not %.200s", Py_TYPE(type.get())->tp_name);
        return {};
    }
    auto* cls = reinterpret_cast<PyTypeObject*>(type.get());
    if (PyTypeObject* maker = other_maker(cls)) {
        PyErr_Format(PyExc_TypeError,
                     "make_explainer() takes a class whose instances object.__new__ can make, not %.200s "
                     "(made by %.200s.__new__)",
                     cls->tp_name, maker->tp_name);
        return {};
    }
    const names::Table& n = names::get();
    PyObject* const fields[] = {n.tier, n.rule, n.length, n.word_count, n.tool_count, n.pattern_list,
                                n.pattern_index, n.pattern, n.span, n.match, n.threshold};
    Py_ssize_t offsets[std::size(fields)];
    Owned slots = Owned::steal(PyTuple_New(std::size(fields)));
    if (!slots) return {};
    std::size_t i = 0;
    for (PyObject* name : fields) {
        Owned slot = Owned::steal(PyObject_GetAttr(type.get(), name));
        if (!slot && !PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
        PyErr_Clear();
        if (!slot || !object_slot(cls, slot.get(), offsets, i)) {
            PyErr_Format(PyExc_TypeError, "make_explainer() takes a class with a slot %R", name);
            return {};
        }
        PyTuple_SET_ITEM(slots.get(), static_cast<Py_ssize_t>(i++), slot.release());
    }
    // Nothing else in an instance: object's allocation leaves the fields empty, and anything more unmade.
    if (cls->tp_itemsize != 0 || cls->tp_basicsize != fields_only_size(cls, std::size(fields))) {
        PyErr_Format(PyExc_TypeError,
                     "make_explainer() takes a class whose instances hold the field slots and nothing more, not %.200s",
                     cls->tp_name);
        return {};
    }
    return Owned::steal(PyTuple_Pack(2, type.get(), slots.get()));
}

namespace {

bool by_pattern(const Classification& c) {
    return c.rule == Classification::Rule::ComplexPattern || c.rule == Classification::Rule::SimplePattern;
}

// The interned names of the rule and (for a pattern rule) of the list.
PyObject* rule_name(const Classification& c) {
    const names::Table& n = names::get();
    return c.rule == Classification::Rule::Length           ? n.length
           : c.rule == Classification::Rule::ComplexPattern ? n.complex_pattern
           : c.rule == Classification::Rule::SimplePattern  ? n.simple_pattern
                                                            : n.counts;
}

PyObject* list_name(const Classification& c) {
    const names::Table& n = names::get();
    return c.rule == Classification::Rule::ComplexPattern ? n.complex_list : n.simple_list;
}

}  // namespace

PyObject* explain_complexity(PatternState& state, const py::Scope& scope, Borrowed record_class, Borrowed prompt,
                             Borrowed tool_count) {
    Classification c;
    if (explain_classification(state, scope, prompt, tool_count, c) < 0) return nullptr;
    PyObject* rule = rule_name(c);
    Owned list = none(), index = none(), pattern = none(), span = none(), match = none(), threshold = none();
    if (by_pattern(c)) {
        list = text(list_name(c));
        index = Owned::steal(PyLong_FromSsize_t(c.finding.index));
        pattern = Owned::take(c.finding.pattern);
        span = Owned::steal(Py_BuildValue("(nn)", c.start, c.end));
        match = std::move(c.match);
    } else if (c.threshold) {
        threshold = Owned::steal(PyUnicode_FromString(c.threshold));
    }
    const RecordClass record{PyTuple_GET_ITEM(record_class.get(), 0), PyTuple_GET_ITEM(record_class.get(), 1)};
    return make_record(record, {std::move(c.tier), text(rule), Owned::steal(PyLong_FromSsize_t(c.length)),
                                Owned::steal(PyLong_FromSsize_t(c.words)), Owned::take(tool_count), std::move(list),
                                std::move(index), std::move(pattern), std::move(span), std::move(match),
                                std::move(threshold)})
        .release();
}

namespace {

// The facts of a batch's tasks, (tier, rule, pattern_list, pattern_index),
// made once for each kind met: a tally counts them by equality, which finds
// the same object at once.
class FactTuples {
public:
    Owned get(const Classification& c) {
        const bool pattern = by_pattern(c);
        const Py_ssize_t index = pattern ? c.finding.index : -1;
        const auto rule = static_cast<std::size_t>(c.rule);
        const std::size_t slot = (rule * 7 + static_cast<std::size_t>(index + 1) * 13 +
                                  (reinterpret_cast<std::uintptr_t>(c.tier.get()) >> 4)) % kSlots;
        Entry& entry = entries_[slot];
        // the tuple holds its tier, so the address names the same object while it is kept
        if (entry.facts && entry.tier == c.tier.get() && entry.rule == c.rule && entry.index == index) {
            return Owned::take(entry.facts);
        }
        Owned number = pattern ? Owned::steal(PyLong_FromSsize_t(index)) : none();
        if (!number) return {};
        Owned facts = Owned::steal(
            PyTuple_Pack(4, c.tier.get(), rule_name(c), pattern ? list_name(c) : Py_None, number.get()));
        if (!facts) return {};
        entry.tier = c.tier.get();
        entry.rule = c.rule;
        entry.index = index;
        entry.facts = Owned::take(facts);
        return facts;
    }

private:
    struct Entry {
        Owned facts;
        PyObject* tier = nullptr;
        Classification::Rule rule{};
        Py_ssize_t index = -1;
    };
    static constexpr std::size_t kSlots = 64;
    Entry entries_[kSlots];
};

Owned span_tuple(Py_ssize_t start, Py_ssize_t end) {
    Owned first = Owned::steal(PyLong_FromSsize_t(start));
    Owned last = Owned::steal(PyLong_FromSsize_t(end));
    if (!first || !last) return {};
    return Owned::steal(PyTuple_Pack(2, first.get(), last.get()));
}

}  // namespace

PyObject* explain_batch(PatternState& state, const py::Scope& scope, Borrowed prompts) {
    if (!PyList_CheckExact(prompts.get())) {
        PyErr_Format(PyExc_TypeError, "explain_batch() takes a list of str, not %.200s",
                     Py_TYPE(prompts.get())->tp_name);
        return nullptr;
    }
    const Owned facts = Owned::steal(PyList_New(0));
    const Owned spans = Owned::steal(PyList_New(0));
    const Owned zero = Owned::steal(PyLong_FromLong(0));
    if (!facts || !spans || !zero) return nullptr;
    FactTuples made;
    // As `for prompt in prompts`: the length is read again before each item is
    // taken, after whatever ran since (a classification, a signal handler) may
    // have edited the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(prompts.get()); ++i) {
        if (i % 256 == 255) {
            if (check_signals() < 0) return nullptr;
            if (i >= PyList_GET_SIZE(prompts.get())) break;
        }
        const Owned prompt = Owned::take(PyList_GET_ITEM(prompts.get(), i));
        if (!PyUnicode_CheckExact(prompt.get())) {
            PyErr_Format(PyExc_TypeError, "explain_batch() takes a list of str; item %zd is %.200s", i,
                         Py_TYPE(prompt.get())->tp_name);
            return nullptr;
        }
        Classification c;
        c.want_match = false;
        c.want_words = false;
        if (explain_classification(state, scope, prompt, zero, c) < 0) return nullptr;
        const Owned fact = made.get(c);
        const Owned span = by_pattern(c) ? span_tuple(c.start, c.end) : none();
        if (!fact || !span || PyList_Append(facts.get(), fact.get()) < 0 ||
            PyList_Append(spans.get(), span.get()) < 0) {
            return nullptr;
        }
    }
    return PyTuple_Pack(2, facts.get(), spans.get());
}

PyObject* engine_covers(PatternState& state, Borrowed pattern) {
    std::shared_ptr<engine::Matcher> matcher;
    if (matcher_alone(state, pattern.get(), matcher) < 0) return nullptr;
    return PyBool_FromLong(matcher != nullptr);
}

}  // namespace halvec::core
