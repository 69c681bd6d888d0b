// A non-owning reference to a callable, for callbacks that must not allocate:
// the code that can run Python code is compiled without exceptions, and
// std::function may allocate (and so throw) when it is made.
#pragma once

#include <type_traits>
#include <utility>

namespace halvec {

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    FunctionRef() noexcept = default;
    // The callable must outlive every call through this reference.
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
    FunctionRef(F&& f) noexcept  // NOLINT: converts like std::function
        : object_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* o, Args... args) -> R { return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(args)...); }) {}

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }
    explicit operator bool() const noexcept { return call_ != nullptr; }

private:
    void* object_ = nullptr;
    R (*call_)(void*, Args...) = nullptr;
};

}  // namespace halvec
