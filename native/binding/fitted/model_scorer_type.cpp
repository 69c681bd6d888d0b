#include "binding/fitted/model_scorer_type.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "binding/fitted/held_tables.hpp"
#include "common/text.hpp"
#include "common/utf8.hpp"
#include "fitted/choice.hpp"

namespace halvec::binding {
namespace {

using core::fitted::CountTerms;
using core::fitted::kMaxModels;
using core::fitted::Reading;

struct ModelScorerObject {
    PyObject_HEAD
    HeldTables held;
    PyObject* models;  // a tuple of distinct exact str, set once
    core::fitted::Prices prices;
};

ModelScorerObject* as_models(PyObject* o) { return reinterpret_cast<ModelScorerObject*>(o); }

int models_of(PyObject* self) { return as_models(self)->held.tables->models(); }

// The models as a tuple of distinct exact str (a list is copied first, then
// checked: nothing can change the copy); empty with an exception set.
Owned models_tuple(PyObject* models) {
    if (!PyList_CheckExact(models) && !PyTuple_CheckExact(models)) {
        PyErr_Format(PyExc_TypeError, "the models must be a tuple or a list of str, not %.200s",
                     Py_TYPE(models)->tp_name);
        return {};
    }
    Owned tuple = PyTuple_CheckExact(models) ? Owned::take(models) : Owned::steal(PyList_AsTuple(models));
    if (!tuple) return {};
    const Py_ssize_t count = PyTuple_GET_SIZE(tuple.get());
    if (count < 1 || count > kMaxModels) {
        PyErr_Format(PyExc_ValueError, "a router scores 1 to %d models, not %zd", kMaxModels, count);
        return {};
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(tuple.get(), i);
        if (!PyUnicode_CheckExact(name)) {
            PyErr_Format(PyExc_TypeError, "model %zd is not a str", i);
            return {};
        }
        for (Py_ssize_t j = 0; j < i; ++j) {
            if (py::str_equal(name, PyTuple_GET_ITEM(tuple.get(), j))) {
                PyErr_Format(PyExc_ValueError, "the model %R is there twice", name);
                return {};
            }
        }
    }
    return tuple;
}

// `count` numbers from `value`, a list or a tuple of float, into `out`; false
// with an exception set naming `what`. Prices must be at least 0.
bool read_numbers(PyObject* value, int count, const char* what, bool price, double* out) {
    if (!PyList_CheckExact(value) && !PyTuple_CheckExact(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a list of float, not %.200s", what, Py_TYPE(value)->tp_name);
        return false;
    }
    if (PySequence_Fast_GET_SIZE(value) != count) {
        PyErr_Format(PyExc_ValueError, "%s must hold %d numbers, one a model, not %zd", what, count,
                     PySequence_Fast_GET_SIZE(value));
        return false;
    }
    for (int m = 0; m < count; ++m) {
        PyObject* item = PySequence_Fast_GET_ITEM(value, m);
        if (!PyFloat_CheckExact(item)) {
            PyErr_Format(PyExc_TypeError, "%s must be a list of float, not of %.200s", what, Py_TYPE(item)->tp_name);
            return false;
        }
        out[m] = PyFloat_AS_DOUBLE(item);
        if (!std::isfinite(out[m]) || (price && !(out[m] >= 0))) {
            PyErr_Format(PyExc_ValueError, "%s must be finite numbers%s, not %R", what, price ? " at least 0" : "", item);
            return false;
        }
    }
    return true;
}

// A count's terms, (weights, mean, scale), as a tuple of its own that holds
// the weights (a list or tuple is copied first: a sequence's items may be
// made afresh each time they are asked for, and held by nothing else), and
// the mean and scale read from it; empty with an exception set.
Owned count_terms(PyObject* value, const char* what, CountTerms& out) {
    if (!PyTuple_Check(value) && !PyList_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a tuple (weights, mean, scale), not %.200s", what,
                     Py_TYPE(value)->tp_name);
        return {};
    }
    Owned terms = Owned::steal(PySequence_Tuple(value));
    if (!terms) return {};
    if (PyTuple_GET_SIZE(terms.get()) != 3) {
        PyErr_Format(PyExc_TypeError, "%s must be a tuple (weights, mean, scale), not of %zd items", what,
                     PyTuple_GET_SIZE(terms.get()));
        return {};
    }
    // (the conversions may run Python code: the tuple is ours alone)
    out.mean = PyFloat_AsDouble(PyTuple_GET_ITEM(terms.get(), 1));
    if (out.mean == -1.0 && PyErr_Occurred()) return {};
    out.scale = PyFloat_AsDouble(PyTuple_GET_ITEM(terms.get(), 2));
    if (out.scale == -1.0 && PyErr_Occurred()) return {};
    return terms;
}

PyObject* model_scorer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"models",     "ngrams", "weights",    "idf",       "longest",         "intercepts",
                                     "words", "characters", "per_prompt", "per_input_token", nullptr};
    PyObject *models, *ngrams, *weights, *idf, *intercepts, *words, *characters, *per_prompt, *per_input_token;
    int longest;
    core::fitted::Linear linear{};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOiOOOOO:ModelScorer", const_cast<char**>(keywords), &models,
                                     &ngrams, &weights, &idf, &longest, &intercepts, &words, &characters,
                                     &per_prompt, &per_input_token)) {
        return nullptr;
    }
    // Held while everything is read and the tables are built; the lists are
    // read after the calls here that can run Python code (the copies of the
    // models and of the count terms, and the terms' conversions), and only
    // read.
    const Owned held[] = {Owned::take(ngrams),     Owned::take(weights),    Owned::take(idf),
                          Owned::take(intercepts), Owned::take(per_prompt), Owned::take(per_input_token)};
    const Owned word_terms = count_terms(words, "the words' terms", linear.words);
    if (!word_terms) return nullptr;
    const Owned character_terms = count_terms(characters, "the characters' terms", linear.characters);
    if (!character_terms) return nullptr;
    PyObject* word_weights = PyTuple_GET_ITEM(word_terms.get(), 0);
    PyObject* character_weights = PyTuple_GET_ITEM(character_terms.get(), 0);
    Owned names = models_tuple(models);
    if (!names) return nullptr;
    linear.models = static_cast<int>(PyTuple_GET_SIZE(names.get()));
    core::fitted::Prices prices{};
    if (!read_numbers(intercepts, linear.models, "the intercepts", false, linear.intercepts) ||
        !read_numbers(word_weights, linear.models, "the words' weights", false, linear.words.weights) ||
        !read_numbers(character_weights, linear.models, "the characters' weights", false,
                      linear.characters.weights) ||
        !read_numbers(per_prompt, linear.models, "the prices per prompt", true, prices.per_prompt) ||
        !read_numbers(per_input_token, linear.models, "the prices per input token", true, prices.per_input_token)) {
        return nullptr;
    }
    for (int m = 0; m < linear.models; ++m) {
        // the most a text's price can be (its input tokens are below 2**63), as the file checks it
        if (!(prices.per_prompt[m] + prices.per_input_token[m] * 0x1p63 <= core::fitted::kMostValue)) {
            PyErr_Format(PyExc_ValueError, "the price of %R could pass 1e308: it would not be sure to be a finite number",
                         PyTuple_GET_ITEM(names.get(), m));
            return nullptr;
        }
        prices.by_length = prices.by_length || prices.per_input_token[m] > 0;
    }
    core::fitted::TablesPtr tables = core::fitted::build_tables(ngrams, weights, idf, longest, linear, true);
    if (!tables) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    ModelScorerObject* o = as_models(self);
    o->held = {tables.release(), false};
    o->models = names.release();
    o->prices = prices;
    return self;
}

