// NSObject: the root class. An intrusive reference count that starts at one
// for the creator; the last release runs dealloc.
#pragma once

#include "Foundation/Ref.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <type_traits>

class NSArray;
class NSString;

enum NSComparisonResult { NSOrderedAscending = -1, NSOrderedSame = 0, NSOrderedDescending = 1 };

class NSObject {
public:
    NSObject(const NSObject&) = delete;
    NSObject& operator=(const NSObject&) = delete;

    // Adds a reference; returns the object.
    NSObject* retain() noexcept;
    // Gives up a reference; the last one runs dealloc.
    void release() noexcept;
    // Hands a reference to the innermost autorelease pool of this thread,
    // which releases it when it drains; returns the object.
    NSObject* autorelease() noexcept;
    uint32_t retainCount() const noexcept { return count_.load(std::memory_order_relaxed); }

    // Equality and hash, by identity unless a class says otherwise.
    virtual bool isEqual(const NSObject* other) const noexcept { return this == other; }
    virtual size_t hash() const noexcept;
    // Ordering; classes without one order as the same.
    virtual NSComparisonResult compare(const NSObject* other) const noexcept;
    // An immutable copy, for dictionary keys: immutable objects answer
    // themselves.
    virtual Ref<NSObject> copy() const;
    // A text for "%@".
    virtual Ref<NSString> description() const;
    // The number the object holds, for classes that answer intValue; else 0.
    virtual int intValue() const noexcept { return 0; }
    // The object as a string or an array, or null: cheap checked casts.
    virtual const NSString* asString() const noexcept { return nullptr; }
    virtual const NSArray* asArray() const noexcept { return nullptr; }

protected:
    NSObject() noexcept = default;
    // Not public, in every subclass too: an object shared by references
    // must go through release, so `delete` and std::unique_ptr do not
    // compile.
    virtual ~NSObject() = default;
    // Frees the object; subclasses release what they own, then call this.
    virtual void dealloc() noexcept;

private:
    std::atomic<uint32_t> count_{1};
};

// A selector for sortUsingSelector: a comparison sent to one element with
// another as its argument.
using SEL = NSComparisonResult (NSObject::*)(const NSObject*) const noexcept;

// Sends `method` to a receiver that may be absent, as the object runtime
// does: an absent receiver does nothing and answers zero, false or null.
template <class Receiver, class Method, class... Arguments>
auto msgSend(Receiver* receiver, Method method, Arguments&&... arguments)
    -> std::invoke_result_t<Method, Receiver*, Arguments...>
{
    using Result = std::invoke_result_t<Method, Receiver*, Arguments...>;
    if (receiver == nullptr)
        return Result();
    return std::invoke(method, receiver, std::forward<Arguments>(arguments)...);
}

template <class Receiver, class Method, class... Arguments>
auto msgSend(const Ref<Receiver>& receiver, Method method, Arguments&&... arguments)
{
    return msgSend(receiver.get(), method, std::forward<Arguments>(arguments)...);
}
