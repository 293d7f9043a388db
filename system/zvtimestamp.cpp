#include "system/zvtimestamp.h"

#include <cctype>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "math/zvmath.h"

namespace {

// Beyond this many days from MJD 0 (about 2.7 million years) the calendar fields would no longer
// fit the integers that hold them, so such stamps (and NaN) have no calendar date.
const double kMaxCalendarDays = 1e9;
const double kHalfMillisecond = 0.0005 * zvTimeStamp::ONESECOND;
// The text parsers look at no more than this many characters.
const int kMaxTextChars = 79;

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if (a % b != 0 && ((a < 0) != (b < 0))) --q;
  return q;
}

// MJD of 00:00 of a calendar date taken literally (no two-digit years): Julian calendar up to
// 1582-10-04, Gregorian from 1582-10-15. Floor divisions keep years before 0 consistent.
double DayNumber(int64_t day, int64_t month, int64_t year) {
  const bool janfeb = month == 1 || month == 2;
  const int64_t m = janfeb ? month + 12 : month;
  const int64_t y = janfeb ? year - 1 : year;
  const bool gregorian =
      year > 1582 || (year == 1582 && (month > 10 || (month == 10 && day >= 15)));
  const int64_t leapdays = gregorian ? FloorDiv(y, 400) - FloorDiv(y, 100) + FloorDiv(y, 4)
                                     : FloorDiv(y + 4716, 4) - 1181;
  const int64_t monthdays = static_cast<int64_t>(std::floor(30.6001 * static_cast<double>(m + 1)));
  return static_cast<double>(365 * y - 679004 + leapdays + monthdays + day);
}

double CalendarToMJD(int day, int month, int year, int hour, int minute, double seconds) {
  if (year >= 0 && year <= 40) {
    year += 2000;
  } else if (year > 40 && year <= 99) {
    year += 1900;
  }
  return DayNumber(day, month, year) + hour / 24.0 + minute / 1440.0 + seconds / 86400.0;
}

struct CalendarFields {
  int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
  double fraction = 0.0;
};

// MJD to calendar date and time of day. All time fields come from one count of whole seconds so
// that they agree with each other even where 24 * f and 86400 * f round differently.
bool SplitMJD(double mjd, CalendarFields* out) {
  *out = CalendarFields();
  if (!(std::fabs(mjd) <= kMaxCalendarDays)) return false;
  double d = std::floor(mjd);
  double seconds = (mjd - d) * 86400.0;
  // Just below midnight the day fraction can round up to a whole day.
  if (seconds >= 86400.0) {
    d += 1.0;
    seconds = 0.0;
  }
  const int64_t j = static_cast<int64_t>(d) + 2400001;
  int64_t a;
  if (j < 2299161) {
    a = j + 1524;
  } else {
    const int64_t g =
        static_cast<int64_t>(std::floor((static_cast<double>(j) - 1867216.25) / 36524.25));
    a = j + g - FloorDiv(g, 4) + 1525;
  }
  const int64_t c = static_cast<int64_t>(std::floor((static_cast<double>(a) - 122.1) / 365.25));
  const int64_t dd = a - (365 * c + FloorDiv(c, 4));
  const int64_t e = static_cast<int64_t>(std::floor(static_cast<double>(dd) / 30.6001));
  out->day =
      static_cast<int>(dd - static_cast<int64_t>(std::floor(30.6001 * static_cast<double>(e))));
  out->month = static_cast<int>(e < 14 ? e - 1 : e - 13);
  out->year = static_cast<int>(out->month > 2 ? c - 4716 : c - 4715);

  const int whole = static_cast<int>(seconds);
  out->hour = whole / 3600;
  out->minute = (whole / 60) % 60;
  out->second = whole % 60;
  out->fraction = seconds - whole;
  return true;
}

// fraction < 1, and 1000 * fraction then rounds to at most 999.99999999999989.
int Milliseconds(double fraction) { return static_cast<int>(1000.0 * fraction); }

// Copies at most kMaxTextChars characters of text with every character other than a digit or '.'
// blanked, then reads blank-separated fields: the first nints as integers, the next one as a
// decimal number. Missing fields are 0.
void ReadCleanFields(const char* text, int nints, int* ints, double* decimal) {
  char buf[kMaxTextChars + 1] = {};
  if (text != nullptr) {
    for (int i = 0; i < kMaxTextChars && text[i] != '\0'; ++i) {
      const char ch = text[i];
      buf[i] = (std::isdigit(static_cast<unsigned char>(ch)) || ch == '.') ? ch : ' ';
    }
  }
  for (int i = 0; i < nints; ++i) ints[i] = 0;
  *decimal = 0.0;
  const char* p = buf;
  for (int field = 0; field <= nints; ++field) {
    while (*p == ' ') ++p;
    if (*p == '\0') break;
    if (field < nints) {
      const long v = std::strtol(p, nullptr, 10);
      ints[field] = static_cast<int>(v > INT_MAX ? INT_MAX : v);
    } else {
      *decimal = std::strtod(p, nullptr);
    }
    while (*p != ' ' && *p != '\0') ++p;
  }
}

