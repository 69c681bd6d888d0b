#include "workload/task_lines.hpp"

#include <charconv>
#include <cmath>

#include "common/json_bytes.hpp"
#include "common/signals.hpp"

namespace halvec::core {
namespace {

constexpr const char* kName = "task_lines";

// list[i] as a strong reference, or empty with an error set when the list
// has become shorter than the batch.
Owned item(PyObject* list, Py_ssize_t i) {
    if (i >= PyList_GET_SIZE(list)) {
        PyErr_Format(PyExc_RuntimeError, "%s(): a list changed size while it was read", kName);
        return Owned();
    }
    return Owned::take(PyList_GET_ITEM(list, i));
}

bool wrong_type(const char* what, Py_ssize_t i, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "%s(): %s %zd is %.200s", kName, what, i, Py_TYPE(value)->tp_name);
    return false;
}

// An exact int, in decimal.
bool write_int(py::JsonBytes& out, PyObject* value) {
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (!overflow) return !(small == -1 && PyErr_Occurred()) && out.integer(small);
    const Owned digits = Owned::steal(PyObject_Str(value));
    return digits && out.text(digits.get());
}

bool write_id(py::JsonBytes& out, PyObject* ids, PyObject* encode, Py_ssize_t i) {
    if (ids == Py_None) return out.literal("null");
    const Owned id = item(ids, i);
    if (!id) return false;
    if (PyUnicode_CheckExact(id.get())) return out.quoted(id.get());
    if (id.get() == Py_None) return out.literal("null");
    if (PyLong_CheckExact(id.get())) return write_int(out, id.get());
    const Owned json = Owned::steal(PyObject_CallOneArg(encode, id.get()));
    if (!json) return false;
    if (!PyUnicode_Check(json.get())) return wrong_type("encode() result for id", i, json.get());
    return out.text(json.get());
}

bool write_span(py::JsonBytes& out, PyObject* spans, Py_ssize_t i) {
    const Owned span = item(spans, i);
    if (!span) return false;
    if (span.get() == Py_None) return out.literal("null");
    if (!PyTuple_CheckExact(span.get()) || PyTuple_GET_SIZE(span.get()) != 2 ||
        !PyLong_CheckExact(PyTuple_GET_ITEM(span.get(), 0)) || !PyLong_CheckExact(PyTuple_GET_ITEM(span.get(), 1))) {
        return wrong_type("span", i, span.get());
    }
    return out.literal("[") && write_int(out, PyTuple_GET_ITEM(span.get(), 0)) && out.literal(",") &&
           write_int(out, PyTuple_GET_ITEM(span.get(), 1)) && out.literal("]");
}

// A token count: the task's own (ins[i], when the column is there and holds
// one) or the default; None when there is neither.
Owned token_count(PyObject* column, PyObject* fallback, Py_ssize_t i) {
    if (column != Py_None) {
        Owned own = item(column, i);
        if (!own || own.get() != Py_None) return own;
    }
    return Owned::take(fallback);
}

// `value` to 12 significant digits: the float arithmetic's noise in the last
// digits (0.037634999999999995) goes, and no price's digits do. The same
// operations as halvec.evaluation.rounded_cost, in the same order, so both
// give the same double: scaled by an exact power of ten to a whole number of
// 12 digits, rounded to even, scaled back (one correctly rounded division or
// product, which gives the double nearest the 12-digit decimal); outside the
// exact powers' range (below 1e-11, from 1e34), through the decimal digits.
constexpr int kCostDigits = 12;
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kExactPowers = 22;

double rounded(double value) noexcept {
    if (!std::isfinite(value) || value == 0.0) return value;
    const int shift = kCostDigits - 1 - static_cast<int>(std::floor(std::log10(std::fabs(value))));
    if (shift >= 0 && shift <= kExactPowers) return std::nearbyint(value * kPowersOfTen[shift]) / kPowersOfTen[shift];
    if (shift < 0 && shift >= -kExactPowers) return std::nearbyint(value / kPowersOfTen[-shift]) * kPowersOfTen[-shift];
    char digits[32];
    const auto written = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, kCostDigits);
    double back = value;
    std::from_chars(digits, written.ptr, back);
    return back;
}

