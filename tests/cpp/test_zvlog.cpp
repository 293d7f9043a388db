#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "capture_log.h"
#include "system/zvlog.h"

namespace {

const char* const kFile = "tests/cpp/test_zvlog";

// Keeps whole entries (file, line, time) without installing itself as the default logger.
class EntryLog : public zvLog {
 public:
  using zvLog::zvLog;
  void DisplayEntry(const zvLogEntry& entry) override { entries.push_back(entry); }
  std::vector<zvLogEntry> entries;
};

// Yields after every line so that a missing lock would let other threads' lines slip in.
class YieldingLog : public CaptureLog {
 public:
  void DisplayEntry(const zvLogEntry& entry) override {
    CaptureLog::DisplayEntry(entry);
    std::this_thread::yield();
  }
};

class DestructionFlagLog : public zvLog {
 public:
  explicit DestructionFlagLog(bool* destroyed) : m_destroyed(destroyed) {}
  ~DestructionFlagLog() override { *m_destroyed = true; }
  void DisplayEntry(const zvLogEntry&) override {}

 private:
  bool* m_destroyed;
};

double Now() { return zvTimeStamp().FromSystem().MJD(); }

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Splits a log file line "[YYYY-MM-DD hh:mm:ss]" + rest; false when the line does not start so.
bool SplitLogLine(const std::string& line, std::string* time, std::string* rest) {
  const std::string pattern = "[dddd-dd-dd dd:dd:dd]";
  if (line.size() < pattern.size()) return false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (pattern[i] == 'd' ? !digit : line[i] != pattern[i]) return false;
  }
  *time = line.substr(1, pattern.size() - 2);
  *rest = line.substr(pattern.size());
  return true;
}

std::string TempLogPath(const char* name) {
  const std::string path =
      testing::TempDir() + "zvlog_" + std::to_string(getpid()) + "_" + name + ".log";
  std::remove(path.c_str());
  return path;
}

TEST(ZvLogDisplay, PrefixIsDirectlyFollowedByTheText) {
  CaptureLog log;
  zvLogBase::Record(zvlog_error, kFile, __LINE__, "disk %d is full", 3);
  zvLogBase::Record(zvlog_warning, kFile, __LINE__, "low");
  zvLogBase::Record(zvlog_info, kFile, __LINE__, "fine");
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"ERROR\t:disk 3 is full", "WARNING\t:low", "INFO\t:fine"}));
}

TEST(ZvLogDisplay, MultiLineMessageGivesContinuationLines) {
  EntryLog log;
  const double before = Now();
  const int line = __LINE__;
  log.Trace(zvlog_info, kFile, line, "first\nsecond\n");
  const double after = Now();
  ASSERT_EQ(log.entries.size(), 2u);
  EXPECT_STREQ(log.entries[0].m_message, "first");
  EXPECT_STREQ(log.entries[1].m_message, "second");
  EXPECT_EQ(log.entries[0].m_status, zvlog_info);
  EXPECT_EQ(log.entries[1].m_status, zvlog_continuation);
  EXPECT_STREQ(log.entries[1].StatusString(true), "\t");
  for (const zvLogEntry& entry : log.entries) {
    EXPECT_STREQ(entry.m_file, kFile);
    EXPECT_EQ(entry.m_line, line);
    EXPECT_GE(entry.m_mjd.MJD(), before);
    EXPECT_LE(entry.m_mjd.MJD(), after);
  }
}

TEST(ZvLogDisplay, EmptyLinesAreDroppedButAnEmptyMessageShows) {
  CaptureLog log;
  zvLogBase::Record(zvlog_warning, kFile, __LINE__, "a\n\nb");
  zvLogBase::Record(zvlog_info, kFile, __LINE__, "\n\n");
  zvLogBase::Record(zvlog_error, kFile, __LINE__, "%s", "");
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"WARNING\t:a", "\tb", "INFO\t:", "ERROR\t:"}));
}

TEST(ZvLogDisplay, RecordKeepsAtMost1022Characters) {
  CaptureLog log;
  const std::string text(2000, 'x');
  zvLogBase::Record(zvlog_info, kFile, __LINE__, "%s", text.c_str());
  const std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "INFO\t:" + std::string(1022, 'x'));
}

