// The number of OpenMP threads the library asks for. libgomp creates every thread of a team at the
// start of a parallel region and keeps per-thread records on the caller's stack: a count far
// beyond the machine (a thousand threads, a million) fails thread creation or overflows the stack
// and ends the process. The library never asks for more than a few threads per processor.
#pragma once

#include <cstdint>

// Threads per processor the library asks for at most: enough to oversubscribe a little, far below
// what thread creation survives.
constexpr int kTALVEN_ThreadsPerProcessor = 4;

// requested (> 0) capped at kTALVEN_ThreadsPerProcessor times the processor count and at
// OpenMP's thread limit; logs a warning naming the value used when it caps.
int TALVEN_ThreadsToUse(int requested);

// Elements of work (output values, and table values weighted by their cost) that make another
// thread worth its start: a thread that the system starts late, or that another process keeps
// from its processor, holds up the end of every parallel region, which can cost more than a
// small build takes on one thread. Tests set 1 so that their small builds use every thread.
int64_t TALVEN_WorkPerThread();
void TALVEN_SetWorkPerThread(int64_t elements);

// For the lifetime of one build: the calling thread's OpenMP thread count lowered to one thread
// per TALVEN_WorkPerThread() elements of `work` (at least one), and put back afterwards.
class TALVEN_ThreadsForWork {
 public:
  explicit TALVEN_ThreadsForWork(int64_t work);
  ~TALVEN_ThreadsForWork();
  TALVEN_ThreadsForWork(const TALVEN_ThreadsForWork&) = delete;
  TALVEN_ThreadsForWork& operator=(const TALVEN_ThreadsForWork&) = delete;

 private:
  const int m_previous;
};
