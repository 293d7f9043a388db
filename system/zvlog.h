// The process-wide logger: levels, one record call for every part of the library, and the
// logger classes that split messages into lines and route them to a display and a log file.
#pragma once

#include <cstdint>
#include <mutex>

#include "system/strings/zvstring.h"
#include "system/zvtimestamp.h"

enum zvLogStatus : int32_t {
  zvlog_error = 0,
  zvlog_warning = 1,
  zvlog_info = 2,
  zvlog_continuation = 3,
};

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
bool operator==(const GUID& a, const GUID& b);

extern const GUID IID_IUnknown;
extern const GUID IID_IzvLog;

class IUnknown {
 public:
  virtual ~IUnknown() = default;
  virtual int32_t QueryInterface(const GUID& iid, void** object) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;
};

// One line on its way to the outputs.
class zvLogEntry {
 public:
  zvTimeStamp m_mjd;
  int m_status = zvlog_info;
  zvString m_message;
  zvString m_file;
  int m_line = 0;

  // The display prefix ("ERROR\t:", a tab for continuation lines) with the separator, else the
  // plain level name; an unknown level gives the empty text.
  const char* StatusString(bool with_separator) const;
};

class IzvLog : public IUnknown {
 public:
  virtual int Trace(int status, const char* file, int line, const char* message) = 0;
  virtual bool IsVerbose() = 0;
  virtual int SetLogName(const char* name) = 0;
  virtual int SetLogMode(int mode) = 0;
  virtual int ClearLogMode(int mode) = 0;
  virtual int GetLogName(const char** name) = 0;
  virtual void CreateLogMutex() = 0;
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
  virtual void CloseLogMutex() = 0;
};

// Reference counting and the process-wide default logger that Record writes to.
//
// The default-logger pointer and the counts are plain variables: loggers are installed and
// counted on the host's thread while no worker logs. Installing does not take a reference.
class zvLogBase : public IzvLog {
 public:
  zvLogBase() = default;
  // A logger destroyed while it is the default leaves no default behind.
  ~zvLogBase() override;

  int32_t QueryInterface(const GUID& iid, void** object) override;
  uint32_t AddRef() override;
  uint32_t Release() override;
  bool IsVerbose() override;

  // Makes this logger the default if there is none.
  void CheckDefaultLogger();
  void SetAsDefaultLogger();
  static void SetAsDefaultLogger(IzvLog* logger);
  static IzvLog* GetDefaultLogger();

  // Formats one message (at most 1022 characters) and hands it to the default logger; dropped
  // when there is none. Runs on the calling thread; only the output is serialised.
  static void Record(zvLogStatus status, const char* file, int line, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

 protected:
  bool m_quiet = false;
  uint32_t m_refcount = 1;

 private:
  static IzvLog* m_DefaultLogger;
};

// While it lives, drops every record made on the thread that constructed it when `mute` is true.
// Records of other threads, OpenMP workers included, still go through. Scopes nest: each puts
// back the state it found. A request that builds one block of a matrix uses it so that the lines
// that belong to the whole request are logged by one block only.
class zvLogThreadMute {
 public:
  explicit zvLogThreadMute(bool mute);
  ~zvLogThreadMute();
  zvLogThreadMute(const zvLogThreadMute&) = delete;
  zvLogThreadMute& operator=(const zvLogThreadMute&) = delete;

  static bool IsMuted();

 private:
  bool m_previous;
};

// Splits messages into lines and writes each line to the log file and the display, all lines of
// a message under one lock so that messages from different threads never interleave.
//
// DisplayEntry is called under the lock once per line, in order. A subclass that must not show
// lines from some threads at once may keep them and show them later from a thread that can,
// holding Lock() while it does.
class zvLog : public zvLogBase {
 public:
  static constexpr int kModeFile = 1;
  static constexpr int kModeDisplay = 2;
  static constexpr int kMaxLogName = 256;

  zvLog();
  // With a name: logs to that file as well as to the display.
  explicit zvLog(const char* name);

  int Trace(int status, const char* file, int line, const char* message) override;
  int SetLogName(const char* name) override;
  int SetLogMode(int mode) override;
  int ClearLogMode(int mode) override;
  int GetLogName(const char** name) override;
  void CreateLogMutex() override;
  void Lock() override;
  void Unlock() override;
  void CloseLogMutex() override;

  // Shows one line. Called with the lock held: must not log through this logger.
  virtual void DisplayEntry(const zvLogEntry& entry) = 0;

 protected:
  // Appends "[UTC time]" + prefix + text; a file that cannot be opened is skipped.
  void AppendToLogFile(const zvLogEntry& entry);

  char m_logname[kMaxLogName + 1];
  int m_logmode = kModeDisplay;
  std::mutex m_mutex;
};
