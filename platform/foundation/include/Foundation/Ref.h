// Ref<T>: an owning, nullable pointer to a reference-counted object. Taking
// a pointer over says how: kAdopt takes the reference the pointer already
// holds (a creator's), kRetain adds one.
#pragma once

#include <cstddef>
#include <utility>

// Marks a result that points into the object it was called on, so that
// clang warns when that object is a temporary that dies first:
// `const NSArray* a = makeArray().get();` dangles at the ';'.
#if __has_cpp_attribute(clang::lifetimebound)
#define NS_LIFETIMEBOUND [[clang::lifetimebound]]
#else
#define NS_LIFETIMEBOUND
#endif

enum AdoptTag { kAdopt };
enum RetainTag { kRetain };

template <class T>
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(AdoptTag, T* object) noexcept : object_(object) {}
    Ref(RetainTag, T* object) noexcept : object_(object)
    {
        if (object_)
            object_->retain();
    }
    Ref(const Ref& other) noexcept : Ref(kRetain, other.object_) {}
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    template <class U>
    Ref(const Ref<U>& other) noexcept : Ref(kRetain, other.get())
    {
    }
    template <class U>
    Ref(Ref<U>&& other) noexcept : object_(other.leak())
    {
    }
    ~Ref()
    {
        if (object_)
            object_->release();
    }

    Ref& operator=(Ref other) noexcept
    {
        std::swap(object_, other.object_);
        return *this;
    }

    // The object, not retained: it lives while this Ref holds it, so keep
    // the Ref, not the pointer (passing a temporary's pointer to a call is
    // fine: the temporary lives until the call returns).
    T* get() const noexcept NS_LIFETIMEBOUND { return object_; }
    T* operator->() const noexcept { return object_; }
    T& operator*() const noexcept NS_LIFETIMEBOUND { return *object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    bool operator==(std::nullptr_t) const noexcept { return object_ == nullptr; }
    bool operator==(const T* object) const noexcept { return object_ == object; }

    // Gives the reference up to the caller, who must release it.
    [[nodiscard]] T* leak() noexcept { return std::exchange(object_, nullptr); }

private:
    T* object_ = nullptr;
};

template <class T>
Ref<T> adoptRef(T* object) noexcept
{
    return Ref<T>(kAdopt, object);
}

template <class T>
Ref<T> retainRef(T* object) noexcept
{
    return Ref<T>(kRetain, object);
}
