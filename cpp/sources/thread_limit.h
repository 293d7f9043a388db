// The number of OpenMP threads the library asks for. libgomp creates every thread of a team at the
// start of a parallel region and keeps per-thread records on the caller's stack: a count far
// beyond the machine (a thousand threads, a million) fails thread creation or overflows the stack
// and ends the process. The library never asks for more than a few threads per processor.
#pragma once

// Threads per processor the library asks for at most: enough to oversubscribe a little, far below
// what thread creation survives.
constexpr int kTALVEN_ThreadsPerProcessor = 4;

// requested (> 0) capped at kTALVEN_ThreadsPerProcessor times the processor count and at
// OpenMP's thread limit; logs a warning naming the value used when it caps.
int TALVEN_ThreadsToUse(int requested);
