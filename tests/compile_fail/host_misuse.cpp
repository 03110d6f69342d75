// Host code that must not compile. Built once for each MISUSE: 0 is the
// correct code alone, which must compile, so that each other build fails
// for its own mistake and not for a broken setup.
#include "SensorsModule/SensorsModule.h"

#include <memory>

size_t countOf(const NSArray* array);

size_t host(SensorsModule* module)
{
    // A temporary's pointer handed to a call lives until the call returns.
    size_t fans = countOf(module->getFans().get());
#if MISUSE == 1
    delete module;  // skips dealloc: both connections stay open
#elif MISUSE == 2
    std::unique_ptr<SensorsModule> owned(module);  // the same, later
#elif MISUSE == 3
    delete NSString::stringWithCString("x").leak();
#elif MISUSE == 4
    const NSArray* dangling = module->getFans().get();  // the array is gone at the ';'
    fans += countOf(dangling);
#endif
    return fans;
}