// A non-empty run of decimal digits, short enough not to overflow.
bool ParseVaxInt(const std::string& s, int* value) {
  if (s.empty() || s.size() > 9) return false;
  for (char ch : s) {
    if (!std::isdigit(static_cast<unsigned char>(ch))) return false;
  }
  *value = std::atoi(s.c_str());
  return true;
}

bool ParseVaxSeconds(const std::string& s, double* value) {
  if (s.empty()) return false;
  for (char ch : s) {
    if (!std::isdigit(static_cast<unsigned char>(ch)) && ch != '.') return false;
  }
  char* end = nullptr;
  *value = std::strtod(s.c_str(), &end);
  return *end == '\0';
}

// Pieces of s between the separators, empty ones kept, so "1--2" has three.
std::vector<std::string> SplitAt(const std::string& s, char sep) {
  std::vector<std::string> pieces(1);
  for (char ch : s) {
    if (ch == sep) {
      pieces.emplace_back();
    } else {
      pieces.back() += ch;
    }
  }
  return pieces;
}

bool ParseVax(const char* text, double* mjd) {
  if (text == nullptr) return false;
  std::istringstream words(text);
  std::string date, time, extra;
  if (!(words >> date >> time) || (words >> extra)) return false;
  const std::vector<std::string> d = SplitAt(date, '-');
  const std::vector<std::string> t = SplitAt(time, ':');
  if (d.size() != 3 || t.size() != 3) return false;

  static const char* const kMonths[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                          "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  std::string name = d[1];
  for (char& ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  int month = 0;
  for (int i = 0; i < 12; ++i) {
    if (name == kMonths[i]) month = i + 1;
  }
  int day, year, hour, minute;
  double seconds;
  if (month == 0 || !ParseVaxInt(d[0], &day) || !ParseVaxInt(d[2], &year) ||
      !ParseVaxInt(t[0], &hour) || !ParseVaxInt(t[1], &minute) || !ParseVaxSeconds(t[2], &seconds))
    return false;
  if (day < 1 || day > 31 || hour > 23 || minute > 59 || !(seconds < 60.0) || year < 1971 ||
      year > 2199)
    return false;
  *mjd = CalendarToMJD(day, month, year, hour, minute, seconds);
  return true;
}

// GMST at mjd (IAU 1982 polynomial at the preceding midnight plus the sidereal rate over the day
// so far), as a fraction of a day. The last result is kept per thread: callers typically ask for
// the same instant repeatedly, and a per-thread cache needs no lock.
thread_local double t_gmstMJD = std::numeric_limits<double>::quiet_NaN();
thread_local double t_gmstValue = 0.0;

double GMSTAt(double mjd) {
  if (mjd == t_gmstMJD) return t_gmstValue;
  const double d0 = zvmath::TRUNC(mjd - 51544.5 - 0.5) + 0.5;
  const double t = d0 / 36525.0;
  const double seconds = 24110.54841 + t * (8640184.812866 + t * (0.093104 - 6.2e-6 * t));
  const double gmst =
      zvmath::inrange(seconds / 86400.0 + (mjd - 51544.5 - d0) * 1.00273790935, 1.0);
  t_gmstMJD = mjd;
  t_gmstValue = gmst;
  return gmst;
}

}  // namespace

zvTimeStamp::zvTimeStamp(int day, int month, int year, int hour, int minute, int second,
                         double fraction) {
  SetToUTC(day, month, year, hour, minute, second, fraction);
}

zvTimeStamp::zvTimeStamp(const char* utc) { SetToUTC(utc); }

zvTimeStamp zvTimeStamp::ZeroUT() const { return zvTimeStamp(zvmath::TRUNC(m_Val)); }

zvTimeStamp& zvTimeStamp::SetToUTC(int day, int month, int year, int hour, int minute, int second,
                                   double fraction) {
  m_Val = CalendarToMJD(day, month, year, hour, minute, second + fraction);
  return *this;
}

zvTimeStamp& zvTimeStamp::SetToDate(int day, int month, int year) {
  return SetToUTC(day, month, year, 0, 0, 0, 0.0);
}

void zvTimeStamp::GetUTC(int* day, int* month, int* year, int* hour, int* minute, int* second,
                         double* fraction) const {
  CalendarFields f;
  SplitMJD(m_Val, &f);
  if (day != nullptr) *day = f.day;
  if (month != nullptr) *month = f.month;
  if (year != nullptr) *year = f.year;
  if (hour != nullptr) *hour = f.hour;
  if (minute != nullptr) *minute = f.minute;
  if (second != nullptr) *second = f.second;
  if (fraction != nullptr) *fraction = f.fraction;
}

void zvTimeStamp::GetDate(int* day, int* month, int* year) const {
  GetUTC(day, month, year, nullptr, nullptr, nullptr, nullptr);
}

zvTimeStamp& zvTimeStamp::SetToUTC(const char* text) {
  int f[5];
  double seconds;
  ReadCleanFields(text, 5, f, &seconds);
  m_Val = CalendarToMJD(f[2], f[1], f[0], f[3], f[4], seconds);
  return *this;
}

zvTimeStamp& zvTimeStamp::SetToDeltaTime(const char* text) {
  int f[3];
  double seconds;
  ReadCleanFields(text, 3, f, &seconds);
  m_Val = f[0] + f[1] / 24.0 + f[2] / 1440.0 + seconds / 86400.0;
  return *this;
}

bool zvTimeStamp::FromVaxDateAndTimeStr(const char* text) {
  double mjd = 0.0;
  const bool ok = ParseVax(text, &mjd);
  m_Val = ok ? mjd : 0.0;
  return ok;
}

const char* zvTimeStamp::UTCStr(char* buffer, int withms) const {
  CalendarFields f;
  SplitMJD(m_Val + kHalfMillisecond, &f);
  if (withms != 0) {
    std::snprintf(buffer, kStrBufferSize, "%04d-%02d-%02d %02d:%02d:%02d.%03d", f.year, f.month,
                  f.day, f.hour, f.minute, f.second, Milliseconds(f.fraction));
  } else {
    std::snprintf(buffer, kStrBufferSize, "%04d-%02d-%02d %02d:%02d:%02d", f.year, f.month, f.day,
                  f.hour, f.minute, f.second);
  }
  return buffer;
}

const char* zvTimeStamp::TimeStr(char* buffer, int withms) const {
  CalendarFields f;
  SplitMJD(m_Val + kHalfMillisecond, &f);
  if (withms != 0) {
    std::snprintf(buffer, kStrBufferSize, "%02d:%02d:%02d.%03d", f.hour, f.minute, f.second,
                  Milliseconds(f.fraction));
  } else {
    std::snprintf(buffer, kStrBufferSize, "%02d:%02d:%02d", f.hour, f.minute, f.second);
  }
  return buffer;
}

const char* zvTimeStamp::DateStr(char* buffer) const {
  CalendarFields f;
  SplitMJD(m_Val, &f);
  std::snprintf(buffer, kStrBufferSize, "%04d/%02d/%02d", f.year, f.month, f.day);
  return buffer;
}

zvString zvTimeStamp::UTCStr(int withms) const {
  char buffer[kStrBufferSize];
  return zvString(UTCStr(buffer, withms));
}

zvString zvTimeStamp::TimeStr(int withms) const {
  char buffer[kStrBufferSize];
  return zvString(TimeStr(buffer, withms));
}

zvString zvTimeStamp::DateStr() const {
  char buffer[kStrBufferSize];
  return zvString(DateStr(buffer));
}

int zvTimeStamp::DayOfWeek() const {
  const double r = zvmath::inrange(zvmath::TRUNC(m_Val) - 4.0, 7.0);
  return (r >= 0.0 && r < 7.0) ? static_cast<int>(r) : SUNDAY;
}

const char* zvTimeStamp::NameOfDay() const {
  static const char* const kNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                        "Thursday", "Friday", "Saturday"};
  return kNames[DayOfWeek()];
}

