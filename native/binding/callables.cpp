#include "binding/callables.hpp"

#include "core/classifier.hpp"

namespace halvec::binding::callables {
namespace {

constexpr Default kZero[] = {Default::Zero};

constexpr Param kClassifyParams[] = {
    {"prompt", "str", Check::Str},
    {"tool_count", "int", Check::Int},
};

}  // namespace

const CallableSpec classify_complexity{
    "classify_complexity",
    "classify_complexity",
    kClassifyParams,
    kZero,
    "Complexity",
    "Classify the complexity of a worker task based on its description.\n"
    "\n"
    "    This is used when the Coordinator sets model_key=\"auto\" for a worker.\n"
    "    ",
    [](const Call& c) { return core::classify_complexity(c.globals, c.args[0], c.args[1]); },
};

}  // namespace halvec::binding::callables
