// Interned strings used on every call: attribute names, global names and
// keyword names. They are created once, at the first exec step, and live for
// the whole process (the module can only ever live in one interpreter).
#pragma once

#include "common/refs.hpp"

namespace halvec::names {

#define HALVEC_NAMES(X)                                   \
    X(lower, "lower")                                     \
    X(search, "search")                                   \
    X(re, "re")                                           \
    X(add_note, "add_note")                               \
    X(replace, "replace")                                 \
    X(complexity, "Complexity")                           \
    X(simple, "SIMPLE")                                   \
    X(moderate, "MODERATE")                               \
    X(complex, "COMPLEX")                                 \
    X(complex_patterns, "_COMPLEX_PATTERNS")              \
    X(simple_patterns, "_SIMPLE_PATTERNS")                \
    X(dunder_module, "__module__")                        \
    X(dunder_qualname, "__qualname__")                    \
    X(dunder_doc, "__doc__")                              \
    X(dunder_annotations, "__annotations__")              \
    X(dunder_builtins, "__builtins__")                    \
    X(builtins, "builtins")                               \
    X(ret, "return")                                      \
    X(items, "items")                                     \
    X(value, "value")                                     \
    X(info, "info")                                       \
    X(warning, "warning")                                 \
    X(has_key, "has_key")                                 \
    X(logger, "logger")                                   \
    X(available_models, "AVAILABLE_MODELS")               \
    X(classify_complexity, "classify_complexity")         \
    X(routing_config, "ModelRoutingConfig")               \
    X(secrets_store, "SecretsStore")                      \
    X(dataclass_fields, "__dataclass_fields__")           \
    X(priv_config, "_config")                             \
    X(priv_secrets, "_secrets")                           \
    X(priv_usage_stats, "_usage_stats")                   \
    X(get_model, "get_model")                             \
    X(is_available, "_is_available")                      \
    X(select_for_complexity, "_select_for_complexity")    \
    X(get_fallback, "_get_fallback")                      \
    X(enabled_models, "enabled_models")                   \
    X(cost_conscious, "cost_conscious")                   \
    X(default_worker_model, "default_worker_model")       \
    X(default_scheduler_model, "default_scheduler_model") \
    X(id, "id")                                           \
    X(provider, "provider")                               \
    X(display_name, "display_name")                       \
    X(description, "description")                         \
    X(complexity_tier, "complexity_tier")                 \
    X(cost_per_1k_input, "cost_per_1k_input")             \
    X(cost_per_1k_output, "cost_per_1k_output")           \
    X(key, "key")                                         \
    X(enabled, "enabled")                                 \
    X(available, "available")                             \
    X(calls, "calls")                                     \
    X(tokens, "tokens")                                   \
    X(auto_, "auto")                                      \
    X(explicit_, "explicit")                              \
    X(default_, "default")                                \
    X(anthropic, "anthropic")                             \
    X(openai, "openai")                                   \
    X(anthropic_prefix, "anthropic/")                     \
    X(openai_prefix, "openai/")                           \
    X(empty, "")                                          \
    X(claude_opus, "claude-opus")                         \
    X(claude_sonnet, "claude-sonnet")                     \
    X(claude_haiku, "claude-haiku")                       \
    X(gpt_5_2, "gpt-5.2")                                 \
    X(tier, "tier")                                       \
    X(rule, "rule")                                       \
    X(length, "length")                                   \
    X(word_count, "word_count")                           \
    X(tool_count, "tool_count")                           \
    X(pattern_list, "pattern_list")                       \
    X(pattern_index, "pattern_index")                     \
    X(pattern, "pattern")                                 \
    X(span, "span")                                       \
    X(match, "match")                                     \
    X(threshold, "threshold")                             \
    X(complex_pattern, "complex_pattern")                 \
    X(simple_pattern, "simple_pattern")                   \
    X(counts, "counts")                                   \
    X(complex_list, "complex")                            \
    X(simple_list, "simple")

struct Table {
#define HALVEC_NAME_FIELD(field, text) PyObject* field;
    HALVEC_NAMES(HALVEC_NAME_FIELD)
#undef HALVEC_NAME_FIELD
};

// Fills the table on first use; false with an exception set on failure.
bool init();

namespace detail {
extern Table table;
}
// Inline: every call reads several names.
inline const Table& get() noexcept { return detail::table; }

}  // namespace halvec::names
