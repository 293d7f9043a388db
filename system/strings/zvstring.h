// The base library's strings: growable 8-bit and wide text buffers with printf-style formatting,
// comparison, trimming and case conversion, and a list of strings with a tokeniser.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <iosfwd>
#include <vector>

// Buffer management and the operations shared by the narrow and the wide string. Ch is the
// character type, Str the derived string class that operations return.
//
// Short texts live in an inline buffer of 100 characters. When a text outgrows the buffer the new
// capacity is the larger of the need and the old capacity plus 100, so that appending one
// character at a time reallocates only every hundred characters.
template <typename Ch, typename Str>
class zvStringCore {
 public:
  static constexpr size_t kLocalStorage = 100;

  zvStringCore();
  zvStringCore(const Ch* text);
  zvStringCore(const zvStringCore& other);
  ~zvStringCore();

  // Length 0; with release, a heap block is freed and the inline buffer is used again.
  void Empty(bool release = false);
  size_t GetLength() const { return m_length; }
  bool IsEmpty() const { return m_length == 0; }
  size_t GetAllocation() const { return m_allocation; }
  operator const Ch*() const { return m_str; }
  // The writable buffer for an external write. Reserve room first (ReserveAndErase or
  // CheckAllocation), then call UpdateLengthAfterExternalWrite.
  Ch* DangerousTypecast() { return m_str; }
  // Re-measures the text; aborts the process if the write ran past the allocation.
  void UpdateLengthAfterExternalWrite();

  // Makes room for n characters, terminator included. keep carries the text over a reallocation,
  // otherwise the string is left empty when it has to grow.
  void CheckAllocation(size_t n, bool keep);
  // Makes room for n characters, terminator included, and empties the string.
  void ReserveAndErase(size_t n);
  // Copies text; n counts the terminator, 0 measures the text. A null text empties the string.
  void CopyString(const Ch* text, size_t n = 0);

  void MakeLower();
  void MakeUpper();
  void MakeReverse();
  Ch GetAt(int i) const;
  void SetAt(int i, Ch c);
  Ch& operator[](int i);
  Ch operator[](int i) const;

  Str& operator+=(const Str& other);
  Str& operator+=(Ch c);
  Str& operator+=(const Ch* text);

  // Positions are -1 when nothing is found.
  int Find(Ch c) const;
  int Find(const Ch* text) const;
  // Cuts the text at the first character of set; returns the new length.
  size_t TruncateAt(const Ch* set);
  // Strips leading and trailing characters with a code of 32 or less (read as signed, so the
  // upper half of an 8-bit code page counts as white too); returns the new length.
  size_t RemoveWhiteSpace();
  // Replaces every from by to and returns the count; replacing by zero shortens the text.
  int Replace(Ch from, Ch to);
  Str Mid(int start, int count) const;
  Str Left(int n) const;
  Str Right(int n) const;
  const Str& AsFormattedNumber(int v);
  void EnsureLastCharIsDirectoryChar();

  // Formats into a 1024-character buffer: at most 1022 characters are kept. Returns the length.
  int vsprintf(const Ch* format, va_list args);

  // Byte-wise (code-wise) order of two texts; a null pointer orders as the empty text.
  static int Compare(const Ch* a, const Ch* b);

  friend Str operator+(const Str& a, const Str& b) { return Concat(a, b); }
  friend Str operator+(const Str& a, Ch b) { return Concat(a, Ch1(b).c); }
  friend Str operator+(Ch a, const Str& b) { return Concat(Ch1(a).c, b); }
  friend Str operator+(const Str& a, const Ch* b) { return Concat(a, b); }
  friend Str operator+(const Ch* a, const Str& b) { return Concat(a, b); }

