#include "binding/quality/resampler_type.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>

#include "common/signals.hpp"
#include "quality/resample.hpp"

namespace halvec::binding {
namespace {

namespace q = core::quality;

// Work (prompts read, changes summed) between two checks for signals, over a call.
constexpr std::size_t kBetweenSignalChecks = std::size_t{1} << 20;
// A resample's prompts in all, at most: their sums stay exact in a double.
constexpr std::int64_t kMostPrompts = std::int64_t{1} << 53;
// The largest result or cost (or change of one) read, in size: far past what
// the package measures (1e100), and low enough that no sum of a resample
// passes the largest double. Past it a sum could be infinite, or NaN (+inf
// and -inf), and a NaN among the points would leave the hull's sort with no
// order at all.
constexpr double kLargest = 1e150;

// An array from the raw allocator, which needs no interpreter: it may be
// let go of anywhere.
template <class T>
class RawArray {
public:
    RawArray() noexcept = default;
    RawArray(const RawArray&) = delete;
    RawArray& operator=(const RawArray&) = delete;
    ~RawArray() { PyMem_RawFree(items_); }

    // Room for n items: true, or false with MemoryError set.
    bool allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) {
            PyErr_NoMemory();
            return false;
        }
        items_ = static_cast<T*>(PyMem_RawMalloc(n == 0 ? 1 : n * sizeof(T)));
        if (!items_) {
            PyErr_NoMemory();
            return false;
        }
        size_ = n;
        return true;
    }
    T* get() const noexcept { return items_; }
    std::size_t bytes() const noexcept { return size_ * sizeof(T); }

private:
    T* items_ = nullptr;
    std::size_t size_ = 0;
};

// The plan, its scratch and its figures' room: allocated once, when the
// resampler is made.
struct Storage {
    RawArray<double> results, costs, start_costs, start_results, change_costs, change_results, targets, hulls;
    RawArray<std::uint32_t> change_prompts, choices;
    RawArray<std::size_t> ends;
    RawArray<q::FrontierPlan> frontiers;
    RawArray<std::int64_t> counts, calls;
    RawArray<q::Point> scratch, models, starts, choice_points;
    q::Plan plan{};

    std::size_t bytes() const noexcept {
        return sizeof(Storage) + results.bytes() + costs.bytes() + start_costs.bytes() + start_results.bytes() +
               change_costs.bytes() + change_results.bytes() + targets.bytes() + hulls.bytes() +
               change_prompts.bytes() + choices.bytes() + ends.bytes() + frontiers.bytes() + counts.bytes() +
               calls.bytes() + scratch.bytes() + models.bytes() + starts.bytes() + choice_points.bytes();
    }
};

struct ResamplerObject {
    PyObject_HEAD
    Storage* storage;
    // Set while a call uses the storage's scratch: a signal handler that
    // measures meanwhile is refused.
    bool busy;
};

ResamplerObject* as_resampler(PyObject* o) { return reinterpret_cast<ResamplerObject*>(o); }

// Nothing below runs Python code while it reads the arguments (items are
// exact floats and ints, read without conversions that could call back),
// and the arguments are held: the borrowed items stay where they are.

bool list_of(PyObject* o, const char* what, std::size_t expected) {
    if (!PyList_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s must be a list, not %.200s", what, Py_TYPE(o)->tp_name);
        return false;
    }
    if (static_cast<std::size_t>(PyList_GET_SIZE(o)) != expected) {
        PyErr_Format(PyExc_ValueError, "%s must hold %zu items, not %zd", what, expected, PyList_GET_SIZE(o));
        return false;
    }
    return true;
}

