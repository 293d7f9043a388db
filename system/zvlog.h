// The process-wide logger: levels, one record call for every part of the library, and the
// logger classes that split messages into lines and route them to a display and a log file.
#pragma once

#include <cstdint>
#include <mutex>

#include "system/zvtimestamp.h"
#include "system/strings/zvstring.h"

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
