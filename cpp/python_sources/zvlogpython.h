// The logger of the Python extension module: every line goes to Python's sys.stdout.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "system/zvlog.h"

// Lines reach sys.stdout only from a thread that may call into the interpreter. Every line is
// first queued under the logger's lock (DisplayEntry); after a message has been traced, a Python
// thread writes out the queue. OpenMP workers have no Python thread state, so their lines wait in
// the queue until the calling thread logs or its request ends. The queue keeps the order of all
// lines, and the lines of one message enter it together.
//
// Nothing calls into Python while the logger's lock is held: writing to sys.stdout may release
// the interpreter lock, and another Python thread that logs meanwhile would then wait for the
// logger's lock while holding the interpreter lock.
//
// While capture is on, lines are kept as records for the host to take instead of being written;
// lines of every thread are kept, in the order in which they were traced.
class zvLogPython : public zvLog {
 public:
  struct Record {
    int level;
    std::string message;  // without the level's display prefix
    std::string file;
    int line;
  };

  // Becomes the default logger when there is none and holds a second reference.
  zvLogPython();

  int Trace(int status, const char* file, int line, const char* message) override;
  void DisplayEntry(const zvLogEntry& entry) override;

  // Writes the queued lines when the calling thread is a Python thread; otherwise they wait.
  void WriteHeldLines();

  // Turns capture on or off; returns whether it was on.
  bool SetCapture(bool on);
  // The records captured so far, oldest first; the store is then empty.
  std::vector<Record> TakeCaptured();

 private:
  std::deque<std::string> m_held;  // guarded by the logger's lock
  bool m_writing = false;          // a thread is writing the queue; guarded by the lock
  bool m_capturing = false;        // guarded by the lock
  std::vector<Record> m_captured;  // guarded by the lock
};