  friend bool operator==(const Str& a, const Str& b) { return Compare(a, b) == 0; }
  friend bool operator==(const Str& a, const Ch* b) { return Compare(a, b) == 0; }
  friend bool operator==(const Ch* a, const Str& b) { return Compare(a, b) == 0; }
  friend bool operator!=(const Str& a, const Str& b) { return Compare(a, b) != 0; }
  friend bool operator!=(const Str& a, const Ch* b) { return Compare(a, b) != 0; }
  friend bool operator!=(const Ch* a, const Str& b) { return Compare(a, b) != 0; }
  friend bool operator<(const Str& a, const Str& b) { return Compare(a, b) < 0; }
  friend bool operator<(const Str& a, const Ch* b) { return Compare(a, b) < 0; }
  friend bool operator<(const Ch* a, const Str& b) { return Compare(a, b) < 0; }
  friend bool operator>(const Str& a, const Str& b) { return Compare(a, b) > 0; }
  friend bool operator>(const Str& a, const Ch* b) { return Compare(a, b) > 0; }
  friend bool operator>(const Ch* a, const Str& b) { return Compare(a, b) > 0; }
  friend bool operator<=(const Str& a, const Str& b) { return Compare(a, b) <= 0; }
  friend bool operator<=(const Str& a, const Ch* b) { return Compare(a, b) <= 0; }
  friend bool operator<=(const Ch* a, const Str& b) { return Compare(a, b) <= 0; }
  friend bool operator>=(const Str& a, const Str& b) { return Compare(a, b) >= 0; }
  friend bool operator>=(const Str& a, const Ch* b) { return Compare(a, b) >= 0; }
  friend bool operator>=(const Ch* a, const Str& b) { return Compare(a, b) >= 0; }

 protected:
  // Assignment stays with the derived classes so that it returns them.
  void Assign(const zvStringCore& other);
  // Appends count characters of text, growing by the rule.
  void Append(const Ch* text, size_t count);
  Str& Self() { return static_cast<Str&>(*this); }
  const Str& Self() const { return static_cast<const Str&>(*this); }

 private:
  struct Ch1 {
    explicit Ch1(Ch ch) : c{ch, 0} {}
    Ch c[2];
  };
  static Str Concat(const Ch* a, const Ch* b);

  Ch m_localstorage[kLocalStorage];
  size_t m_length;
  size_t m_allocation;
  Ch* m_str;
};

class zvStringw;

class zvString : public zvStringCore<char, zvString> {
 public:
  using zvStringCore::zvStringCore;
  zvString() = default;
  zvString(const zvString& other) = default;
  zvString& operator=(const zvString& other);
  zvString& operator=(const char* text);
  zvString& operator=(char c);
  // Narrows character by character, keeping the low 8 bits.
  zvString& operator=(const wchar_t* text);

  // Smallest position of any character of set; -1 when none occurs or the set is empty.
  int FindAnyOf(const char* set) const;
  // Cuts at the first character of set, then strips white space; returns the new length.
  size_t TrimToComments(const char* set);
  // Number of runs of characters other than blank, tab, newline and carriage return.
  int CountNonWhiteFieldsOnLine() const;
  void EnsureLastCharIsNotDirectoryChar();
  bool MakeDirectorySeparatorsOSConsistent(char sep);
  // Widens character by character, taking each char as a signed value.
  zvStringw ConvertToWide() const;
  // Reads one line without its newline; false when no line could be read.
  bool InputTextLine(std::istream& stream);

  // Formats as vsprintf does and reports a cut or failed formatting on stderr.
  int sprintf(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

class zvStringw : public zvStringCore<wchar_t, zvStringw> {
 public:
  using zvStringCore::zvStringCore;
  zvStringw() = default;
  zvStringw(const zvStringw& other) = default;
  zvStringw& operator=(const zvStringw& other);
  zvStringw& operator=(const wchar_t* text);
  zvStringw& operator=(wchar_t c);
  // Widens character by character, taking each char as a signed value.
  zvStringw& operator=(const char* text);

  // Narrows character by character, keeping the low 8 bits.
  zvString ConvertToChar() const;
  int sprintf(const wchar_t* format, ...);
};

extern template class zvStringCore<char, zvString>;
extern template class zvStringCore<wchar_t, zvStringw>;

// An ordered list of strings, filled one by one or by splitting a text.
class zvStringArray {
 public:
  // Appends a copy of text (null appends an empty string); returns the new count.
  int Add(const char* text);
  void RemoveAll();
  void Reserve(int n);
  int GetSize() const { return static_cast<int>(m_strings.size()); }
  // The i-th string; out of range, logs a warning and returns a shared empty string.
  const zvString& GetAt(int i) const;
  // Replaces the contents by the tokens of text split at any of separators (" ,\t\n" when null).
  // Runs of separators count as one; returns the number of tokens.
  int Strtok(const char* text, const char* separators = nullptr);

 private:
  std::vector<zvString> m_strings;
};
