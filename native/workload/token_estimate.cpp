#include "workload/token_estimate.hpp"

#include <cstdint>

#include "common/utf8.hpp"
#include "workload/description_walk.hpp"

namespace halvec::core {

PyObject* token_estimates(PyObject* descriptions) {
    Owned estimates = Owned::steal(PyList_New(0));
    if (!estimates) return nullptr;
    SignalPacing pacing(kCharactersBetweenSignalChecks);
    const int walked = walk_descriptions("token_estimates", descriptions, pacing, [&](Py_ssize_t, PyObject* text) {
        const std::int64_t size = utf8_size(text, pacing);
        if (size < 0) return -1;
        const Owned estimate = Owned::steal(PyLong_FromLongLong((size + 3) / 4));
        return estimate ? PyList_Append(estimates.get(), estimate.get()) : -1;
    });
    return walked < 0 ? nullptr : estimates.release();
}

}  // namespace halvec::core
