#include "cpp/sources/thread_limit.h"

#include <omp.h>

#include <algorithm>
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
