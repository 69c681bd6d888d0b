// How the module names itself to the interpreter and in tracebacks.
#pragma once

namespace halvec {

inline constexpr const char* kModuleName = "halvec.core.model_router";
inline constexpr const char* kSourceFile = "halvec/core/model_router.py";

// Where a module's functions say they come from: the dotted name of the
// module (before a function's qualified name in tracebacks), the file named in
// tracebacks, and the name of their function type (whose module is what the
// functions report as theirs).
struct ModuleIdentity {
    const char* name;
    const char* source_file;
    const char* function_type;
};

inline constexpr ModuleIdentity kModelRouter{kModuleName, kSourceFile, "halvec.core.model_router.function"};
// The package's private engine module; its functions are the package's.
inline constexpr ModuleIdentity kPatterns{"halvec._patterns", "halvec/_patterns.py", "halvec.function"};

}  // namespace halvec
