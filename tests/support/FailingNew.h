// Test helper: makes operator new fail on demand, to show that running out
// of memory is handled. Linked into a test program, it replaces the global
// operator new and delete of the whole process; it fails nothing until told.
#pragma once

namespace testing_support {

// Lets the next `allocations` allocations of this thread succeed and makes
// every later one throw std::bad_alloc (or answer null, for the nothrow
// forms) until stopFailingAllocations().
void failAllocationsAfter(long allocations);
// Ends the failures; whether one was made since failAllocationsAfter (also
// when asked again).
bool stopFailingAllocations();

}  // namespace testing_support