void model_scorer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    core::fitted::TablesDelete()(std::exchange(as_models(self)->held.tables, nullptr));
    Py_CLEAR(as_models(self)->models);
    type->tp_free(self);
    Py_DECREF(type);
}

// Each model's predicted result for `text` (an exact str the caller holds)
// into `scores`; false with an exception set.
bool qualities_for(PyObject* self, PyObject* text, SignalPacing& pacing, double* scores, Reading& reading) {
    return read_exact(as_models(self)->held, text, pacing, scores, reading);
}

// Each model's price for `text` (an exact str the caller holds) into `out`;
// false with an exception set. The text is measured only where some price
// grows with it.
bool prices_for(PyObject* self, PyObject* text, SignalPacing& pacing, double* out) {
    const core::fitted::Prices& prices = as_models(self)->prices;
    std::int64_t tokens = 0;
    if (prices.by_length) {
        const std::int64_t bytes = utf8_size(text, pacing);
        if (bytes < 0) return false;
        tokens = core::fitted::input_tokens(bytes);
    }
    core::fitted::prices_of(prices, models_of(self), tokens, out);
    return true;
}

// {model: value} for the models in order.
PyObject* by_model(PyObject* self, const double* values) {
    Owned dict = Owned::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* names = as_models(self)->models;  // set once: no code run here can replace it
    for (int m = 0; m < models_of(self); ++m) {
        const Owned value = Owned::steal(PyFloat_FromDouble(values[m]));
        if (!value || PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(names, m), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* model_scorer_qualities(PyObject* self, PyObject* text) {
    const Owned held = Owned::take(self);
    const Owned exact = exact_text(text);
    if (!exact) return nullptr;
    double scores[kMaxModels];
    Reading reading{};
    SignalPacing pacing(kBetweenSignalChecks);
    if (!qualities_for(self, exact.get(), pacing, scores, reading)) return nullptr;
    return by_model(self, scores);
}

PyObject* model_scorer_prices(PyObject* self, PyObject* text) {
    const Owned held = Owned::take(self);
    const Owned exact = exact_text(text);
    if (!exact) return nullptr;
    double prices[kMaxModels];
    SignalPacing pacing(kBetweenSignalChecks);
    if (!prices_for(self, exact.get(), pacing, prices)) return nullptr;
    return by_model(self, prices);
}

// The usable models (a mask, bit m for models[m]) and the trade-off of a
// choice; false with an exception set.
bool choice_args(PyObject* self, PyObject* usable, PyObject* tradeoff, std::uint32_t& mask, double& lambda) {
    const int models = models_of(self);
    if (!PyLong_Check(usable)) {
        PyErr_Format(PyExc_TypeError, "usable must be an int (bit m for models[m]), not %.200s",
                     Py_TYPE(usable)->tp_name);
        return false;
    }
    const unsigned long long bits = PyLong_AsUnsignedLongLong(usable);
    if (PyErr_Occurred()) PyErr_Clear();  // negative, or too large: refused below
    if (bits == 0 || bits == static_cast<unsigned long long>(-1) || bits >> models != 0) {
        PyErr_Format(PyExc_ValueError, "usable must be a mask of the %d models above 0 (bit m for models[m]), not %R",
                     models, usable);
        return false;
    }
    mask = static_cast<std::uint32_t>(bits);
    if (PyFloat_Check(tradeoff)) {
        lambda = PyFloat_AS_DOUBLE(tradeoff);
    } else if (PyLong_Check(tradeoff)) {
        lambda = PyLong_AsDouble(tradeoff);
        if (lambda == -1.0 && PyErr_Occurred()) return false;
    } else {
        PyErr_Format(PyExc_TypeError, "the trade-off must be a float, not %.200s", Py_TYPE(tradeoff)->tp_name);
        return false;
    }
    if (!std::isfinite(lambda) || !(lambda >= 0)) {
        PyErr_Format(PyExc_ValueError, "the trade-off must be a finite number at least 0, not %R", tradeoff);
        return false;
    }
    return true;
}

// The model chosen for `text` (an exact str the caller holds): its index, or
// -1 with an exception set.
int chosen_for(PyObject* self, PyObject* text, SignalPacing& pacing, std::uint32_t mask, double lambda) {
    double scores[kMaxModels], prices[kMaxModels];
    Reading reading{};
    if (!qualities_for(self, text, pacing, scores, reading) || !prices_for(self, text, pacing, prices)) return -1;
    return core::fitted::choose(scores, prices, models_of(self), mask, lambda);
}

PyObject* model_scorer_choose(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "choose() takes 3 arguments (text, usable, tradeoff), not %zd", nargs);
        return nullptr;
    }
    const Owned held = Owned::take(self);
    std::uint32_t mask = 0;
    double lambda = 0;
    if (!choice_args(self, args[1], args[2], mask, lambda)) return nullptr;
    const Owned exact = exact_text(args[0]);
    if (!exact) return nullptr;
    SignalPacing pacing(kBetweenSignalChecks);
    const int chosen = chosen_for(self, exact.get(), pacing, mask, lambda);
    if (chosen < 0) return nullptr;
    return Py_NewRef(PyTuple_GET_ITEM(as_models(self)->models, chosen));
}

// Values a model for each text, appended: rows (a list a text) or one flat
// buffer of doubles, row after row, viewed at the end.
class Table {
public:
    Table(int models, bool flat) : models_(models), flat_(flat) {
        out_ = Owned::steal(flat ? PyByteArray_FromStringAndSize(nullptr, 0) : PyList_New(0));
    }
    explicit operator bool() const { return static_cast<bool>(out_); }

    bool add(const double* values) {
        if (flat_) {
            const Py_ssize_t bytes = static_cast<Py_ssize_t>(sizeof(double)) * models_;
            const Py_ssize_t size = PyByteArray_GET_SIZE(out_.get());
            if (size > PY_SSIZE_T_MAX - bytes) {
                PyErr_NoMemory();
                return false;
            }
            if (PyByteArray_Resize(out_.get(), size + bytes) < 0) return false;
            std::memcpy(PyByteArray_AS_STRING(out_.get()) + size, values, static_cast<std::size_t>(bytes));
            return true;
        }
        const Owned row = Owned::steal(PyList_New(models_));
        if (!row) return false;
        for (int m = 0; m < models_; ++m) {
            PyObject* value = PyFloat_FromDouble(values[m]);
            if (!value) return false;
            PyList_SET_ITEM(row.get(), m, value);
        }
        return PyList_Append(out_.get(), row.get()) == 0;
    }

    PyObject* finish() {
        if (!flat_) return out_.release();
        const Owned view = Owned::steal(PyMemoryView_FromObject(out_.get()));
        if (!view) return nullptr;
        return PyObject_CallMethod(view.get(), "cast", "s", "d");
    }

private:
    int models_;
    bool flat_;
    Owned out_;
};

enum class Values { kQualities, kPrices };

PyObject* values_of(PyObject* self, PyObject* args, PyObject* kwargs, Values what, const char* format) {
    static const char* keywords[] = {"texts", "flat", nullptr};
    PyObject* texts;
    int flat = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &texts, &flat)) {
        return nullptr;
    }
    const Owned held = Owned::take(self), held_texts = Owned::take(texts);
    Table table(models_of(self), flat != 0);
    if (!table) return nullptr;
    SignalPacing pacing(kBetweenSignalChecks);
    const bool walked = for_each_text(texts, [&](PyObject* text) {
        const Owned exact = exact_text(text);
        if (!exact) return false;
        double values[kMaxModels];
        Reading reading{};
        const bool done = what == Values::kQualities ? qualities_for(self, exact.get(), pacing, values, reading)
                                                     : prices_for(self, exact.get(), pacing, values);
        return done && pacing.done(kTextWork) == 0 && table.add(values);
    });
    return walked ? table.finish() : nullptr;
}