// Finite numbers; with `bounded`, none larger than kLargest in size.
bool read_doubles(PyObject* list, const char* what, std::size_t expected, double* out, bool bounded = true) {
    if (!list_of(list, what, expected)) return false;
    for (std::size_t i = 0; i < expected; ++i) {
        PyObject* item = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
        double value = 0.0;
        if (PyFloat_CheckExact(item)) {
            value = PyFloat_AS_DOUBLE(item);
        } else if (PyLong_CheckExact(item)) {
            value = PyLong_AsDouble(item);
            if (value == -1.0 && PyErr_Occurred()) return false;
        } else {
            PyErr_Format(PyExc_TypeError, "%s must hold floats, not %.200s", what, Py_TYPE(item)->tp_name);
            return false;
        }
        if (!std::isfinite(value) || (bounded && !(std::fabs(value) <= kLargest))) {
            PyErr_Format(PyExc_ValueError, "%s must hold finite numbers%s", what,
                         bounded ? ", none larger than 1e150 in size" : "");
            return false;
        }
        out[i] = value;
    }
    return true;
}

// Whole numbers 0 <= item < limit.
template <class T>
bool read_indices(PyObject* list, const char* what, std::size_t expected, std::size_t limit, T* out) {
    if (!list_of(list, what, expected)) return false;
    for (std::size_t i = 0; i < expected; ++i) {
        PyObject* item = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
        if (!PyLong_CheckExact(item)) {
            PyErr_Format(PyExc_TypeError, "%s must hold ints, not %.200s", what, Py_TYPE(item)->tp_name);
            return false;
        }
        const Py_ssize_t value = PyLong_AsSsize_t(item);
        if (value == -1 && PyErr_Occurred()) return false;
        if (value < 0 || static_cast<std::size_t>(value) >= limit) {
            PyErr_Format(PyExc_ValueError, "%s must hold ints from 0 to %zu", what, limit - 1);
            return false;
        }
        out[i] = static_cast<T>(value);
    }
    return true;
}

// A frontier's six lists, unpacked (borrowed from the tuple).
struct FrontierLists {
    PyObject *start_costs, *start_results, *prompts, *costs, *results, *ends;
};

bool unpack_frontier(PyObject* item, FrontierLists& lists) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 6) {
        PyErr_SetString(PyExc_TypeError,
                        "a frontier must be a tuple (start_costs, start_results, prompts, costs, results, ends)");
        return false;
    }
    PyObject** parts[] = {&lists.start_costs, &lists.start_results, &lists.prompts,
                          &lists.costs,       &lists.results,       &lists.ends};
    for (Py_ssize_t k = 0; k < 6; ++k) {
        *parts[k] = PyTuple_GET_ITEM(item, k);
        if (!PyList_Check(*parts[k])) {
            PyErr_SetString(PyExc_TypeError, "a frontier's parts must be lists");
            return false;
        }
    }
    return true;
}

bool allocate_all(Storage& s, std::size_t n, std::size_t width, std::size_t frontiers, std::size_t changes,
                  std::size_t points, std::size_t choices, std::size_t targets) {
    const std::size_t cells = n * width;
    return s.results.allocate(cells) && s.costs.allocate(cells) && s.start_costs.allocate(frontiers * n) &&
           s.start_results.allocate(frontiers * n) && s.change_costs.allocate(changes) &&
           s.change_results.allocate(changes) && s.change_prompts.allocate(changes) && s.ends.allocate(points) &&
           s.frontiers.allocate(frontiers) && s.choices.allocate(choices * n) && s.targets.allocate(targets) &&
           s.hulls.allocate((1 + frontiers) * (1 + targets)) && s.counts.allocate(n) &&
           s.calls.allocate(choices * width) && s.models.allocate(width) && s.starts.allocate(frontiers) &&
           s.choice_points.allocate(choices);
}

