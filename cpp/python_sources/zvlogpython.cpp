#include "cpp/python_sources/zvlogpython.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace {

// PySys_WriteStdout cuts its output at 1000 bytes; longer lines go out in pieces that stay
// below that and never split a UTF-8 sequence.
constexpr size_t kMaxPiece = 960;

void WriteLine(const std::string& line) {
  if (line.size() <= kMaxPiece) {
    PySys_WriteStdout("%s\n", line.c_str());
    return;
  }
  size_t start = 0;
  while (start < line.size()) {
    size_t end = start + kMaxPiece;
    if (end >= line.size()) {
      end = line.size();
    } else {
      size_t cut = end;
      while (cut > start && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
      // Text that is not UTF-8 (a C caller's bytes) may have no character start to cut at.
      if (cut > start) end = cut;
    }
    PySys_WriteStdout("%.*s", static_cast<int>(end - start), line.c_str() + start);
    start = end;
  }
  PySys_WriteStdout("\n");
}

}  // namespace

zvLogPython::zvLogPython() {
  CheckDefaultLogger();
  AddRef();
}

int zvLogPython::Trace(int status, const char* file, int line, const char* message) {
  const int result = zvLog::Trace(status, file, line, message);
  WriteHeldLines();
  return result;
}

void zvLogPython::DisplayEntry(const zvLogEntry& entry) {
  try {
    if (m_capturing) {
      m_captured.push_back(Record{entry.m_status, static_cast<const char*>(entry.m_message),
                                  static_cast<const char*>(entry.m_file), entry.m_line});
    } else {
      m_held.emplace_back(std::string(entry.StatusString(true)) +
                          static_cast<const char*>(entry.m_message));
    }
  } catch (const std::bad_alloc&) {
    // Logging never fails its caller: a line that cannot be kept is lost.
  }
}

void zvLogPython::WriteHeldLines() {
  // A thread without a Python thread state (an OpenMP worker) must not touch the interpreter.
  if (!Py_IsInitialized() || PyGILState_GetThisThreadState() == nullptr) return;

  Lock();
  // Another Python thread is writing the queue and will also write what was added meanwhile.
  if (m_writing || m_held.empty()) {
    Unlock();
    return;
  }
  m_writing = true;
  // Callers normally hold the interpreter lock; one that released it (a ctypes call) takes it
  // back here, outside the logger's lock.
  Unlock();
  const PyGILState_STATE gil = PyGILState_Ensure();
  Lock();
  while (!m_held.empty()) {
    const std::string line = std::move(m_held.front());
    m_held.pop_front();
    Unlock();
    WriteLine(line);
    Lock();
  }
  m_writing = false;
  Unlock();
  PyGILState_Release(gil);
}

bool zvLogPython::SetCapture(bool on) {
  Lock();
  const bool previous = m_capturing;
  m_capturing = on;
  Unlock();
  return previous;
}

std::vector<zvLogPython::Record> zvLogPython::TakeCaptured() {
  std::vector<Record> records;
  Lock();
  records.swap(m_captured);
  Unlock();
  return records;
}