PyObject* model_scorer_qualities_of(PyObject* self, PyObject* args, PyObject* kwargs) {
    return values_of(self, args, kwargs, Values::kQualities, "O|p:qualities_of");
}

PyObject* model_scorer_prices_of(PyObject* self, PyObject* args, PyObject* kwargs) {
    return values_of(self, args, kwargs, Values::kPrices, "O|p:prices_of");
}

PyObject* model_scorer_choices(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "choices() takes 3 arguments (texts, usable, tradeoff), not %zd", nargs);
        return nullptr;
    }
    const Owned held = Owned::take(self), held_texts = Owned::take(args[0]);
    std::uint32_t mask = 0;
    double lambda = 0;
    if (!choice_args(self, args[1], args[2], mask, lambda)) return nullptr;
    Owned chosen = Owned::steal(PyList_New(0));
    if (!chosen) return nullptr;
    SignalPacing pacing(kBetweenSignalChecks);
    const bool walked = for_each_text(held_texts.get(), [&](PyObject* text) {
        const Owned exact = exact_text(text);
        if (!exact) return false;
        const int m = chosen_for(self, exact.get(), pacing, mask, lambda);
        return m >= 0 && pacing.done(kTextWork) == 0 &&
               PyList_Append(chosen.get(), PyTuple_GET_ITEM(as_models(self)->models, m)) == 0;
    });
    return walked ? chosen.release() : nullptr;
}