// The plan read from the arguments into `s`: true, or false with an exception set.
bool read_plan(Storage& s, Py_ssize_t prompts, Py_ssize_t models, PyObject* results, PyObject* costs,
               PyObject* frontiers, PyObject* choices, PyObject* targets) {
    if (prompts < 1 || models < 1 || static_cast<std::uint64_t>(prompts) > std::numeric_limits<std::uint32_t>::max() ||
        models > PY_SSIZE_T_MAX / prompts) {
        PyErr_SetString(PyExc_ValueError, "a plan needs 1 or more prompts and models");
        return false;
    }
    if (!PyList_Check(frontiers) || !PyList_Check(choices)) {
        PyErr_SetString(PyExc_TypeError, "frontiers and choices must be lists");
        return false;
    }
    if (!PyList_Check(targets)) {
        PyErr_SetString(PyExc_TypeError, "targets must be a list");
        return false;
    }
    const auto n = static_cast<std::size_t>(prompts), width = static_cast<std::size_t>(models);
    // Every list's length is checked before anything is allocated: the room
    // is sized from the counts, which a wrong list could make any size.
    if (!list_of(results, "results", n * width) || !list_of(costs, "costs", n * width)) return false;
    const auto frontier_count = static_cast<std::size_t>(PyList_GET_SIZE(frontiers));
    std::size_t changes = 0, ends = 0;
    for (std::size_t f = 0; f < frontier_count; ++f) {
        FrontierLists lists{};
        if (!unpack_frontier(PyList_GET_ITEM(frontiers, static_cast<Py_ssize_t>(f)), lists)) return false;
        const auto count = static_cast<std::size_t>(PyList_GET_SIZE(lists.prompts));
        if (!list_of(lists.start_costs, "start_costs", n) || !list_of(lists.start_results, "start_results", n) ||
            !list_of(lists.costs, "costs", count) || !list_of(lists.results, "results", count)) {
            return false;
        }
        changes += count;
        ends += static_cast<std::size_t>(PyList_GET_SIZE(lists.ends));
    }
    const auto choice_count = static_cast<std::size_t>(PyList_GET_SIZE(choices));
    for (std::size_t c = 0; c < choice_count; ++c) {
        if (!list_of(PyList_GET_ITEM(choices, static_cast<Py_ssize_t>(c)), "a choice", n)) return false;
    }
    const auto target_count = static_cast<std::size_t>(PyList_GET_SIZE(targets));
    if (!allocate_all(s, n, width, frontier_count, changes, ends, choice_count, target_count) ||
        !read_doubles(results, "results", n * width, s.results.get()) ||
        !read_doubles(costs, "costs", n * width, s.costs.get()) ||
        !read_doubles(targets, "targets", target_count, s.targets.get(), false)) {
        return false;
    }
    std::size_t change_at = 0, end_at = 0, most_points = 0;
    for (std::size_t f = 0; f < frontier_count; ++f) {
        FrontierLists lists{};
        if (!unpack_frontier(PyList_GET_ITEM(frontiers, static_cast<Py_ssize_t>(f)), lists)) return false;
        const auto count = static_cast<std::size_t>(PyList_GET_SIZE(lists.prompts));
        const auto points = static_cast<std::size_t>(PyList_GET_SIZE(lists.ends));
        q::FrontierPlan& plan = s.frontiers.get()[f];
        plan = {s.start_costs.get() + f * n, s.start_results.get() + f * n, s.change_prompts.get() + change_at,
                s.change_costs.get() + change_at, s.change_results.get() + change_at, s.ends.get() + end_at,
                count, points + 1};
        std::size_t* plan_ends = s.ends.get() + end_at;
        if (!read_doubles(lists.start_costs, "start_costs", n, s.start_costs.get() + f * n) ||
            !read_doubles(lists.start_results, "start_results", n, s.start_results.get() + f * n) ||
            !read_indices(lists.prompts, "prompts", count, n, s.change_prompts.get() + change_at) ||
            !read_doubles(lists.costs, "costs", count, s.change_costs.get() + change_at) ||
            !read_doubles(lists.results, "results", count, s.change_results.get() + change_at) ||
            !read_indices(lists.ends, "ends", points, count + 1, plan_ends)) {
            return false;
        }
        for (std::size_t k = 0; k < points; ++k) {
            if (plan_ends[k] == 0 || (k > 0 && plan_ends[k] <= plan_ends[k - 1])) {
                PyErr_SetString(PyExc_ValueError, "ends must rise from 1");
                return false;
            }
        }
        if ((points == 0) != (count == 0) || (points > 0 && plan_ends[points - 1] != count)) {
            PyErr_SetString(PyExc_ValueError, "ends must end at the number of changes");
            return false;
        }
        change_at += count;
        end_at += points;
        most_points = points + 1 > most_points ? points + 1 : most_points;
    }
    for (std::size_t c = 0; c < choice_count; ++c) {
        if (!read_indices(PyList_GET_ITEM(choices, static_cast<Py_ssize_t>(c)), "a choice", n, width,
                          s.choices.get() + c * n)) {
            return false;
        }
    }
    s.plan = {n, width, s.results.get(), s.costs.get(), s.frontiers.get(), frontier_count, s.choices.get(),
              choice_count, s.targets.get(), target_count};
    return s.scratch.allocate(most_points + width);
}

