// NSAutoreleasePool: a scope that collects autoreleased objects and
// releases them when it ends. Pools nest per thread.
#pragma once

#include <vector>

class NSObject;

class NSAutoreleasePool {
public:
    NSAutoreleasePool() noexcept;
    ~NSAutoreleasePool();
    NSAutoreleasePool(const NSAutoreleasePool&) = delete;
    NSAutoreleasePool& operator=(const NSAutoreleasePool&) = delete;

    // Releases what was autoreleased so far; the pool stays in place.
    void drain() noexcept;

    // Hands `object`'s reference to the innermost pool of this thread;
    // false when there is none or it cannot grow.
    static bool addObject(NSObject* object) noexcept;

private:
    std::vector<NSObject*> objects_;
    NSAutoreleasePool* outer_;
};
