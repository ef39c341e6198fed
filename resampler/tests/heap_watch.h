#pragma once

// Counts the heap calls (malloc, calloc, realloc, free) of the program between Begin
// and End, those of linked C libraries included. Available in the Windows build (the program
// is linked statically and its heap routines are wrapped) and under AddressSanitizer (its
// allocator hooks).
namespace heap_watch {

bool Available();
void Begin();
// Heap calls since Begin.
long End();

}  // namespace heap_watch
