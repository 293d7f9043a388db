#include "system/strings/zvstring.h"

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <istream>
#include <string>
#include <string_view>

#include "system/zvlog.h"

static const char* const kSourcePath = "system/strings/zvstring";

namespace {

// The formatters write into a zero-filled buffer with a bound one short of its size, so the last
// character stays zero whatever the formatter does and at most 1022 characters remain.
constexpr size_t kFormatBuffer = 1024;
constexpr size_t kFormatBound = 1023;
constexpr size_t kFormatKept = kFormatBound - 1;

template <typename Ch>
struct CharOps;

template <>
struct CharOps<char> {
  static constexpr const char* kName = "zvString";
  static size_t Length(const char* s, size_t max) { return strnlen(s, max); }
  static char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  static char Upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  static bool IsWhite(char c) { return static_cast<signed char>(c) <= 32; }
  static int Format(char* buffer, const char* format, va_list args) {
    return std::vsnprintf(buffer, kFormatBound, format, args);
  }
  // Drops a UTF-8 sequence that a cut left incomplete at the end of text: a reader that decodes
  // the text (Python) would refuse it. Bytes that are not UTF-8 are kept as they are.
  static void DropCutCharacter(char* text) {
    const size_t length = std::strlen(text);
    size_t start = length;  // one past the byte that begins the last character
    while (start > 0 && length - start < 3 &&
           (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) {
      --start;
    }
    if (start == 0) return;
    const unsigned char lead = static_cast<unsigned char>(text[start - 1]);
    const size_t needed = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (length - start + 1 < needed) text[start - 1] = 0;
  }
  static std::string Number(int v) { return std::to_string(v); }
};

template <>
struct CharOps<wchar_t> {
  static constexpr const char* kName = "zvStringw";
  static size_t Length(const wchar_t* s, size_t max) { return wcsnlen(s, max); }
  static wchar_t Lower(wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); }
  static wchar_t Upper(wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); }
  static bool IsWhite(wchar_t c) { return c <= 32; }
  static int Format(wchar_t* buffer, const wchar_t* format, va_list args) {
    return std::vswprintf(buffer, kFormatBound, format, args);
  }
  static void DropCutCharacter(wchar_t*) {}  // a wide text is cut between characters
  static std::wstring Number(int v) { return std::to_wstring(v); }
};

// Widening takes a char as signed; narrowing keeps the low 8 bits. No locale is involved.
wchar_t ConvertChar(char c, wchar_t) { return static_cast<wchar_t>(static_cast<signed char>(c)); }
char ConvertChar(wchar_t c, char) { return static_cast<char>(c & 0xFF); }

template <typename To, typename Dest, typename From>
void ConvertText(Dest& dest, const From* text) {
  if (text == nullptr) {
    dest.Empty();
    return;
  }
  const size_t length = std::char_traits<From>::length(text);
  dest.ReserveAndErase(length + 1);
  To* out = dest.DangerousTypecast();
  for (size_t i = 0; i < length; ++i) out[i] = ConvertChar(text[i], To());
  out[length] = 0;
  // A wide character whose low 8 bits are zero ends the narrow text early.
  dest.UpdateLengthAfterExternalWrite();
}

// True when the formatter failed or its text did not fit the buffer whole.
bool FormatWasCut(int result) { return static_cast<unsigned>(result) > kFormatKept; }

// Formats into buffer (zero-filled, kFormatBuffer characters) and returns the formatter's result.
// A text that was cut ends with whole characters.
template <typename Ch>
int FormatBounded(Ch* buffer, const Ch* format, va_list args) {
  std::fill(buffer, buffer + kFormatBuffer, Ch(0));
  if (format == nullptr) return 0;
  const int result = CharOps<Ch>::Format(buffer, format, args);
  if (FormatWasCut(result)) CharOps<Ch>::DropCutCharacter(buffer);
  return result;
}

}  // namespace