TEST(ZvLogDisplay, StatusStrings) {
  zvLogEntry entry;
  const char* const prefixes[] = {"ERROR\t:", "WARNING\t:", "INFO\t:", "\t"};
  const char* const names[] = {"ERROR", "WARNING", "INFO", ""};
  for (int status = 0; status < 4; ++status) {
    entry.m_status = status;
    EXPECT_STREQ(entry.StatusString(true), prefixes[status]);
    EXPECT_STREQ(entry.StatusString(false), names[status]);
  }
  for (int status : {-1, 4, 1000}) {
    entry.m_status = status;
    EXPECT_STREQ(entry.StatusString(true), "");
    EXPECT_STREQ(entry.StatusString(false), "");
  }
}

TEST(ZvLogFile, LinesCarryTheBracketedUtcTime) {
  const std::string path = TempLogPath("format");
  {
    EntryLog log(path.c_str());
    const double before = Now();
    log.Trace(zvlog_error, kFile, __LINE__, "disk 3 full\nsee above");
    const double after = Now();
    EXPECT_EQ(log.entries.size(), 2u);  // mode 3 also displays

    const std::vector<std::string> lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 2u);
    std::string time, rest, unused;
    ASSERT_TRUE(SplitLogLine(lines[0], &time, &rest)) << lines[0];
    EXPECT_EQ(rest, "ERROR\t:disk 3 full");
    ASSERT_TRUE(SplitLogLine(lines[1], &unused, &rest)) << lines[1];
    EXPECT_EQ(rest, "\tsee above");
    const double logged = zvTimeStamp(time.c_str()).MJD();
    EXPECT_GE(logged, before - zvTimeStamp::ONESECOND);
    EXPECT_LE(logged, after + zvTimeStamp::ONESECOND / 1000);  // rounded to the millisecond
  }
  std::remove(path.c_str());
}

TEST(ZvLogFile, ModesSwitchFileAndDisplayIndependently) {
  const std::string path = TempLogPath("modes");
  EntryLog log;
  log.Trace(zvlog_info, kFile, __LINE__, "display only");
  EXPECT_TRUE(ReadLines(path).empty());

  EXPECT_EQ(log.SetLogName(path.c_str()), 0);
  EXPECT_EQ(log.ClearLogMode(zvLog::kModeDisplay), 0);
  log.Trace(zvlog_info, kFile, __LINE__, "file only");
  EXPECT_EQ(log.SetLogMode(zvLog::kModeDisplay), 0);
  log.Trace(zvlog_info, kFile, __LINE__, "both");
  EXPECT_EQ(log.SetLogName(nullptr), 0);
  log.Trace(zvlog_info, kFile, __LINE__, "display again");

  const char* name = nullptr;
  log.GetLogName(&name);
  EXPECT_STREQ(name, "");
  ASSERT_EQ(log.entries.size(), 3u);
  EXPECT_STREQ(log.entries[1].m_message, "both");
  const std::vector<std::string> lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 2u);
  std::string time, rest;
  ASSERT_TRUE(SplitLogLine(lines[0], &time, &rest));
  EXPECT_EQ(rest, "INFO\t:file only");
  ASSERT_TRUE(SplitLogLine(lines[1], &time, &rest));
  EXPECT_EQ(rest, "INFO\t:both");
  std::remove(path.c_str());
}

TEST(ZvLogFile, UnopenableFileStillDisplays) {
  EntryLog log("/nonexistent-directory/zvlog.log");
  log.Trace(zvlog_warning, kFile, __LINE__, "shown");
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_STREQ(log.entries[0].m_message, "shown");
}

TEST(ZvLogFile, NameIsCutAt256Characters) {
  const std::string long_name(300, 'n');
  EntryLog log(long_name.c_str());
  const char* name = nullptr;
  log.GetLogName(&name);
  EXPECT_EQ(std::string(name), long_name.substr(0, 256));
  log.SetLogName((long_name + "m").c_str());
  log.GetLogName(&name);
  EXPECT_EQ(std::string(name), long_name.substr(0, 256));
}

