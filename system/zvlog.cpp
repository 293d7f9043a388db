#include "system/zvlog.h"

#include <cstdio>
#include <cstring>

const GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID IID_IzvLog = {
    0x5a3c1e47, 0x9b2d, 0x4f60, {0x8e, 0x13, 0x2c, 0x7d, 0x61, 0xa4, 0x0b, 0x95}};

namespace {

constexpr int32_t kNoInterface = static_cast<int32_t>(0x80000004u);

// Display prefix and plain name of each level, indexed by the level.
struct LevelNames {
  const char* prefix;
  const char* name;
};
constexpr LevelNames kLevels[] = {
    {"ERROR\t:", "ERROR"},
    {"WARNING\t:", "WARNING"},
    {"INFO\t:", "INFO"},
    {"\t", ""},
};

// Copies at most kMaxLogName characters of name into buffer and terminates it.
void CopyLogName(char* buffer, const char* name) {
  std::strncpy(buffer, name, zvLog::kMaxLogName);
  buffer[zvLog::kMaxLogName] = 0;
}

// Holds the logger's lock through its virtual Lock and Unlock.
class TraceLock {
 public:
  explicit TraceLock(zvLog& log) : m_log(log) { m_log.Lock(); }
  ~TraceLock() { m_log.Unlock(); }
  TraceLock(const TraceLock&) = delete;
  TraceLock& operator=(const TraceLock&) = delete;

 private:
  zvLog& m_log;
};

}  // namespace

bool operator==(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::memcmp(a.Data4, b.Data4, sizeof(a.Data4)) == 0;
}

const char* zvLogEntry::StatusString(bool with_separator) const {
  if (m_status < zvlog_error || m_status > zvlog_continuation) return "";
  return with_separator ? kLevels[m_status].prefix : kLevels[m_status].name;
}

IzvLog* zvLogBase::m_DefaultLogger = nullptr;

zvLogBase::~zvLogBase() {
  if (m_DefaultLogger == this) m_DefaultLogger = nullptr;
}

int32_t zvLogBase::QueryInterface(const GUID& iid, void** object) {
  if (object == nullptr) return kNoInterface;
  if (iid == IID_IUnknown || iid == IID_IzvLog) {
    *object = static_cast<IzvLog*>(this);
    AddRef();
    return 0;
  }
  *object = nullptr;
  return kNoInterface;
}

uint32_t zvLogBase::AddRef() { return m_refcount++; }

uint32_t zvLogBase::Release() {
  if (m_refcount <= 1) {
    delete this;
    return 0;
  }
  return --m_refcount;
}

bool zvLogBase::IsVerbose() { return !m_quiet; }

void zvLogBase::CheckDefaultLogger() {
  if (m_DefaultLogger == nullptr) m_DefaultLogger = this;
}

void zvLogBase::SetAsDefaultLogger() { m_DefaultLogger = this; }

void zvLogBase::SetAsDefaultLogger(IzvLog* logger) { m_DefaultLogger = logger; }

IzvLog* zvLogBase::GetDefaultLogger() { return m_DefaultLogger; }

namespace {
thread_local bool t_muted = false;
}  // namespace

zvLogThreadMute::zvLogThreadMute(bool mute) : m_previous(t_muted) { t_muted = mute; }

zvLogThreadMute::~zvLogThreadMute() { t_muted = m_previous; }

bool zvLogThreadMute::IsMuted() { return t_muted; }

void zvLogBase::Record(zvLogStatus status, const char* file, int line, const char* format, ...) {
  IzvLog* logger = m_DefaultLogger;
  if (logger == nullptr || t_muted) return;
  zvString text;
  va_list args;
  va_start(args, format);
  text.vsprintf(format, args);
  va_end(args);
  logger->Trace(status, file, line, text);
}

zvLog::zvLog() { m_logname[0] = 0; }

zvLog::zvLog(const char* name) : zvLog() {
  if (name != nullptr) {
    CopyLogName(m_logname, name);
    m_logmode = kModeFile | kModeDisplay;
  }
}

int zvLog::Trace(int status, const char* file, int line, const char* message) {
  zvStringArray lines;
  // A message without text still shows as one line.
  if (lines.Strtok(message, "\n") == 0) lines.Add("");

  TraceLock lock(*this);
  zvLogEntry entry;
  entry.m_file = file;
  entry.m_line = line;
  for (int i = 0; i < lines.GetSize(); ++i) {
    entry.m_message = lines.GetAt(i);
    entry.m_status = i == 0 ? status : zvlog_continuation;
    entry.m_mjd.FromSystem();
    if (m_logmode & kModeFile) AppendToLogFile(entry);
    if (m_logmode & kModeDisplay) DisplayEntry(entry);
  }
  return 0;
}

void zvLog::AppendToLogFile(const zvLogEntry& entry) {
  if (m_logname[0] == 0) return;
  FILE* file = std::fopen(m_logname, "a");
  if (file == nullptr) return;
  char time[zvTimeStamp::kStrBufferSize];
  std::fprintf(file, "[%s]%s%s\n", entry.m_mjd.UTCStr(time, 0), entry.StatusString(true),
               static_cast<const char*>(entry.m_message));
  std::fclose(file);
}

int zvLog::SetLogName(const char* name) {
  if (name == nullptr) {
    m_logname[0] = 0;
    m_logmode &= ~kModeFile;
  } else {
    CopyLogName(m_logname, name);
    m_logmode |= kModeFile;
  }
  return 0;
}

int zvLog::SetLogMode(int mode) {
  m_logmode |= mode;
  return 0;
}

int zvLog::ClearLogMode(int mode) {
  m_logmode &= ~mode;
  return 0;
}

int zvLog::GetLogName(const char** name) {
  if (name != nullptr) *name = m_logname;
  return 0;
}

void zvLog::CreateLogMutex() {}

void zvLog::Lock() { m_mutex.lock(); }

void zvLog::Unlock() { m_mutex.unlock(); }

void zvLog::CloseLogMutex() {}
