// The table of the module's callables: names, parameters, annotations,
// defaults, docstrings and the implementation behind each.
#pragma once

#include "binding/common/signature.hpp"

namespace halvec::binding::callables {

extern const CallableSpec classify_complexity;

// ModelRoutingConfig, in class-body order.
extern const CallableSpec enabled_models_factory;
extern const CallableSpec to_dict;
extern const CallableSpec from_dict;

// ModelRouter, in class-body order; `config` is the property's getter.
extern const CallableSpec router_methods[13];
inline constexpr std::size_t kRouterConfigGetter = 1;

}  // namespace halvec::binding::callables
