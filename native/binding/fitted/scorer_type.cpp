#include "binding/fitted/scorer_type.hpp"

#include <utility>

#include "binding/fitted/held_tables.hpp"

namespace halvec::binding {
namespace {

struct ScorerObject {
    PyObject_HEAD
    HeldTables held;
};

ScorerObject* as_scorer(PyObject* o) { return reinterpret_cast<ScorerObject*>(o); }

PyObject* scorer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"ngrams", "weights", "idf", "longest", "intercept", "words", "characters",
                                     nullptr};
    PyObject *ngrams, *weights, *idf;
    int longest;
    core::fitted::Linear linear{};
    linear.models = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOid(ddd)(ddd):Scorer", const_cast<char**>(keywords), &ngrams,
                                     &weights, &idf, &longest, &linear.intercepts[0], &linear.words.weights[0],
                                     &linear.words.mean, &linear.words.scale, &linear.characters.weights[0],
                                     &linear.characters.mean, &linear.characters.scale)) {
        return nullptr;
    }
    // Held while the tables are built: nothing else may drop them meanwhile.
    const Owned held_ngrams = Owned::take(ngrams), held_weights = Owned::take(weights), held_idf = Owned::take(idf);
    core::fitted::TablesPtr tables = core::fitted::build_tables(ngrams, weights, idf, longest, linear, false);
    if (!tables) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_scorer(self)->held = {tables.release(), false};
    return self;
}

void scorer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    core::fitted::TablesDelete()(std::exchange(as_scorer(self)->held.tables, nullptr));
    type->tp_free(self);
    Py_DECREF(type);
}

// The reading of `text` (a str) into `score` and `out`; false with an exception set.
bool read_one(PyObject* self, PyObject* text, SignalPacing& pacing, double& score, core::fitted::Reading& out) {
    const Owned exact = exact_text(text);
    return exact && read_exact(as_scorer(self)->held, exact.get(), pacing, &score, out);
}

PyObject* scorer_score(PyObject* self, PyObject* text) {
    const Owned held = Owned::take(self), held_text = Owned::take(text);
    core::fitted::Reading reading{};
    double score = 0;
    SignalPacing pacing(kBetweenSignalChecks);
    if (!read_one(self, text, pacing, score, reading)) return nullptr;
    return PyFloat_FromDouble(score);
}

// Each text of `texts` (a list or tuple) read: its score appended to
// `scores`, and with `coverage` its coverage too. Null with an exception set.
PyObject* read_all(PyObject* self, PyObject* texts, bool coverage) {
    const Owned held = Owned::take(self), held_texts = Owned::take(texts);
    Owned scores = Owned::steal(PyList_New(0));
    if (!scores) return nullptr;
    Owned shares = coverage ? Owned::steal(PyList_New(0)) : Owned();
    if (coverage && !shares) return nullptr;
    SignalPacing pacing(kBetweenSignalChecks);
    const bool walked = for_each_text(texts, [&](PyObject* text) {
        core::fitted::Reading reading{};
        double score = 0;
        if (!read_one(self, text, pacing, score, reading) || pacing.done(kTextWork) < 0) return false;
        const Owned number = Owned::steal(PyFloat_FromDouble(score));
        if (!number || PyList_Append(scores.get(), number.get()) < 0) return false;
        if (!coverage) return true;
        const Owned share = coverage_of(reading);
        return share && PyList_Append(shares.get(), share.get()) == 0;
    });
    if (!walked) return nullptr;
    if (!coverage) return scores.release();
    return PyTuple_Pack(2, scores.get(), shares.get());
}

PyObject* scorer_scores(PyObject* self, PyObject* texts) { return read_all(self, texts, false); }

PyObject* scorer_scores_and_coverage(PyObject* self, PyObject* texts) { return read_all(self, texts, true); }

PyObject* scorer_ngrams(PyObject* self, void*) {
    return PyLong_FromSize_t(as_scorer(self)->held.tables->size());
}

PyObject* scorer_memory(PyObject* self, void*) {
    return PyLong_FromSize_t(as_scorer(self)->held.tables->bytes());
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