// The choices of `choices` and the coverage of `coverage`, read in one pass:
// (chosen models, shares).
PyObject* model_scorer_choices_and_coverage(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "choices_and_coverage() takes 3 arguments (texts, usable, tradeoff), not %zd",
                     nargs);
        return nullptr;
    }
    const Owned held = Owned::take(self), held_texts = Owned::take(args[0]);
    std::uint32_t mask = 0;
    double lambda = 0;
    if (!choice_args(self, args[1], args[2], mask, lambda)) return nullptr;
    const Owned chosen = Owned::steal(PyList_New(0)), shares = Owned::steal(PyList_New(0));
    if (!chosen || !shares) return nullptr;
    SignalPacing pacing(kBetweenSignalChecks);
    const bool walked = for_each_text(held_texts.get(), [&](PyObject* text) {
        const Owned exact = exact_text(text);
        if (!exact) return false;
        double scores[kMaxModels], prices[kMaxModels];
        Reading reading{};
        if (!qualities_for(self, exact.get(), pacing, scores, reading) ||
            !prices_for(self, exact.get(), pacing, prices)) {
            return false;
        }
        const int m = core::fitted::choose(scores, prices, models_of(self), mask, lambda);
        if (m < 0 || pacing.done(kTextWork) < 0) return false;
        const Owned share = coverage_of(reading);
        return share && PyList_Append(chosen.get(), PyTuple_GET_ITEM(as_models(self)->models, m)) == 0 &&
               PyList_Append(shares.get(), share.get()) == 0;
    });
    return walked ? PyTuple_Pack(2, chosen.get(), shares.get()) : nullptr;
}