// (i * price_in + o * price_out) / 1000, as Python computes it: in doubles
// when the counts are int and the prices float (the same operations in the
// same order, never fused), else by the objects' own arithmetic; then
// rounded.
Owned cost_of(PyObject* i, PyObject* o, PyObject* price_in, PyObject* price_out) {
    if (PyLong_CheckExact(i) && PyLong_CheckExact(o) && PyFloat_CheckExact(price_in) && PyFloat_CheckExact(price_out)) {
        const double in = PyLong_AsDouble(i);
        if (in == -1.0 && PyErr_Occurred()) return Owned();
        const double out = PyLong_AsDouble(o);
        if (out == -1.0 && PyErr_Occurred()) return Owned();
        const double spent_in = in * PyFloat_AS_DOUBLE(price_in);
        const double spent_out = out * PyFloat_AS_DOUBLE(price_out);
        const double sum = spent_in + spent_out;
        return Owned::steal(PyFloat_FromDouble(rounded(sum / 1000.0)));
    }
    const Owned spent_in = Owned::steal(PyNumber_Multiply(i, price_in));
    if (!spent_in) return Owned();
    const Owned spent_out = Owned::steal(PyNumber_Multiply(o, price_out));
    if (!spent_out) return Owned();
    const Owned sum = Owned::steal(PyNumber_Add(spent_in.get(), spent_out.get()));
    if (!sum) return Owned();
    const Owned thousand = Owned::steal(PyLong_FromLong(1000));
    if (!thousand) return Owned();
    Owned cost = Owned::steal(PyNumber_TrueDivide(sum.get(), thousand.get()));
    if (!cost || !PyFloat_CheckExact(cost.get())) return cost;
    return Owned::steal(PyFloat_FromDouble(rounded(PyFloat_AS_DOUBLE(cost.get()))));
}

bool write_number(py::JsonBytes& out, PyObject* value, const char* what, Py_ssize_t i) {
    if (PyFloat_CheckExact(value)) return out.number(PyFloat_AS_DOUBLE(value));
    if (PyLong_CheckExact(value)) return write_int(out, value);
    return wrong_type(what, i, value);
}

// A count of tokens: an int, or null when there is none.
bool write_count(py::JsonBytes& out, PyObject* count, const char* what, Py_ssize_t i) {
    if (count == Py_None) return out.literal("null");
    if (!PyLong_CheckExact(count)) return wrong_type(what, i, count);
    return write_int(out, count);
}

// Whether the task's counts were estimated: the flag for every task (a
// bool), or this task's (a list of bools).
bool write_estimated(py::JsonBytes& out, PyObject* estimated, Py_ssize_t i) {
    Owned flag = Owned::take(estimated);
    if (PyList_CheckExact(estimated)) {
        flag = item(estimated, i);
        if (!flag) return false;
    }
    if (flag.get() == Py_True) return out.literal("true");
    if (flag.get() == Py_False) return out.literal("false");
    return wrong_type("estimated flag", i, flag.get());
}

bool write_line(py::JsonBytes& out, PyObject* const* args, Py_ssize_t i) {
    PyObject* lines = args[0];
    PyObject* ids = args[1];
    PyObject* descriptions = args[2];
    PyObject* routes = args[3];
    PyObject* spans = args[4];
    PyObject* tokens = args[5];
    PyObject* encode = args[6];
    {
        const Owned line = item(lines, i);
        if (!line) return false;
        if (!PyLong_CheckExact(line.get())) return wrong_type("line", i, line.get());
        if (!out.literal("{\"line\":") || !write_int(out, line.get())) return false;
    }
    if (!out.literal(",\"id\":") || !write_id(out, ids, encode, i)) return false;
    if (descriptions != Py_None) {
        const Owned description = item(descriptions, i);
        if (!description) return false;
        if (!PyUnicode_CheckExact(description.get())) return wrong_type("description", i, description.get());
        if (!out.literal(",\"description\":") || !out.quoted(description.get())) return false;
    }
    // tokens is (ins, outs, default_in, default_out, estimated)
    const Owned ins = token_count(PyTuple_GET_ITEM(tokens, 0), PyTuple_GET_ITEM(tokens, 2), i);
    if (!ins) return false;
    const Owned outs = token_count(PyTuple_GET_ITEM(tokens, 1), PyTuple_GET_ITEM(tokens, 3), i);
    if (!outs) return false;
    if (!out.literal(",\"input_tokens\":") || !write_count(out, ins.get(), "input count of task", i) ||
        !out.literal(",\"output_tokens\":") || !write_count(out, outs.get(), "output count of task", i) ||
        !out.literal(",\"estimated\":") || !write_estimated(out, PyTuple_GET_ITEM(tokens, 4), i) ||
        !out.literal(",")) {
        return false;
    }
    const Owned route = item(routes, i);
    if (!route) return false;
    if (!PyTuple_CheckExact(route.get()) || PyTuple_GET_SIZE(route.get()) != 3 ||
        !PyUnicode_CheckExact(PyTuple_GET_ITEM(route.get(), 0))) {
        return wrong_type("route", i, route.get());
    }
    if (!out.text(PyTuple_GET_ITEM(route.get(), 0)) || !out.literal(",\"span\":") || !write_span(out, spans, i) ||
        !out.literal(",\"cost\":")) {
        return false;
    }
    // the task's cost at its route's prices
    if (ins.get() == Py_None || outs.get() == Py_None) return out.literal("null}\n");
    const Owned cost = cost_of(ins.get(), outs.get(), PyTuple_GET_ITEM(route.get(), 1), PyTuple_GET_ITEM(route.get(), 2));
    return cost && write_number(out, cost.get(), "cost of task", i) && out.literal("}\n");
}

}  // namespace

