#include "support/FailingNew.h"

#include <cstdlib>
#include <new>

namespace {

// -1: allocations never fail; n >= 0: that many more succeed.
thread_local long remaining = -1;
thread_local bool failed = false;

void* allocate(std::size_t size) noexcept
{
    if (remaining == 0) {
        failed = true;
        return nullptr;
    }
    if (remaining > 0)
        --remaining;
    return std::malloc(size ? size : 1);
}

void* allocateOrThrow(std::size_t size)
{
    if (void* memory = allocate(size))
        return memory;
    throw std::bad_alloc();
}

}  // namespace

void testing_support::failAllocationsAfter(long allocations)
{
    failed = false;
    remaining = allocations;
}

bool testing_support::stopFailingAllocations()
{
    remaining = -1;
    return failed;
}

void* operator new(std::size_t size)
{
    return allocateOrThrow(size);
}

void* operator new[](std::size_t size)
{
    return allocateOrThrow(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory, std::size_t) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, const std::nothrow_t&) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory, const std::nothrow_t&) noexcept
{
    std::free(memory);
}