PyObject* model_scorer_coverage(PyObject* self, PyObject* texts) {
    const Owned held = Owned::take(self), held_texts = Owned::take(texts);
    Owned shares = Owned::steal(PyList_New(0));
    if (!shares) return nullptr;
    SignalPacing pacing(kBetweenSignalChecks);
    const bool walked = for_each_text(texts, [&](PyObject* text) {
        const Owned exact = exact_text(text);
        if (!exact) return false;
        double scores[kMaxModels];
        Reading reading{};
        if (!qualities_for(self, exact.get(), pacing, scores, reading) || pacing.done(kTextWork) < 0) return false;
        const Owned share = coverage_of(reading);
        return share && PyList_Append(shares.get(), share.get()) == 0;
    });
    return walked ? shares.release() : nullptr;
}

PyObject* model_scorer_models(PyObject* self, void*) { return Py_NewRef(as_models(self)->models); }

PyObject* model_scorer_ngrams(PyObject* self, void*) { return PyLong_FromSize_t(as_models(self)->held.tables->size()); }

PyObject* model_scorer_memory(PyObject* self, void*) {
    return PyLong_FromSize_t(as_models(self)->held.tables->bytes());
}

PyMethodDef model_scorer_methods[] = {
    {"qualities", model_scorer_qualities, METH_O,
     "qualities(text, /): every model's predicted result for the text, {model: result} in order."},
    {"prices", model_scorer_prices, METH_O, "prices(text, /): every model's price for the text, {model: price}."},
    {"choose", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_scorer_choose)), METH_FASTCALL,
     "choose(text, usable, tradeoff, /): the usable model (bit m of usable for models[m]) with the highest "
     "predicted result less tradeoff times its price; ties to the lower price, then the earlier model."},
    {"qualities_of", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_scorer_qualities_of)),
     METH_VARARGS | METH_KEYWORDS,
     "qualities_of(texts, flat=False): each text's predicted results: a list of rows, or (flat) a memoryview of "
     "doubles, row after row."},
    {"prices_of", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_scorer_prices_of)),
     METH_VARARGS | METH_KEYWORDS,
     "prices_of(texts, flat=False): each text's prices: a list of rows, or (flat) a memoryview of doubles, row "
     "after row."},
    {"choices", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_scorer_choices)), METH_FASTCALL,
     "choices(texts, usable, tradeoff, /): the model chosen for each text, as choose() chooses."},
    {"choices_and_coverage",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_scorer_choices_and_coverage)), METH_FASTCALL,
     "choices_and_coverage(texts, usable, tradeoff, /): (the model chosen for each text, as choices() chooses, "
     "each text's coverage, as coverage() gives it), read in one pass."},
    {"coverage", model_scorer_coverage, METH_O,
     "coverage(texts, /): the share of each text's n-gram places that hold one of the router's n-grams (None for "
     "a text with no token)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef model_scorer_getset[] = {
    {"models", model_scorer_models, nullptr, "The models, in order.", nullptr},
    {"ngrams", model_scorer_ngrams, nullptr, "The number of n-grams the router weighs.", nullptr},
    {"memory", model_scorer_memory, nullptr, "Bytes the tables hold, counted against the memory budget of fitted routers.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot model_scorer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(model_scorer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(model_scorer_dealloc)},
    {Py_tp_methods, model_scorer_methods},
    {Py_tp_getset, model_scorer_getset},
    {Py_tp_doc, const_cast<char*>("ModelScorer(models, ngrams, weights, idf, longest, intercepts, words, characters, "
                                  "per_prompt, per_input_token): a fitted router of several models (halvec.fitted).")},
    {0, nullptr},
};

PyType_Spec model_scorer_spec = {
    "halvec._fitted.ModelScorer",
    sizeof(ModelScorerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    model_scorer_slots,
};

}  // namespace

Owned make_model_scorer_type(Borrowed module) {
    return Owned::steal(PyType_FromModuleAndSpec(module.get(), &model_scorer_spec, nullptr));
}

}  // namespace halvec::binding