PyObject* task_lines(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 7) {
        PyErr_Format(PyExc_TypeError, "%s() takes 7 positional arguments (%zd given)", kName, nargs);
        return nullptr;
    }
    // lines, ids, descriptions, routes, spans, then the columns inside tokens
    PyObject* columns[] = {args[0], args[1], args[2], args[3], args[4], nullptr, nullptr};
    const char* names[] = {"lines", "ids", "descriptions", "routes", "spans", "ins", "outs"};
    const bool may_be_none[] = {false, true, true, false, false, true, true};
    constexpr int kColumns = 7;
    PyObject* tokens = args[5];
    if (!PyTuple_CheckExact(tokens) || PyTuple_GET_SIZE(tokens) != 5) {
        PyErr_Format(PyExc_TypeError, "%s(): tokens must be (ins, outs, default_in, default_out, estimated), not %.200s",
                     kName, Py_TYPE(tokens)->tp_name);
        return nullptr;
    }
    columns[5] = PyTuple_GET_ITEM(tokens, 0);
    columns[6] = PyTuple_GET_ITEM(tokens, 1);
    const Py_ssize_t count = PyList_CheckExact(columns[0]) ? PyList_GET_SIZE(columns[0]) : 0;
    for (int a = 0; a < kColumns; ++a) {
        if (!PyList_CheckExact(columns[a]) && !(may_be_none[a] && columns[a] == Py_None)) {
            PyErr_Format(PyExc_TypeError, "%s(): %s must be a list%s, not %.200s", kName, names[a],
                         may_be_none[a] ? " or None" : "", Py_TYPE(columns[a])->tp_name);
            return nullptr;
        }
        if (columns[a] != Py_None && PyList_GET_SIZE(columns[a]) != count) {
            PyErr_Format(PyExc_ValueError, "%s(): %s has %zd items, lines %zd", kName, names[a],
                         PyList_GET_SIZE(columns[a]), count);
            return nullptr;
        }
    }
    PyObject* estimated = PyTuple_GET_ITEM(tokens, 4);
    if (!PyList_CheckExact(estimated) && !PyBool_Check(estimated)) {
        PyErr_Format(PyExc_TypeError, "%s(): estimated must be a bool or a list, not %.200s", kName,
                     Py_TYPE(estimated)->tp_name);
        return nullptr;
    }
    if (PyList_CheckExact(estimated) && PyList_GET_SIZE(estimated) != count) {
        PyErr_Format(PyExc_ValueError, "%s(): estimated has %zd items, lines %zd", kName, PyList_GET_SIZE(estimated),
                     count);
        return nullptr;
    }
    if (!PyCallable_Check(args[6])) {
        PyErr_Format(PyExc_TypeError, "%s(): encode must be callable", kName);
        return nullptr;
    }
    py::JsonBytes out;
    // a typical line is under 250 bytes
    const Py_ssize_t planned = count < 65536 ? count : 65536;
    if (!out.reserve(static_cast<std::size_t>(planned) * 256)) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i % 4096 == 4095 && check_signals() < 0) return nullptr;
        if (!write_line(out, args, i)) return nullptr;
    }
    return out.to_bytes().release();
}

}  // namespace halvec::core
