#include "cpp/python_sources/zvlogpython.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace {

// One line to sys.stdout, whole. PySys_WriteStdout would cut it at 1000 bytes and, for bytes that
// are not UTF-8 (a C caller's text), write it to the process's own stdout instead, past any
// redirection of sys.stdout; here such bytes reach sys.stdout as \xNN escapes.
void WriteLine(const std::string& line) {
  PyObject* text =
      PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "backslashreplace");
  if (text == nullptr) {
    PyErr_Clear();  // out of memory: the line is lost, as logging never fails its caller
    return;
  }
  PySys_FormatStdout("%U\n", text);
  Py_DECREF(text);
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
