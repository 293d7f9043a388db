#include "cpp/sources/thread_limit.h"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "system/zvlog.h"

static const char* const kSourcePath = "cpp/sources/thread_limit";

int TALVEN_ThreadsToUse(int requested) {
  const int64_t per_processor =
      static_cast<int64_t>(std::max(omp_get_num_procs(), 1)) * kTALVEN_ThreadsPerProcessor;
  const int limit =
      static_cast<int>(std::min<int64_t>({per_processor, omp_get_thread_limit(), INT32_MAX}));
  if (requested <= limit) return requested;
  zvLogBase::Record(zvlog_warning, kSourcePath, __LINE__,
                    "TALVEN_ThreadsToUse, %d threads requested but at most %d are used (%d per "
                    "processor on %d processors, OpenMP thread limit %d): using %d threads",
                    requested, limit, kTALVEN_ThreadsPerProcessor, omp_get_num_procs(),
                    omp_get_thread_limit(), limit);
  return limit;
}

namespace {

// About 6 ms of one thread's work on the in-field engine's output.
std::atomic<int64_t> g_work_per_thread{int64_t{1} << 22};

}  // namespace

int64_t TALVEN_WorkPerThread() { return g_work_per_thread.load(std::memory_order_relaxed); }

void TALVEN_SetWorkPerThread(int64_t elements) {
  g_work_per_thread.store(std::max<int64_t>(elements, 1), std::memory_order_relaxed);
}

TALVEN_ThreadsForWork::TALVEN_ThreadsForWork(int64_t work) : m_previous(omp_get_max_threads()) {
  const int64_t wanted = std::max<int64_t>(work / TALVEN_WorkPerThread(), 1);
  if (wanted < m_previous) omp_set_num_threads(static_cast<int>(wanted));
}

TALVEN_ThreadsForWork::~TALVEN_ThreadsForWork() { omp_set_num_threads(m_previous); }
