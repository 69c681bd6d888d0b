#include "binding/fitted/scorer_type.hpp"

#include <utility>

#include "common/signals.hpp"
#include "fitted/scorer.hpp"

namespace halvec::binding {
namespace {

// Characters scored between two checks for signals, over a whole call; each
// text counts as this many more besides its characters, so that a list of
// many short (or empty) texts is stopped as readily as one long text.
constexpr Py_ssize_t kBetweenSignalChecks = Py_ssize_t{1} << 20;
constexpr Py_ssize_t kTextWork = 16;

using core::fitted::Scratch;
using core::fitted::Tables;

struct ScorerObject {
    PyObject_HEAD
    Tables* tables;
    // Set while a score uses the tables' scratch: a signal handler that
    // scores meanwhile gets scratch of its own.
    bool busy;
};

ScorerObject* as_scorer(PyObject* o) { return reinterpret_cast<ScorerObject*>(o); }

PyObject* scorer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"ngrams", "weights", "idf", "longest", "intercept", "words", "characters",
                                     nullptr};
    PyObject *ngrams, *weights, *idf;
    int longest;
    double intercept;
    core::fitted::CountTerm words{}, characters{};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOid(ddd)(ddd):Scorer", const_cast<char**>(keywords), &ngrams,
                                     &weights, &idf, &longest, &intercept, &words.weight, &words.mean, &words.scale,
                                     &characters.weight, &characters.mean, &characters.scale)) {
        return nullptr;
    }
    // Held while the tables are built: nothing else may drop them meanwhile.
    const Owned held_ngrams = Owned::take(ngrams), held_weights = Owned::take(weights), held_idf = Owned::take(idf);
    core::fitted::TablesPtr tables =
        core::fitted::build_tables(ngrams, weights, idf, longest, intercept, words, characters);
    if (!tables) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_scorer(self)->tables = tables.release();
    as_scorer(self)->busy = false;
    return self;
}

void scorer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    core::fitted::TablesDelete()(std::exchange(as_scorer(self)->tables, nullptr));
    type->tp_free(self);
    Py_DECREF(type);
}

// The reading of `text` (a str) into `out`; false with an exception set.
bool read_one(ScorerObject* self, PyObject* text, SignalPacing& pacing, core::fitted::Reading& out) {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "a text to score must be a str, not %.200s", Py_TYPE(text)->tp_name);
        return false;
    }
    // A str subclass is read as the str it holds, whatever its methods say.
    const Owned exact = PyUnicode_CheckExact(text) ? Owned::take(text) : Owned::steal(PyUnicode_FromObject(text));
    if (!exact) return false;
    Tables& tables = *self->tables;
    if (!self->busy) {
        self->busy = true;
        const bool done = core::fitted::read(tables, {tables.counts(), tables.found()}, exact, pacing, out);
        self->busy = false;
        return done;
    }
    auto* counts = static_cast<std::uint64_t*>(PyMem_Calloc(tables.counts_size(), sizeof(std::uint64_t)));
    auto* found = static_cast<std::uint32_t*>(PyMem_Calloc(tables.found_size(), sizeof(std::uint32_t)));
    bool done = false;
    if (counts && found) {
        done = core::fitted::read(tables, Scratch{counts, found}, exact, pacing, out);
    } else {
        PyErr_NoMemory();
    }
    PyMem_Free(counts);
    PyMem_Free(found);
    return done;
}

PyObject* scorer_score(PyObject* self, PyObject* text) {
    const Owned held = Owned::take(self), held_text = Owned::take(text);
    core::fitted::Reading reading{};
    SignalPacing pacing(kBetweenSignalChecks);
    if (!read_one(as_scorer(self), text, pacing, reading)) return nullptr;
    return PyFloat_FromDouble(reading.score);
}

// A text's coverage: the share of its n-gram places that hold one of the
// router's n-grams; None for a text with none (no token).
Owned coverage_of(const core::fitted::Reading& reading) {
    if (reading.places == 0) return Owned::take(Py_None);
    return Owned::steal(PyFloat_FromDouble(static_cast<double>(reading.known) / static_cast<double>(reading.places)));
}

