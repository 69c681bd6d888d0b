// How the module names itself to the interpreter and in tracebacks.
#pragma once

namespace halvec {

inline constexpr const char* kModuleName = "halvec.core.model_router";
inline constexpr const char* kSourceFile = "halvec/core/model_router.py";

}  // namespace halvec