template <typename Ch, typename Str>
zvStringCore<Ch, Str>::zvStringCore()
    : m_length(0), m_allocation(kLocalStorage), m_str(m_localstorage) {
  m_localstorage[0] = 0;
}

template <typename Ch, typename Str>
zvStringCore<Ch, Str>::zvStringCore(const Ch* text) : zvStringCore() {
  CopyString(text);
}

template <typename Ch, typename Str>
zvStringCore<Ch, Str>::zvStringCore(const zvStringCore& other) : zvStringCore() {
  Assign(other);
}

template <typename Ch, typename Str>
zvStringCore<Ch, Str>::~zvStringCore() {
  if (m_str != m_localstorage) delete[] m_str;
}

template <typename Ch, typename Str>
void zvStringCore<Ch, Str>::Assign(const zvStringCore& other) {
  if (this == &other) return;
  CopyString(other.m_str, other.m_length + 1);
}

template <typename Ch, typename Str>
void zvStringCore<Ch, Str>::Empty(bool release) {
  if (release && m_str != m_localstorage) {
    delete[] m_str;
    m_str = m_localstorage;
    m_allocation = kLocalStorage;
  }
  m_length = 0;
  m_str[0] = 0;
}

template <typename Ch, typename Str>
void zvStringCore<Ch, Str>::UpdateLengthAfterExternalWrite() {
  // Measuring stops at the allocation, so a write without a terminator inside it is caught
  // without reading further past the buffer.
  const size_t length = CharOps<Ch>::Length(m_str, m_allocation);
  if (length + 1 > m_allocation) {
    std::printf(
        "%s::UpdateLengthAfterExternalWrite, The external write exceeded the allocated buffer",
        CharOps<Ch>::kName);
    std::printf("\n***ABORTING PROGRAM ***\n");
    std::fflush(stdout);
    std::abort();
  }
  m_length = length;
}

template <typename Ch, typename Str>
void zvStringCore<Ch, Str>::CheckAllocation(size_t n, bool keep) {
  if (n <= m_allocation) return;
  const size_t capacity = std::max(n, m_allocation + kLocalStorage);
  Ch* block = new Ch[capacity];
  if (keep) {
    std::char_traits<Ch>::copy(block, m_str, m_length + 1);
  } else {
    m_length = 0;
    block[0] = 0;
  }
  if (m_str != m_localstorage) delete[] m_str;
  m_str = block;
  m_allocation = capacity;
}

template <typename Ch, typename Str>
void zvStringCore<Ch, Str>::ReserveAndErase(size_t n) {
  CheckAllocation(n, false);
  Empty();
}

template <typename Ch, typename Str>
void zvStringCore<Ch, Str>::CopyString(const Ch* text, size_t n) {
  if (text == nullptr) {
    Empty();
    return;
  }
  // n may exceed the text: copy only up to its terminator.
  const size_t count =
      n == 0 ? std::char_traits<Ch>::length(text) : CharOps<Ch>::Length(text, n - 1);
  if (count + 1 > m_allocation) {
    // text cannot lie in this string's buffer, which is too small for it.
    CheckAllocation(count + 1, false);
  }
  // move, not copy: text may be a part of this string's own buffer.
  std::char_traits<Ch>::move(m_str, text, count);
  m_length = count;
  m_str[count] = 0;
}

template <typename Ch, typename Str>
void zvStringCore<Ch, Str>::Append(const Ch* text, size_t count) {
  const size_t n = m_length + count + 1;
  if (n > m_allocation) {
    // Build the new block before freeing the old one: text may be this string's own text.
    const size_t capacity = std::max(n, m_allocation + kLocalStorage);
    Ch* block = new Ch[capacity];
    std::char_traits<Ch>::copy(block, m_str, m_length);
    std::char_traits<Ch>::copy(block + m_length, text, count);
    if (m_str != m_localstorage) delete[] m_str;
    m_str = block;
    m_allocation = capacity;
  } else {
    std::char_traits<Ch>::move(m_str + m_length, text, count);
  }
  m_length += count;
  m_str[m_length] = 0;
}

