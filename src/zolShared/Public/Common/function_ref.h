#pragma once
// A reference to a callable, for parameters that are only called while the call they are passed
// to runs. Unlike std::function it never copies the callable, so it never allocates: a lambda
// with more than two captures made std::function allocate for every frame scanned.

#include <cstddef>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace zol::common {

template <typename Signature>
class FunctionRef;

template <typename Result, typename... Args>
class FunctionRef<Result(Args...)> {
   public:
    FunctionRef() noexcept = default;
    FunctionRef(std::nullptr_t) noexcept {}  // NOLINT(google-explicit-constructor)

    // Refers to `callable`, which must outlive this reference. An empty std::function or a null
    // function pointer gives an empty reference.
    template <typename Callable>
    requires(!std::is_same_v<std::remove_cvref_t<Callable>, FunctionRef> &&
             std::is_invocable_r_v<Result, Callable&, Args...>) FunctionRef(Callable&& callable)
    noexcept  // NOLINT(google-explicit-constructor)
    {
        using Stored = std::remove_reference_t<Callable>;
        if constexpr (IsNullable<std::remove_cv_t<Stored>>::value) {
            if (!callable) return;
        }
        object_ = const_cast<void*>(static_cast<const void*>(std::addressof(callable)));
        call_ = [](void* object, Args... args) -> Result {
            return std::invoke(*static_cast<Stored*>(object), std::forward<Args>(args)...);
        };
    }

    explicit operator bool() const noexcept { return call_ != nullptr; }
    Result operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

   private:
    template <typename T>
    struct IsNullable : std::is_pointer<T> {};
    template <typename T>
    struct IsNullable<std::function<T>> : std::true_type {};

    void* object_ = nullptr;
    Result (*call_)(void*, Args...) = nullptr;
};

}  // namespace zol::common
