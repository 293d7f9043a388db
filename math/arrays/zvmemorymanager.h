// A reference-counted owner of one heap block of T, shared by the arrays that hold it.
//
// Two counts: m_lockcount says how many arrays hold the manager (the manager deletes itself when
// the last one releases it), m_memorylockcount how many of them have the block locked in use (the
// block is freed when the last lock goes). Both are plain integers: arrays sharing a manager are
// created, resized, copied and destroyed by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "math/arrays/rankspecification.h"
#include "math/arrays/zvarraytypes.h"
#include "system/zvlog.h"

inline constexpr const char* kZvMemoryManagerSourcePath = "math/arrays/zvmemorymanager";

template <class T>
class IzvMemoryManager {
 public:
  IzvMemoryManager() = default;
  IzvMemoryManager(const IzvMemoryManager&) = delete;
  IzvMemoryManager& operator=(const IzvMemoryManager&) = delete;

 protected:
  // Frees the block and nulls m_pointer.
  virtual void InternalFreemem() {
    delete[] m_pointer;
    m_pointer = nullptr;
  }
  // A new uninitialised block of linearsize elements, or null.
  virtual T* InternalAllocate(size_t linearsize) { return new (std::nothrow) T[linearsize]; }
  // Whether a block may be kept for a smaller or equal request.
  virtual bool InternalAllowRealloc() { return true; }

 public:
  // Runs the base InternalFreemem: a derived manager that allocates differently frees its block
  // in its own destructor.
  virtual ~IzvMemoryManager() {
    if (m_memorylockcount != 0 && m_pointer != nullptr) {
      zvLogBase::Record(zvlog_warning, kZvMemoryManagerSourcePath, __LINE__,
                        "IzvMemoryManager<T>::Destructor, there are still reference counts on the "
                        "memory. It will be destroyed");
    }
    if (m_pointer != nullptr) InternalFreemem();
  }

  size_t AddRef() { return ++m_lockcount; }

  // The manager deletes itself when the count reaches 0; it must not be used after that.
  size_t Release() {
    if (m_lockcount > 0) --m_lockcount;
    const size_t count = m_lockcount;
    if (count == 0) delete this;
    return count;
  }

  void LockMemory() {
    if (m_pointer != nullptr) ++m_memorylockcount;
  }

  void UnlockMemory() {
    if (m_pointer == nullptr || m_memorylockcount == 0) return;
    if (--m_memorylockcount == 0) Erase();
  }

  // Gives the block the storage size of the layout and stores the block in *ptr. The caller
  // holds at most one lock: a block locked by two or more arrays is never resized under them.
  zvBOOL AllocateAndLock(const RankSpecification* rankspecs, zvBOOL allowreuse, T** ptr) {
    const size_t n = rankspecs->GetContiguousStorageSize(sizeof(T));
    const bool ok = n == m_linearsize || Resize(n, allowreuse);
    *ptr = m_pointer;
    return ok;
  }

  // True when [baseptr, lastptr] lies inside the block in use.
  bool CheckMemoryRange(const T* baseptr, const T* lastptr) const {
    const uintptr_t begin = reinterpret_cast<uintptr_t>(m_pointer);
    const uintptr_t end = reinterpret_cast<uintptr_t>(m_endpointer);
    const uintptr_t base = reinterpret_cast<uintptr_t>(baseptr);
    const uintptr_t last = reinterpret_cast<uintptr_t>(lastptr);
    return begin <= base && base < end && base <= last && last < end;
  }

  bool MemoryIsShared() const { return m_memorylockcount > 1; }
  size_t LockCount() const { return m_lockcount; }
  size_t MemoryLockCount() const { return m_memorylockcount; }
  size_t LinearSize() const { return m_linearsize; }
  size_t ReserveSize() const { return m_reservesize; }

 private:
  bool Resize(size_t n, bool allowreuse) {
    if (m_memorylockcount >= 2) {
      zvLogBase::Record(zvlog_warning, kZvMemoryManagerSourcePath, __LINE__,
                        "IzvMemoryManager<T>::Allocate, cannot allocate as there are %d locks on "
                        "the memory",
                        static_cast<int>(m_memorylockcount));
      return false;
    }
    if (allowreuse && InternalAllowRealloc() && m_reservesize >= n) {
      m_linearsize = n;
      m_endpointer = m_pointer + n;
      return true;
    }
    Erase();
    T* block = InternalAllocate(n);
    if (block == nullptr) {
      zvLogBase::Record(
          zvlog_warning, kZvMemoryManagerSourcePath, __LINE__,
          "IzvMemoryManager<T>::Allocate, Insufficient memory to allocate %d elements",
          static_cast<int>(n));
      return false;
    }
    m_pointer = block;
    m_linearsize = n;
    m_reservesize = n;
    m_endpointer = block + n;
    m_memorylockcount = 1;
    return true;
  }

  void Erase() {
    if (m_pointer != nullptr) InternalFreemem();
    m_pointer = nullptr;
    m_endpointer = nullptr;
    m_reservesize = 0;
    m_linearsize = 0;
    m_memorylockcount = 0;
  }

  size_t m_lockcount = 0;
  size_t m_memorylockcount = 0;
  size_t m_linearsize = 0;
  T* m_pointer = nullptr;
  T* m_endpointer = nullptr;
  size_t m_reservesize = 0;
};