template <typename Ch, typename Str>
void zvStringCore<Ch, Str>::MakeLower() {
  for (size_t i = 0; i < m_length; ++i) m_str[i] = CharOps<Ch>::Lower(m_str[i]);
}

template <typename Ch, typename Str>
void zvStringCore<Ch, Str>::MakeUpper() {
  for (size_t i = 0; i < m_length; ++i) m_str[i] = CharOps<Ch>::Upper(m_str[i]);
}

template <typename Ch, typename Str>
void zvStringCore<Ch, Str>::MakeReverse() {
  std::reverse(m_str, m_str + m_length);
}

template <typename Ch, typename Str>
Ch zvStringCore<Ch, Str>::GetAt(int i) const {
  assert(i >= 0 && static_cast<size_t>(i) <= m_length);
  return m_str[i];
}

template <typename Ch, typename Str>
void zvStringCore<Ch, Str>::SetAt(int i, Ch c) {
  assert(i >= 0 && static_cast<size_t>(i) < m_length);
  m_str[i] = c;
  if (c == 0) m_length = static_cast<size_t>(i);
}

template <typename Ch, typename Str>
Ch& zvStringCore<Ch, Str>::operator[](int i) {
  assert(i >= 0 && static_cast<size_t>(i) <= m_length);
  return m_str[i];
}

template <typename Ch, typename Str>
Ch zvStringCore<Ch, Str>::operator[](int i) const {
  return GetAt(i);
}

template <typename Ch, typename Str>
Str& zvStringCore<Ch, Str>::operator+=(const Str& other) {
  Append(other.m_str, other.m_length);
  return Self();
}

template <typename Ch, typename Str>
Str& zvStringCore<Ch, Str>::operator+=(Ch c) {
  if (c != 0) Append(&c, 1);
  return Self();
}

template <typename Ch, typename Str>
Str& zvStringCore<Ch, Str>::operator+=(const Ch* text) {
  if (text != nullptr) Append(text, std::char_traits<Ch>::length(text));
  return Self();
}

template <typename Ch, typename Str>
int zvStringCore<Ch, Str>::Find(Ch c) const {
  const size_t pos = std::basic_string_view<Ch>(m_str, m_length).find(c);
  return pos == std::basic_string_view<Ch>::npos ? -1 : static_cast<int>(pos);
}

template <typename Ch, typename Str>
int zvStringCore<Ch, Str>::Find(const Ch* text) const {
  if (text == nullptr) return -1;
  const size_t pos = std::basic_string_view<Ch>(m_str, m_length).find(text);
  return pos == std::basic_string_view<Ch>::npos ? -1 : static_cast<int>(pos);
}

template <typename Ch, typename Str>
size_t zvStringCore<Ch, Str>::TruncateAt(const Ch* set) {
  if (set == nullptr) return m_length;
  const size_t pos = std::basic_string_view<Ch>(m_str, m_length).find_first_of(set);
  if (pos != std::basic_string_view<Ch>::npos) {
    m_length = pos;
    m_str[pos] = 0;
  }
  return m_length;
}

template <typename Ch, typename Str>
size_t zvStringCore<Ch, Str>::RemoveWhiteSpace() {
  size_t end = m_length;
  while (end > 0 && CharOps<Ch>::IsWhite(m_str[end - 1])) --end;
  size_t begin = 0;
  while (begin < end && CharOps<Ch>::IsWhite(m_str[begin])) ++begin;
  std::char_traits<Ch>::move(m_str, m_str + begin, end - begin);
  m_length = end - begin;
  m_str[m_length] = 0;
  return m_length;
}

