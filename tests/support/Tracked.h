// Test helper: an object that counts its live instances, so that a test sees
// every leak and every object freed too early.
#pragma once

#include <Foundation/Foundation.h>

namespace testing_support {

class Tracked final : public NSObject {
public:
    static inline int live = 0;
    static Ref<Tracked> make() { return adoptRef(new Tracked()); }

private:
    Tracked() { ++live; }
    void dealloc() noexcept override
    {
        --live;
        NSObject::dealloc();
    }
};

}  // namespace testing_support