PyObject* resampler_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"prompts", "models", "results", "costs", "frontiers", "choices", "targets",
                                     nullptr};
    Py_ssize_t prompts = 0, models = 0;
    PyObject *results, *costs, *frontiers, *choices, *targets;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "nnOOOOO:Resampler", const_cast<char**>(keywords), &prompts,
                                     &models, &results, &costs, &frontiers, &choices, &targets)) {
        return nullptr;
    }
    const Owned held[] = {Owned::take(results), Owned::take(costs), Owned::take(frontiers), Owned::take(choices),
                          Owned::take(targets)};
    Storage* storage = new (std::nothrow) Storage();
    if (!storage) return PyErr_NoMemory();
    if (!read_plan(*storage, prompts, models, results, costs, frontiers, choices, targets)) {
        delete storage;
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) {
        delete storage;
        return nullptr;
    }
    as_resampler(self)->storage = storage;
    as_resampler(self)->busy = false;
    return self;
}

void resampler_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete std::exchange(as_resampler(self)->storage, nullptr);
    type->tp_free(self);
    Py_DECREF(type);
}

bool read_counts(const Storage& s, PyObject* counts) {
    const std::size_t n = s.plan.prompts;
    if (!list_of(counts, "counts", n)) return false;
    std::int64_t* out = s.counts.get();
    std::int64_t total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(counts, static_cast<Py_ssize_t>(i));
        if (!PyLong_CheckExact(item)) {
            PyErr_Format(PyExc_TypeError, "counts must hold ints, not %.200s", Py_TYPE(item)->tp_name);
            return false;
        }
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (value == -1 && PyErr_Occurred()) return false;
        if (overflow != 0 || value < 0 || value > kMostPrompts - total) {
            PyErr_SetString(PyExc_ValueError, "counts must be 0 or more, and 2**53 at most in all");
            return false;
        }
        out[i] = value;
        total += value;
    }
    if (total == 0) {
        PyErr_SetString(PyExc_ValueError, "counts must hold a prompt");
        return false;
    }
    return true;
}

Owned pair(q::Point p) { return Owned::steal(Py_BuildValue("(dd)", p.cost, p.result)); }

// A hull's row: (aiq, (reach or None, ...)).
Owned hull_row(const double* row, std::size_t targets) {
    Owned reach = Owned::steal(PyTuple_New(static_cast<Py_ssize_t>(targets)));
    if (!reach) return reach;
    for (std::size_t t = 0; t < targets; ++t) {
        PyObject* value = std::isnan(row[1 + t]) ? Py_NewRef(Py_None) : PyFloat_FromDouble(row[1 + t]);
        if (!value) return Owned();
        PyTuple_SET_ITEM(reach.get(), static_cast<Py_ssize_t>(t), value);
    }
    return Owned::steal(Py_BuildValue("(dO)", row[0], reach.get()));
}