TEST(ZvLogThreads, LinesOfOneMessageStayTogether) {
  YieldingLog log;
  const int threads = 8;
  const int messages = 100;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([t] {
      for (int m = 0; m < messages; ++m) {
        zvLogBase::Record(zvlog_info, kFile, __LINE__, "T%dM%d\npart1 T%dM%d\npart2 T%dM%d", t, m,
                          t, m, t, m);
      }
    });
  }
  for (std::thread& worker : workers) worker.join();

  const std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(threads * messages * 3));
  for (size_t i = 0; i < lines.size(); i += 3) {
    ASSERT_EQ(lines[i].rfind("INFO\t:T", 0), 0u) << "line " << i << ": " << lines[i];
    const std::string id = lines[i].substr(6);
    ASSERT_EQ(lines[i + 1], "\tpart1 " + id);
    ASSERT_EQ(lines[i + 2], "\tpart2 " + id);
  }
}

TEST(ZvLogThreads, HoldingTheLockHoldsBackOtherThreads) {
  CaptureLog log;
  std::atomic<bool> recorded{false};
  log.Lock();
  std::thread worker([&recorded] {
    zvLogBase::Record(zvlog_info, kFile, __LINE__, "from worker");
    recorded = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(recorded);
  log.Unlock();
  worker.join();
  EXPECT_TRUE(log.contains("INFO\t:from worker"));
}

TEST(ZvLogDefault, RecordWithoutDefaultLoggerDropsTheMessage) {
  ASSERT_EQ(zvLogBase::GetDefaultLogger(), nullptr);
  zvLogBase::Record(zvlog_error, kFile, __LINE__, "nobody listens %d", 1);
  EntryLog log;
  log.CheckDefaultLogger();
  EXPECT_EQ(zvLogBase::GetDefaultLogger(), &log);
  {
    EntryLog other;
    other.CheckDefaultLogger();  // there is a default already
    EXPECT_EQ(zvLogBase::GetDefaultLogger(), &log);
  }
  // Destroying a logger that is not the default leaves the default alone.
  EXPECT_EQ(zvLogBase::GetDefaultLogger(), &log);
  zvLogBase::Record(zvlog_info, kFile, __LINE__, "kept");
  EXPECT_EQ(log.entries.size(), 1u);
  zvLogBase::SetAsDefaultLogger(nullptr);
}

TEST(ZvLogDefault, DestroyingTheDefaultLoggerClearsIt) {
  {
    EntryLog log;
    log.SetAsDefaultLogger();
    EXPECT_EQ(zvLogBase::GetDefaultLogger(), &log);
  }
  EXPECT_EQ(zvLogBase::GetDefaultLogger(), nullptr);
  zvLogBase::Record(zvlog_error, kFile, __LINE__, "dropped");
}

TEST(ZvLogDefault, CaptureLogRestoresThePreviousDefault) {
  CaptureLog outer;
  {
    CaptureLog inner;
    zvLogBase::Record(zvlog_info, kFile, __LINE__, "inner");
    EXPECT_TRUE(inner.contains("inner"));
  }
  zvLogBase::Record(zvlog_info, kFile, __LINE__, "outer");
  EXPECT_EQ(outer.lines(), std::vector<std::string>{"INFO\t:outer"});
}

TEST(ZvLogReferences, QueryInterfaceAddRefAndRelease) {
  bool destroyed = false;
  IzvLog* log = new DestructionFlagLog(&destroyed);
  EXPECT_TRUE(log->IsVerbose());

  void* object = log;
  EXPECT_EQ(log->QueryInterface(GUID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}, &object),
            static_cast<int32_t>(0x80000004u));
  EXPECT_EQ(object, nullptr);

  EXPECT_EQ(log->QueryInterface(IID_IUnknown, &object), 0);
  EXPECT_EQ(object, log);
  EXPECT_EQ(log->QueryInterface(IID_IzvLog, &object), 0);
  EXPECT_EQ(object, log);
  EXPECT_EQ(log->AddRef(), 3u);  // the count before the increment
  EXPECT_EQ(log->Release(), 3u);
  EXPECT_EQ(log->Release(), 2u);
  EXPECT_EQ(log->Release(), 1u);
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(log->Release(), 0u);
  EXPECT_TRUE(destroyed);
}

}  // namespace
