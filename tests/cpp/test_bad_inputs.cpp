// Bad and degenerate inputs in one place: sizes at the integer limits, thread counts beyond the
// machine, look-ups that fail, texts cut inside a character. Each request must end (no crash, no
// hang, no overflow under the sanitizers) and report failure only when it failed.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "capture_log.h"
#include "cpp/sources/psfplanes.h"
#include "cpp/sources/thread_limit.h"
#include "matrix_test_problem.h"
#include "system/strings/zvstring.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Thread counts.

TEST(ThreadCount, CappedAtAFewPerProcessorWithAWarning) {
  const int cap =
      std::min(kTALVEN_ThreadsPerProcessor * omp_get_num_procs(), omp_get_thread_limit());
  CaptureLog log;
  EXPECT_EQ(TALVEN_ThreadsToUse(1), 1);
  EXPECT_EQ(TALVEN_ThreadsToUse(cap), cap);
  EXPECT_TRUE(log.lines().empty());
  for (int requested : {cap + 1, 1000, 1000000, INT_MAX}) {
    log.clear();
    EXPECT_EQ(TALVEN_ThreadsToUse(requested), cap);
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("WARNING\t:TALVEN_ThreadsToUse, " + std::to_string(requested) +
                                 " threads requested",
                             0),
              0u);
    EXPECT_NE(lines[0].find("using " + std::to_string(cap) + " threads"), std::string::npos);
  }
}

}  // namespace
