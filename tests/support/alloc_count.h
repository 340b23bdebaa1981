// Counts heap allocations, for the tests that prove a path allocates nothing
// (the capture thread, posting from another thread). Linking this library
// replaces the program's global operator new and delete with counting ones,
// so it belongs only in those tests' own programs.
#pragma once

#include <cstddef>

namespace testsupport::alloc {

// Turns the count of every thread's allocations on or off; counting goes on
// adding to the same total until Reset.
void Count(bool on);
long Counted();
void Reset();

// Every allocation the calling thread has made, counted or not.
std::size_t OfThisThread();

}  // namespace testsupport::alloc
