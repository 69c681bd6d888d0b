// The UTF-8 size of a str, counted from its code points without encoding it:
// what len(text.encode("utf-8", "surrogatepass")) gives (a lone surrogate
// takes three bytes, as "surrogatepass" writes it).
#pragma once

#include <cstdint>

#include "common/signals.hpp"

namespace halvec {

// The str's UTF-8 size, or -1 with an exception set (a signal handler
// raised). Its characters count as work done in `pacing`. The caller holds
// the str, so its characters stay where they are.
std::int64_t utf8_size(PyObject* str, SignalPacing& pacing);

}  // namespace halvec
