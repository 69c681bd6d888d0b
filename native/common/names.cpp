#include "common/names.hpp"

namespace halvec::names {
namespace detail {
Table table{};
}  // namespace detail
namespace {
bool ready = false;
}  // namespace

bool init() {
    if (ready) return true;
#define HALVEC_NAME_INIT(field, text)                         \
    if (!detail::table.field) {                               \
        detail::table.field = PyUnicode_InternFromString(text); \
        if (!detail::table.field) return false;               \
    }
    HALVEC_NAMES(HALVEC_NAME_INIT)
#undef HALVEC_NAME_INIT
    ready = true;
    return true;
}

}  // namespace halvec::names
