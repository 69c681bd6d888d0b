#include "workload/line_count.hpp"

#include <algorithm>
#include <cstddef>

#include "common/signals.hpp"

namespace halvec::core {
namespace {

constexpr std::size_t kStretch = std::size_t{64} << 20;

// A plain loop the compiler turns into vector compares and adds.
std::size_t breaks_in(const unsigned char* bytes, std::size_t size) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < size; ++i) count += bytes[i] == '\n';
    return count;
}

}  // namespace

PyObject* count_lines(PyObject* data) {
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
    // The exporter keeps the memory in place until the view is released, so
    // the signal check (which may run any Python code) leaves the pointer good.
    const auto* bytes = static_cast<const unsigned char*>(view.buf);
    const auto size = static_cast<std::size_t>(view.len);
    std::size_t count = 0;
    for (std::size_t done = 0; done < size;) {
        const std::size_t stretch = std::min(kStretch, size - done);
        // Only the exported bytes are read, which the view keeps in place: other threads
        // run meanwhile (a part's lines are counted while this process evaluates another).
        std::size_t found = 0;
        Py_BEGIN_ALLOW_THREADS
        found = breaks_in(bytes + done, stretch);
        Py_END_ALLOW_THREADS
        count += found;
        done += stretch;
        if (done < size && check_signals() < 0) {
            PyBuffer_Release(&view);
            return nullptr;
        }
    }
    PyBuffer_Release(&view);
    return PyLong_FromSize_t(count);
}

}  // namespace halvec::core
