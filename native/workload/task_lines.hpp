// The per-task lines of a workload evaluation, written natively: a batch's
// columns in, the batch's JSON lines out as UTF-8 bytes.
#pragma once

#include "common/python.hpp"

namespace halvec::core {

// task_lines(lines, ids, descriptions, routes, spans, tokens, encode): one
// line per task i,
//   {"line":L,"id":I[,"description":D],"input_tokens":N,"output_tokens":M,
//    "estimated":E,H,"span":S,"cost":C}\n
// L = lines[i] (an int). I = ids[i] as JSON: a str quoted, an int, None as
// null, anything else as encode(ids[i]) gives it (a str of JSON); null for
// every task when ids is None. D = descriptions[i] (a str), left out when
// descriptions is None. routes[i] = (H, price_in, price_out): H, a str of
// JSON members, is written as it stands. S = spans[i], (start, end) or
// None. tokens = (ins, outs, default_in, default_out, estimated): a task's
// counts N and M are its own (ins[i], outs[i], where the column is a list
// and the item not None) or the defaults, ints or null; E is estimated (a
// bool) or estimated[i] (a list of bools). C = (N * price_in + M *
// price_out) / 1000 to 12 significant digits (as
// halvec.evaluation.rounded_cost gives it), as json.dumps writes it, or null
// when a count is null.
// Lone surrogates are written as U+FFFD. The lists are read afresh at each
// step: encode may run code that changes them. New reference (bytes), or
// nullptr with an exception set.
PyObject* task_lines(PyObject* const* args, Py_ssize_t nargs);

}  // namespace halvec::core
