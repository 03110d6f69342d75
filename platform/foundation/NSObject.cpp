#include "Foundation/NSAutoreleasePool.h"
#include "Foundation/NSObject.h"
#include "Foundation/NSString.h"

#include <cstdio>
#include <new>

NSObject* NSObject::retain() noexcept
{
    count_.fetch_add(1, std::memory_order_relaxed);
    return this;
}

void NSObject::release() noexcept
{
    if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1)
        dealloc();
}

NSObject* NSObject::autorelease() noexcept
{
    if (!NSAutoreleasePool::addObject(this))
        std::fprintf(stderr, "autorelease with no pool in place, or out of memory: the object is leaked\n");
    return this;
}

void NSObject::dealloc() noexcept
{
    delete this;
}

size_t NSObject::hash() const noexcept
{
    return reinterpret_cast<uintptr_t>(this) >> 4;
}

NSComparisonResult NSObject::compare(const NSObject*) const noexcept
{
    return NSOrderedSame;
}

Ref<NSObject> NSObject::copy() const
{
    return retainRef(const_cast<NSObject*>(this));
}

Ref<NSString> NSObject::description() const
{
    return NSString::stringWithFormat("<NSObject %p>", static_cast<const void*>(this));
}

namespace {
thread_local NSAutoreleasePool* innermost = nullptr;
}

NSAutoreleasePool::NSAutoreleasePool() noexcept : outer_(innermost)
{
    innermost = this;
}

NSAutoreleasePool::~NSAutoreleasePool()
{
    drain();
    innermost = outer_;
}

void NSAutoreleasePool::drain() noexcept
{
    // A release may autorelease more objects into this pool.
    while (!objects_.empty()) {
        std::vector<NSObject*> draining;
        draining.swap(objects_);
        for (NSObject* object : draining)
            object->release();
    }
}

bool NSAutoreleasePool::addObject(NSObject* object) noexcept
{
    if (innermost == nullptr)
        return false;
    // autorelease is noexcept: a pool that cannot grow keeps the object out
    // (leaked, but alive for the caller who was handed it).
    try {
        innermost->objects_.push_back(object);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}