int zvTimeStamp::DayOfYear() const {
  CalendarFields f;
  if (!SplitMJD(m_Val, &f)) return 0;
  return static_cast<int>(std::floor(m_Val) - DayNumber(1, 1, f.year)) + 1;
}

double zvTimeStamp::GMST() const { return GMSTAt(m_Val); }

zvTimeStamp zvTimeStamp::fromGMST(double gmst) const {
  const double day = zvmath::TRUNC(m_Val);
  return zvTimeStamp(day + zvmath::inrange(gmst - GMSTAt(day), 1.0) * ONESIDEREALDAY);
}

zvTimeStamp& zvTimeStamp::FromSystem() {
  const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  const double seconds =
      static_cast<double>(us / 1000000) + static_cast<double>(us % 1000000) * 1e-6;
  m_Val = seconds * ONESECOND + 40587.0;
  return *this;
}

zvTimeStamp& zvTimeStamp::FromUnix(double seconds) {
  m_Val = seconds * ONESECOND + 40587.0;
  return *this;
}

double zvTimeStamp::asUnix() const { return (m_Val - 40587.0) * 86400.0; }

zvTimeStamp& zvTimeStamp::FromEosTAI(double seconds) {
  m_Val = seconds * ONESECOND + 48988.0;
  return *this;
}

double zvTimeStamp::asEosTAI() const { return (m_Val - 48988.0) * 86400.0; }

zvTimeStamp& zvTimeStamp::FromMicrosoftDATE(double date) {
  m_Val = date + 15018.0;
  return *this;
}