// Each text of `texts` (a list or tuple) read: its score appended to
// `scores`, and with `coverage` its coverage too. Null with an exception set.
PyObject* read_all(PyObject* self, PyObject* texts, bool coverage) {
    const Owned held = Owned::take(self), held_texts = Owned::take(texts);
    if (!PyList_Check(texts) && !PyTuple_Check(texts)) {
        PyErr_Format(PyExc_TypeError, "texts to score must be a list or a tuple of str, not %.200s",
                     Py_TYPE(texts)->tp_name);
        return nullptr;
    }
    const bool list = PyList_Check(texts);
    Owned scores = Owned::steal(PyList_New(0));
    if (!scores) return nullptr;
    Owned shares = coverage ? Owned::steal(PyList_New(0)) : Owned();
    if (coverage && !shares) return nullptr;
    SignalPacing pacing(kBetweenSignalChecks);
    // The size is read again for each text: a signal handler may change a list.
    for (Py_ssize_t i = 0; i < (list ? PyList_GET_SIZE(texts) : PyTuple_GET_SIZE(texts)); ++i) {
        const Owned text = Owned::take(list ? PyList_GET_ITEM(texts, i) : PyTuple_GET_ITEM(texts, i));
        core::fitted::Reading reading{};
        if (!read_one(as_scorer(self), text.get(), pacing, reading) || pacing.done(kTextWork) < 0) return nullptr;
        const Owned number = Owned::steal(PyFloat_FromDouble(reading.score));
        if (!number || PyList_Append(scores.get(), number.get()) < 0) return nullptr;
        if (coverage) {
            const Owned share = coverage_of(reading);
            if (!share || PyList_Append(shares.get(), share.get()) < 0) return nullptr;
        }
    }
    if (!coverage) return scores.release();
    return PyTuple_Pack(2, scores.get(), shares.get());
}

PyObject* scorer_scores(PyObject* self, PyObject* texts) { return read_all(self, texts, false); }

PyObject* scorer_scores_and_coverage(PyObject* self, PyObject* texts) { return read_all(self, texts, true); }

PyObject* scorer_ngrams(PyObject* self, void*) {
    return PyLong_FromSize_t(as_scorer(self)->tables->size());
}

PyObject* scorer_memory(PyObject* self, void*) {
    return PyLong_FromSize_t(as_scorer(self)->tables->bytes());
}

PyMethodDef scorer_methods[] = {
    {"score", scorer_score, METH_O, "score(text, /): the router's score of one text."},
    {"scores", scorer_scores, METH_O, "scores(texts, /): the router's score of each text of a list or tuple."},
    {"scores_and_coverage", scorer_scores_and_coverage, METH_O,
     "scores_and_coverage(texts, /): (scores, coverage): each text's score, and the share of its n-gram places "
     "that hold one of the router's n-grams (None for a text with no token)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef scorer_getset[] = {
    {"ngrams", scorer_ngrams, nullptr, "The number of n-grams the router weighs.", nullptr},
    {"memory", scorer_memory, nullptr, "Bytes the tables hold, counted against the memory budget of fitted routers.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot scorer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(scorer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scorer_dealloc)},
    {Py_tp_methods, scorer_methods},
    {Py_tp_getset, scorer_getset},
    {Py_tp_doc, const_cast<char*>("Scorer(ngrams, weights, idf, longest, intercept, words, characters): a fitted "
                                  "router's scorer (halvec.fitted).")},
    {0, nullptr},
};

PyType_Spec scorer_spec = {
    "halvec._fitted.Scorer",
    sizeof(ScorerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    scorer_slots,
};

}  // namespace

Owned make_scorer_type(Borrowed module) {
    return Owned::steal(PyType_FromModuleAndSpec(module.get(), &scorer_spec, nullptr));
}

}  // namespace halvec::binding