// A list of `count` items made by `make(k)`.
template <class Make>
Owned list_of_items(std::size_t count, Make&& make) {
    Owned list = Owned::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return list;
    for (std::size_t k = 0; k < count; ++k) {
        Owned item = make(k);
        if (!item) return Owned();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item.release());
    }
    return list;
}

Owned results_of(const Storage& s, const q::Figures& out) {
    const q::Plan& plan = s.plan;
    const std::size_t row = 1 + plan.target_count;
    Owned models = list_of_items(plan.models, [&](std::size_t m) { return pair(out.models[m]); });
    Owned hulls = list_of_items(1 + plan.frontier_count,
                                [&](std::size_t h) { return hull_row(out.hulls + h * row, plan.target_count); });
    Owned starts = list_of_items(plan.frontier_count, [&](std::size_t f) { return pair(out.starts[f]); });
    Owned choices = list_of_items(plan.choice_count, [&](std::size_t c) {
        Owned calls = Owned::steal(PyTuple_New(static_cast<Py_ssize_t>(plan.models)));
        if (!calls) return calls;
        for (std::size_t m = 0; m < plan.models; ++m) {
            PyObject* count = PyLong_FromLongLong(out.calls[c * plan.models + m]);
            if (!count) return Owned();
            PyTuple_SET_ITEM(calls.get(), static_cast<Py_ssize_t>(m), count);
        }
        const Owned point = pair(out.choice_points[c]);
        return point ? Owned::steal(PyTuple_Pack(2, point.get(), calls.get())) : Owned();
    });
    if (!models || !hulls || !starts || !choices) return Owned();
    return Owned::steal(PyTuple_Pack(4, models.get(), hulls.get(), starts.get(), choices.get()));
}

int paced(void* context, std::size_t units) {
    return static_cast<SignalPacing*>(context)->done(static_cast<Py_ssize_t>(units)) < 0 ? -1 : 0;
}

PyObject* resampler_figures(PyObject* self, PyObject* counts) {
    const Owned held = Owned::take(self), held_counts = Owned::take(counts);
    ResamplerObject* r = as_resampler(self);
    if (r->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the resampler is already measuring (in a signal handler?)");
        return nullptr;
    }
    const Storage& s = *r->storage;
    if (!read_counts(s, counts)) return nullptr;
    const q::Figures out{s.models.get(), s.hulls.get(), s.starts.get(), s.choice_points.get(), s.calls.get()};
    SignalPacing pacing(static_cast<Py_ssize_t>(kBetweenSignalChecks));
    r->busy = true;
    const int stopped = q::figures(s.plan, s.counts.get(), s.scratch.get(), out, paced, &pacing);
    r->busy = false;
    if (stopped) return nullptr;
    return results_of(s, out).release();
}

PyObject* resampler_memory(PyObject* self, void*) { return PyLong_FromSize_t(as_resampler(self)->storage->bytes()); }

PyMethodDef resampler_methods[] = {
    {"figures", resampler_figures, METH_O,
     "figures(counts, /): (models, hulls, starts, choices) of the resample that holds prompt i counts[i] times."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef resampler_getset[] = {
    {"memory", resampler_memory, nullptr, "Bytes the plan, its scratch and its figures hold.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot resampler_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(resampler_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(resampler_dealloc)},
    {Py_tp_methods, resampler_methods},
    {Py_tp_getset, resampler_getset},
    {Py_tp_doc, const_cast<char*>("Resampler(prompts, models, results, costs, frontiers, choices, targets): the "
                                  "figures of bootstrap resamples of a many-model measure (halvec.quality.models).")},
    {0, nullptr},
};

PyType_Spec resampler_spec = {
    "halvec._quality.Resampler",
    sizeof(ResamplerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    resampler_slots,
};

}  // namespace

Owned make_resampler_type(Borrowed module) {
    return Owned::steal(PyType_FromModuleAndSpec(module.get(), &resampler_spec, nullptr));
}

}  // namespace halvec::binding
