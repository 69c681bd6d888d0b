#include "common/names.hpp"

namespace halvec::names {
namespace {
Table table{};
bool ready = false;
}  // namespace

bool init() {
    if (ready) return true;
#define HALVEC_NAME_INIT(field, text)                         \
    if (!table.field) {                                       \
        table.field = PyUnicode_InternFromString(text);       \
        if (!table.field) return false;                       \
    }
    HALVEC_NAMES(HALVEC_NAME_INIT)
#undef HALVEC_NAME_INIT
    ready = true;
    return true;
}

const Table& get() noexcept { return table; }

}  // namespace halvec::names
