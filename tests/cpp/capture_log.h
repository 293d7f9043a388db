// A test logger that keeps every display line ("ERROR\t:" + text, a tab + text for continuation
// lines) and its source path so that tests can assert on log messages. It is the default logger
// while it lives and puts the previous default back when it goes. Safe to log to from several
// threads.
#pragma once

#include <string>
#include <vector>

#include "system/zvlog.h"

class CaptureLog : public zvLog {
 public:
  CaptureLog() : m_previous(zvLogBase::GetDefaultLogger()) { SetAsDefaultLogger(); }
  ~CaptureLog() override { zvLogBase::SetAsDefaultLogger(m_previous); }
  CaptureLog(const CaptureLog&) = delete;
  CaptureLog& operator=(const CaptureLog&) = delete;

  // Called by Trace with the logger's lock held, which also guards m_lines.
  void DisplayEntry(const zvLogEntry& entry) override {
    m_lines.push_back(std::string(entry.StatusString(true)) +
                      static_cast<const char*>(entry.m_message));
    m_files.push_back(static_cast<const char*>(entry.m_file));
  }

  std::vector<std::string> lines() {
    Lock();
    std::vector<std::string> copy = m_lines;
    Unlock();
    return copy;
  }

  bool contains(const std::string& substring) {
    for (const std::string& line : lines()) {
      if (line.find(substring) != std::string::npos) return true;
    }
    return false;
  }

  // The source path of the first line that holds the substring, or "" when none does.
  std::string FileOf(const std::string& substring) {
    Lock();
    std::string file;
    for (size_t i = 0; i < m_lines.size() && file.empty(); ++i) {
      if (m_lines[i].find(substring) != std::string::npos) file = m_files[i];
    }
    Unlock();
    return file;
  }

  void clear() {
    Lock();
    m_lines.clear();
    m_files.clear();
    Unlock();
  }

 private:
  IzvLog* m_previous;
  std::vector<std::string> m_lines;
  std::vector<std::string> m_files;
};
