// One instant in UTC held as a Modified Julian Date (MJD): Julian Day minus 2400000.5, so that
// MJD 0 is 1858-11-17 00:00 and the integer part changes at midnight. Leap seconds are not
// modelled. Calendar dates before 1582-10-15 are Julian, later ones Gregorian.
#pragma once

#include "system/strings/zvstring.h"

class zvTimeStamp {
 public:
  static constexpr double ONESECOND = 1.0 / 86400.0;
  static constexpr double ONEMINUTE = 1.0 / 1440.0;
  static constexpr double ONEHOUR = 1.0 / 24.0;
  static constexpr double ONESIDEREALDAY = 0.99726956634;
  static constexpr int SUNDAY = 0;
  static constexpr int MONDAY = 1;
  static constexpr int TUESDAY = 2;
  static constexpr int WEDNESDAY = 3;
  static constexpr int THURSDAY = 4;
  static constexpr int FRIDAY = 5;
  static constexpr int SATURDAY = 6;

  zvTimeStamp() = default;
  zvTimeStamp(double mjd) : m_Val(mjd) {}
  zvTimeStamp(int mjd) : m_Val(mjd) {}
  zvTimeStamp(int day, int month, int year, int hour, int minute, int second, double fraction);
  explicit zvTimeStamp(const char* utc);
  zvTimeStamp(const zvTimeStamp&) = default;
  zvTimeStamp& operator=(const zvTimeStamp&) = default;
  zvTimeStamp& operator=(double mjd) {
    m_Val = mjd;
    return *this;
  }

  double MJD() const { return m_Val; }
  double JD() const { return m_Val + 2400000.5; }
  // Days and Julian centuries from 2000-01-01 12:00.
  double JD2000() const { return m_Val - 51544.5; }
  double JD2000Centuries() const { return (m_Val - 51544.5) / 36525.0; }
  double MJD1950() const { return m_Val - 33282.0; }
  // Midnight at the start of the stamp's day.
  zvTimeStamp ZeroUT() const;

  // Years 0 to 40 mean 2000 to 2040 and 41 to 99 mean 1941 to 1999.
  zvTimeStamp& SetToUTC(int day, int month, int year, int hour, int minute, int second,
                        double fraction);
  zvTimeStamp& SetToDate(int day, int month, int year);
  // Any pointer may be null. A stamp that holds no usable MJD (not finite, or more than a
  // billion days from the epoch) gives all fields zero.
  void GetUTC(int* day, int* month, int* year, int* hour, int* minute, int* second,
              double* fraction) const;
  void GetDate(int* day, int* month, int* year) const;

  // Text forms. Every character other than a digit or '.' separates fields, so
  // "2024-03-05 10:11:12.5" and "2024/03/05T10:11:12.5" read alike; missing fields are 0.
  zvTimeStamp& SetToUTC(const char* text);        // year month day hour minute seconds
  zvTimeStamp& SetToDeltaTime(const char* text);  // days hours minutes seconds, as a duration
  // "05-MAR-2024 10:11:12.50"; on any fault the stamp becomes MJD 0 and the result is false.
  bool FromVaxDateAndTimeStr(const char* text);

  // The printing forms write into a buffer of at least kStrBufferSize characters and return it.
  // UTCStr and TimeStr print the time rounded to the nearest millisecond.
  static constexpr int kStrBufferSize = 32;
  const char* UTCStr(char* buffer, int withms) const;   // YYYY-MM-DD hh:mm:ss[.mmm]
  const char* TimeStr(char* buffer, int withms) const;  // hh:mm:ss[.mmm]
  const char* DateStr(char* buffer) const;              // YYYY/MM/DD
  zvString UTCStr(int withms) const;
  zvString TimeStr(int withms) const;
  zvString DateStr() const;

  int DayOfWeek() const;  // SUNDAY ... SATURDAY; SUNDAY for a stamp that is not finite
  const char* NameOfDay() const;
  int DayOfYear() const;  // 1 for January 1; 0 for a stamp without a usable MJD

  // Greenwich mean sidereal time as a fraction of a day, in [0, 1). The last result is cached
  // per thread.
  double GMST() const;
  // The first instant of the stamp's day at which the mean sidereal time equals gmst.
  zvTimeStamp fromGMST(double gmst) const;

  zvTimeStamp& FromSystem();  // the current time, to the microsecond
  zvTimeStamp& FromUnix(double seconds);
  double asUnix() const;
  zvTimeStamp& FromEosTAI(double seconds);  // seconds since 1993-01-01 00:00
  double asEosTAI() const;
  zvTimeStamp& FromMicrosoftDATE(double date);

  bool operator==(const zvTimeStamp& o) const { return m_Val == o.m_Val; }
  bool operator!=(const zvTimeStamp& o) const { return m_Val != o.m_Val; }
  bool operator<(const zvTimeStamp& o) const { return m_Val < o.m_Val; }
  bool operator>(const zvTimeStamp& o) const { return m_Val > o.m_Val; }
  bool operator<=(const zvTimeStamp& o) const { return m_Val <= o.m_Val; }
  bool operator>=(const zvTimeStamp& o) const { return m_Val >= o.m_Val; }
  bool operator==(double v) const { return m_Val == v; }
  bool operator!=(double v) const { return m_Val != v; }
  bool operator<(double v) const { return m_Val < v; }
  bool operator>(double v) const { return m_Val > v; }
  bool operator<=(double v) const { return m_Val <= v; }
  bool operator>=(double v) const { return m_Val >= v; }

  zvTimeStamp operator+(const zvTimeStamp& o) const { return zvTimeStamp(m_Val + o.m_Val); }
  zvTimeStamp operator-(const zvTimeStamp& o) const { return zvTimeStamp(m_Val - o.m_Val); }
  zvTimeStamp operator*(const zvTimeStamp& o) const { return zvTimeStamp(m_Val * o.m_Val); }
  zvTimeStamp operator/(const zvTimeStamp& o) const { return zvTimeStamp(m_Val / o.m_Val); }
  zvTimeStamp operator+(double v) const { return zvTimeStamp(m_Val + v); }
  zvTimeStamp operator-(double v) const { return zvTimeStamp(m_Val - v); }
  zvTimeStamp operator*(double v) const { return zvTimeStamp(m_Val * v); }
  zvTimeStamp operator/(double v) const { return zvTimeStamp(m_Val / v); }

 private:
  double m_Val = 0.0;
};