template <typename Ch, typename Str>
int zvStringCore<Ch, Str>::Replace(Ch from, Ch to) {
  int count = 0;
  for (size_t i = 0; i < m_length; ++i) {
    if (m_str[i] == from) {
      m_str[i] = to;
      ++count;
    }
  }
  if (to == 0 && count > 0) m_length = std::char_traits<Ch>::length(m_str);
  return count;
}

template <typename Ch, typename Str>
Str zvStringCore<Ch, Str>::Mid(int start, int count) const {
  Str result;
  if (start < 0) start = 0;
  if (count <= 0 || static_cast<size_t>(start) >= m_length) return result;
  result.Append(m_str + start, std::min(static_cast<size_t>(count), m_length - start));
  return result;
}

template <typename Ch, typename Str>
Str zvStringCore<Ch, Str>::Left(int n) const {
  Str result;
  if (n > 0) result.Append(m_str, std::min(static_cast<size_t>(n), m_length));
  return result;
}

template <typename Ch, typename Str>
Str zvStringCore<Ch, Str>::Right(int n) const {
  Str result;
  if (n > 0) {
    const size_t count = std::min(static_cast<size_t>(n), m_length);
    result.Append(m_str + m_length - count, count);
  }
  return result;
}

template <typename Ch, typename Str>
const Str& zvStringCore<Ch, Str>::AsFormattedNumber(int v) {
  const auto text = CharOps<Ch>::Number(v);
  CopyString(text.c_str(), text.size() + 1);
  return Self();
}

template <typename Ch, typename Str>
void zvStringCore<Ch, Str>::EnsureLastCharIsDirectoryChar() {
  if (m_length > 0 && m_str[m_length - 1] != Ch('/')) *this += Ch('/');
}

template <typename Ch, typename Str>
int zvStringCore<Ch, Str>::vsprintf(const Ch* format, va_list args) {
  Ch buffer[kFormatBuffer];
  FormatBounded(buffer, format, args);
  CopyString(buffer);
  return static_cast<int>(m_length);
}

template <typename Ch, typename Str>
int zvStringCore<Ch, Str>::Compare(const Ch* a, const Ch* b) {
  const std::basic_string_view<Ch> left(a == nullptr ? std::basic_string_view<Ch>() : a);
  const std::basic_string_view<Ch> right(b == nullptr ? std::basic_string_view<Ch>() : b);
  return left.compare(right);
}

template <typename Ch, typename Str>
Str zvStringCore<Ch, Str>::Concat(const Ch* a, const Ch* b) {
  const size_t la = a == nullptr ? 0 : std::char_traits<Ch>::length(a);
  const size_t lb = b == nullptr ? 0 : std::char_traits<Ch>::length(b);
  Str result;
  result.CheckAllocation(la + lb + 1, false);
  result.Append(a, la);
  result.Append(b, lb);
  return result;
}

template class zvStringCore<char, zvString>;
template class zvStringCore<wchar_t, zvStringw>;

zvString& zvString::operator=(const zvString& other) {
  Assign(other);
  return *this;
}

zvString& zvString::operator=(const char* text) {
  CopyString(text);
  return *this;
}

zvString& zvString::operator=(char c) {
  const char text[2] = {c, 0};
  CopyString(text);
  return *this;
}

zvString& zvString::operator=(const wchar_t* text) {
  ConvertText<char>(*this, text);
  return *this;
}

int zvString::FindAnyOf(const char* set) const {
  if (set == nullptr || set[0] == 0) return -1;
  const size_t pos = std::string_view(*this, GetLength()).find_first_of(set);
  return pos == std::string_view::npos ? -1 : static_cast<int>(pos);
}

size_t zvString::TrimToComments(const char* set) {
  TruncateAt(set);
  return RemoveWhiteSpace();
}

int zvString::CountNonWhiteFieldsOnLine() const {
  int fields = 0;
  bool in_field = false;
  for (const char* p = *this; *p != 0; ++p) {
    const bool white = std::strchr(" \t\n\r", *p) != nullptr;
    if (!white && !in_field) ++fields;
    in_field = !white;
  }
  return fields;
}

