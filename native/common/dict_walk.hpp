// `for key, value in mapping.items()` without the view, the iterator and a
// tuple per entry. An exact dict is walked in place with the checks its own
// iterator makes (a change of size, or of keys, during the walk raises the
// same RuntimeError); any other mapping goes through its items() as usual.
#pragma once

#include "common/refs.hpp"

namespace halvec::py {

class ItemsWalk {
public:
    // false with an exception set if the walk cannot start.
    bool start(Borrowed mapping);
    // 1 with `key` and `value` set, 0 at the end, -1 with an exception set.
    int next(Owned& key, Owned& value);

private:
    Owned mapping_;
    Owned iterator_;  // only for mappings that are not exact dicts
    Py_ssize_t pos_ = 0;
    Py_ssize_t used_ = 0;
    Py_ssize_t left_ = 0;
};

}  // namespace halvec::py
