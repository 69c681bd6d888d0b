#include "binding/router/callables.hpp"

#include "binding/patterns/classifier_state.hpp"
#include "router/classifier.hpp"
#include "router/preferences.hpp"
#include "router/router.hpp"
#include "router/selection.hpp"
#include "router/usage.hpp"

namespace halvec::binding::callables {
namespace {

constexpr Default kZero[] = {Default::Zero};
constexpr Default kNone[] = {Default::None};
constexpr Default kNoneNone[] = {Default::None, Default::None};

constexpr Param kSelf{"self", nullptr, Check::None};

constexpr Param kClassifyParams[] = {{"prompt", "str", Check::Str}, {"tool_count", "int", Check::Int}};
constexpr Param kSelfOnly[] = {kSelf};
constexpr Param kFromDictParams[] = {{"cls", nullptr, Check::None},
                                     {"data", "dict[str, Any]", Check::Dict}};
constexpr Param kInitParams[] = {kSelf,
                                 {"config", "ModelRoutingConfig | None", Check::None},
                                 {"secrets", "SecretsStore | None", Check::None}};
constexpr Param kUpdateConfigParams[] = {kSelf, {"config", "ModelRoutingConfig", Check::None}};
constexpr Param kGetModelParams[] = {kSelf, {"model_key", "str", Check::Str}};
constexpr Param kWorkerParams[] = {kSelf, {"task_description", "str", Check::Str},
                                   {"model_key", "str | None", Check::StrOrNone}};
constexpr Param kSchedulerParams[] = {kSelf, {"job_description", "str", Check::Str},
                                      {"model_key", "str | None", Check::StrOrNone}};
constexpr Param kRecordUsageParams[] = {kSelf, {"model_key", "str", Check::Str},
                                        {"tokens", "int", Check::Int}};
constexpr Param kSpecParams[] = {kSelf, {"spec", "ModelSpec", Check::None}};
constexpr Param kComplexityParams[] = {kSelf, {"complexity", "Complexity", Check::None}};

}  // namespace

const CallableSpec classify_complexity{
    "classify_complexity", "classify_complexity", kClassifyParams, kZero, "Complexity",
    "Classify the complexity of a worker task based on its description.\n"
    "\n"
    "    This is used when the Coordinator sets model_key=\"auto\" for a worker.\n"
    "    ",
    [](const Call& c) { return core::classify_complexity(patterns_of(c.state), c.scope, c.args[0], c.args[1]); },
};

const CallableSpec enabled_models_factory{
    "<lambda>", "ModelRoutingConfig.<lambda>", {}, {}, nullptr, nullptr,
    [](const Call&) { return core::preferences::default_enabled_models(); },
};

const CallableSpec to_dict{
    "to_dict", "ModelRoutingConfig.to_dict", kSelfOnly, {}, "dict[str, Any]", nullptr,
    [](const Call& c) { return core::preferences::to_dict(c.args[0]); },
};

const CallableSpec from_dict{
    "from_dict", "ModelRoutingConfig.from_dict", kFromDictParams, {}, "ModelRoutingConfig", nullptr,
    [](const Call& c) { return core::preferences::from_dict(c.args[0], c.args[1]); },
};

using namespace core;

const CallableSpec router_methods[13] = {
    {"__init__", "ModelRouter.__init__", kInitParams, kNoneNone, nullptr, nullptr,
     [](const Call& c) { return router::init(c.scope, c.args[0], c.args[1], c.args[2]); }},
    {"config", "ModelRouter.config", kSelfOnly, {}, "ModelRoutingConfig", nullptr,
     [](const Call& c) { return router::config(c.args[0]); }},
    {"update_config", "ModelRouter.update_config", kUpdateConfigParams, {}, "None", nullptr,
     [](const Call& c) { return router::update_config(c.args[0], c.args[1]); }},
    {"get_model", "ModelRouter.get_model", kGetModelParams, {}, "ModelSpec | None",
     "Get a specific model by key. Returns None if not available.",
     [](const Call& c) { return router::get_model(c.scope, c.args[0], c.args[1]); }},
    {"select_for_worker", "ModelRouter.select_for_worker", kWorkerParams, kNone, "ModelSpec",
     "Select a model for a worker task.\n"
     "\n"
     "        Args:\n"
     "            task_description: What the worker will do\n"
     "            model_key: Explicit model choice from the Coordinator.\n"
     "                       \"auto\" or None = auto-select based on task complexity.\n"
     "                       Any other value = use that specific model.\n"
     "\n"
     "        Returns:\n"
     "            ModelSpec for the selected model\n"
     "        ",
     [](const Call& c) {
         return selection::select_for_worker(c.scope, c.args[0], c.args[1], c.args[2]);
     }},
    {"select_for_scheduler", "ModelRouter.select_for_scheduler", kSchedulerParams, kNone, "ModelSpec",
     "Select a model for a scheduled job.",
     [](const Call& c) {
         return selection::select_for_scheduler(c.scope, c.args[0], c.args[1], c.args[2]);
     }},
    {"get_available_models", "ModelRouter.get_available_models", kSelfOnly, {},
     "list[dict[str, Any]]", "Return list of all models with their status and usage.",
     [](const Call& c) { return usage::get_available_models(c.scope, c.args[0]); }},
    {"record_usage", "ModelRouter.record_usage", kRecordUsageParams, kZero, "None",
     "Record usage statistics for a model.",
     [](const Call& c) { return usage::record_usage(c.args[0], c.args[1], c.args[2]); }},
    {"get_usage_stats", "ModelRouter.get_usage_stats", kSelfOnly, {}, "dict[str, dict[str, int]]",
     nullptr, [](const Call& c) { return usage::get_usage_stats(c.args[0]); }},
    {"get_litellm_model_string", "ModelRouter.get_litellm_model_string", kSpecParams, {}, "str",
     "Convert a ModelSpec to the litellm model string format.",
     [](const Call& c) { return router::litellm_model_string(c.args[1]); }},
    {"_is_available", "ModelRouter._is_available", kSpecParams, {}, "bool",
     "Check if a model is available (API key exists + enabled).",
     [](const Call& c) { return router::is_available(c.scope, c.args[0], c.args[1]); }},
    {"_select_for_complexity", "ModelRouter._select_for_complexity", kComplexityParams, {},
     "ModelSpec", "Select the best available model for a given complexity tier.",
     [](const Call& c) { return selection::select_for_complexity(c.scope, c.args[0], c.args[1]); }},
    {"_get_fallback", "ModelRouter._get_fallback", kSelfOnly, {}, "ModelSpec",
     "Get any available model as a last resort.",
     [](const Call& c) { return selection::get_fallback(c.scope, c.args[0]); }},
};

}  // namespace halvec::binding::callables