void zvString::EnsureLastCharIsNotDirectoryChar() {
  const int last = static_cast<int>(GetLength()) - 1;
  if (last >= 0 && (GetAt(last) == '/' || GetAt(last) == '\\')) SetAt(last, 0);
}

bool zvString::MakeDirectorySeparatorsOSConsistent(char sep) {
  Replace('/', sep);
  Replace('\\', sep);
  return true;
}

zvStringw zvString::ConvertToWide() const {
  zvStringw wide;
  ConvertText<wchar_t>(wide, static_cast<const char*>(*this));
  return wide;
}

bool zvString::InputTextLine(std::istream& stream) {
  std::string line;
  if (!std::getline(stream, line)) {
    Empty();
    return false;
  }
  CopyString(line.c_str(), line.size() + 1);
  return true;
}

int zvString::sprintf(const char* format, ...) {
  char buffer[kFormatBuffer];
  va_list args;
  va_start(args, format);
  const int result = FormatBounded(buffer, format, args);
  va_end(args);
  // Reported whenever text is lost, a text of 1023 characters included.
  if (FormatWasCut(result)) {
    std::fprintf(stderr,
                 "zvString:sprintf, exception executing vsprintf, error code = %d. format "
                 "paramater =[%s]\n",
                 result, format);
  }
  CopyString(buffer);
  return static_cast<int>(GetLength());
}

zvStringw& zvStringw::operator=(const zvStringw& other) {
  Assign(other);
  return *this;
}

zvStringw& zvStringw::operator=(const wchar_t* text) {
  CopyString(text);
  return *this;
}

zvStringw& zvStringw::operator=(wchar_t c) {
  const wchar_t text[2] = {c, 0};
  CopyString(text);
  return *this;
}

zvStringw& zvStringw::operator=(const char* text) {
  ConvertText<wchar_t>(*this, text);
  return *this;
}

zvString zvStringw::ConvertToChar() const {
  zvString narrow;
  ConvertText<char>(narrow, static_cast<const wchar_t*>(*this));
  return narrow;
}

int zvStringw::sprintf(const wchar_t* format, ...) {
  wchar_t buffer[kFormatBuffer];
  va_list args;
  va_start(args, format);
  const int result = FormatBounded(buffer, format, args);
  va_end(args);
  if (FormatWasCut(result)) {
    std::fprintf(stderr,
                 "zvStringw:sprintf, exception executing vswprintf, error code = %d. format "
                 "paramater =[%ls]\n",
                 result, format);
  }
  CopyString(buffer);
  return static_cast<int>(GetLength());
}

int zvStringArray::Add(const char* text) {
  m_strings.emplace_back(text);
  return GetSize();
}

void zvStringArray::RemoveAll() { m_strings.clear(); }

void zvStringArray::Reserve(int n) {
  if (n > 0) m_strings.reserve(static_cast<size_t>(n));
}

const zvString& zvStringArray::GetAt(int i) const {
  if (i < 0 || i >= GetSize()) {
    zvLogBase::Record(zvlog_warning, kSourcePath, __LINE__,
                      "zvStringArray::GetAt, Index (%d) is out of bounds (0 to %d)", i,
                      GetSize() - 1);
    static const zvString empty;
    return empty;
  }
  return m_strings[static_cast<size_t>(i)];
}

int zvStringArray::Strtok(const char* text, const char* separators) {
  RemoveAll();
  if (text == nullptr) return 0;
  const char* seps = separators != nullptr ? separators : " ,\t\n";
  zvString copy(text);
  char* state = nullptr;
  for (char* token = strtok_r(copy.DangerousTypecast(), seps, &state); token != nullptr;
       token = strtok_r(nullptr, seps, &state)) {
    Add(token);
  }
  return GetSize();
}
