#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <limits>
#include <string>

#include "system/zvtimestamp.h"

namespace {

const double kMs = 0.001 * zvTimeStamp::ONESECOND;

// A plain day-by-day calendar, independent of the MJD formulas: Julian leap years up to 1582,
// Gregorian after, and October 5-14 of 1582 skipped.
struct RefDate {
  int day, month, year, dayofyear, weekday;
};

bool RefLeap(int year) {
  if (year <= 1582) return year % 4 == 0;
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int RefMonthLength(int month, int year) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && RefLeap(year) ? 29 : kDays[month - 1];
}

void RefNext(RefDate* d) {
  d->weekday = (d->weekday + 1) % 7;
  if (d->year == 1582 && d->month == 10 && d->day == 4) {
    d->day = 15;
    d->dayofyear += 1;
    return;
  }
  ++d->day;
  ++d->dayofyear;
  if (d->day > RefMonthLength(d->month, d->year)) {
    d->day = 1;
    if (++d->month > 12) {
      d->month = 1;
      ++d->year;
      d->dayofyear = 1;
    }
  }
}

void RefPrev(RefDate* d) {
  d->weekday = (d->weekday + 6) % 7;
  if (d->year == 1582 && d->month == 10 && d->day == 15) {
    d->day = 4;
    d->dayofyear -= 1;
    return;
  }
  if (--d->day == 0) {
    if (--d->month == 0) {
      d->month = 12;
      --d->year;
      d->dayofyear = RefLeap(d->year) ? 367 : 366;
      if (d->year == 1582) d->dayofyear -= 10;
    }
    d->day = RefMonthLength(d->month, d->year);
  }
  --d->dayofyear;
}

// Compares the stamp at 00:00 + 17:43 of day mjd against the reference date.
void ExpectDay(double mjd, const RefDate& ref) {
  const zvTimeStamp ts(mjd + 0.7385);
  int day, month, year;
  ts.GetDate(&day, &month, &year);
  ASSERT_EQ(day, ref.day) << "MJD " << mjd;
  ASSERT_EQ(month, ref.month) << "MJD " << mjd;
  ASSERT_EQ(year, ref.year) << "MJD " << mjd;
  ASSERT_EQ(ts.DayOfYear(), ref.dayofyear) << "MJD " << mjd;
  ASSERT_EQ(ts.DayOfWeek(), ref.weekday) << "MJD " << mjd;
  // Years 0 to 99 read as two-digit years, so only later dates can come back through SetToDate.
  if (year >= 100) {
    ASSERT_EQ(zvTimeStamp().SetToDate(day, month, year).MJD(), mjd);
  }
}

double HmsToDay(int h, int m, double s) { return (h * 3600 + m * 60 + s) / 86400.0; }

}  // namespace

TEST(zvTimeStamp, ReferenceEpochs) {
  const zvTimeStamp j2000(1, 1, 2000, 12, 0, 0, 0.0);
  EXPECT_EQ(j2000.MJD(), 51544.5);
  EXPECT_EQ(j2000.JD(), 2451545.0);
  EXPECT_EQ(j2000.JD2000(), 0.0);
  EXPECT_EQ(zvTimeStamp(17, 11, 1858, 0, 0, 0, 0.0).MJD(), 0.0);
  EXPECT_EQ(zvTimeStamp().SetToDate(1, 1, 1950).MJD1950(), 0.0);
  EXPECT_EQ(zvTimeStamp().SetToDate(1, 1, 2100).JD2000Centuries(), 36524.5 / 36525.0);
  EXPECT_EQ(zvTimeStamp(12345.75).ZeroUT().MJD(), 12345.0);
  EXPECT_EQ(zvTimeStamp(-0.25).ZeroUT().MJD(), -1.0);
}

// Every day from year 1 to 2200 against the reference calendar, walking both ways from MJD 0
// (1858-11-17, a Wednesday).
TEST(zvTimeStamp, CalendarMatchesDayByDayReference) {
  const RefDate epoch = {17, 11, 1858, 321, zvTimeStamp::WEDNESDAY};
  RefDate ref = epoch;
  double mjd = 0;
  while (ref.year < 2200) {
    ExpectDay(mjd, ref);
    RefNext(&ref);
    ++mjd;
  }
  ref = epoch;
  mjd = 0;
  while (ref.year >= 1) {
    ExpectDay(mjd, ref);
    RefPrev(&ref);
    --mjd;
  }
}

TEST(zvTimeStamp, GregorianSwitchOfOctober1582) {
  const zvTimeStamp oct4 = zvTimeStamp().SetToDate(4, 10, 1582);
  const zvTimeStamp oct15 = zvTimeStamp().SetToDate(15, 10, 1582);
  EXPECT_EQ((oct15 - oct4).MJD(), 1.0);
  // Historical weekdays: Thursday 4 October, Friday 15 October.
  EXPECT_EQ(oct4.DayOfWeek(), zvTimeStamp::THURSDAY);
  EXPECT_EQ(oct15.DayOfWeek(), zvTimeStamp::FRIDAY);
  EXPECT_STREQ(oct15.NameOfDay(), "Friday");
  EXPECT_EQ(std::string(oct4.DateStr()), "1582/10/04");
  EXPECT_EQ(std::string((oct4 + 1.0).DateStr()), "1582/10/15");
  // The Julian 29 February 1500 exists (no Gregorian century rule before the switch).
  EXPECT_EQ(std::string(zvTimeStamp().SetToDate(29, 2, 1500).DateStr()), "1500/02/29");
}

TEST(zvTimeStamp, TwoDigitYears) {
  EXPECT_EQ(zvTimeStamp().SetToDate(5, 3, 24).MJD(), zvTimeStamp().SetToDate(5, 3, 2024).MJD());
  EXPECT_EQ(zvTimeStamp().SetToDate(5, 3, 0).MJD(), zvTimeStamp().SetToDate(5, 3, 2000).MJD());
  EXPECT_EQ(zvTimeStamp().SetToDate(5, 3, 40).MJD(), zvTimeStamp().SetToDate(5, 3, 2040).MJD());
  EXPECT_EQ(zvTimeStamp().SetToDate(5, 3, 41).MJD(), zvTimeStamp().SetToDate(5, 3, 1941).MJD());
  EXPECT_EQ(zvTimeStamp().SetToDate(5, 3, 99).MJD(), zvTimeStamp().SetToDate(5, 3, 1999).MJD());
  EXPECT_EQ(std::string(zvTimeStamp().SetToDate(5, 3, 100).DateStr()), "0100/03/05");
}

TEST(zvTimeStamp, PrintingRoundsToTheMillisecond) {
  const zvTimeStamp whole(5, 3, 2024, 10, 11, 13, 0.0);
  const zvTimeStamp early = whole - 0.4 * kMs;
  const zvTimeStamp late = whole - 0.6 * kMs;
  char buffer[zvTimeStamp::kStrBufferSize];
  EXPECT_STREQ(early.UTCStr(buffer, 1), "2024-03-05 10:11:13.000");
  EXPECT_STREQ(early.UTCStr(buffer, 0), "2024-03-05 10:11:13");
  EXPECT_STREQ(late.UTCStr(buffer, 1), "2024-03-05 10:11:12.999");
  EXPECT_STREQ(late.UTCStr(buffer, 0), "2024-03-05 10:11:12");
  EXPECT_STREQ(early.TimeStr(buffer, 1), "10:11:13.000");
  EXPECT_STREQ(late.TimeStr(buffer, 0), "10:11:12");
  EXPECT_STREQ(late.DateStr(buffer), "2024/03/05");
  // The rounding carries through minutes, hours, days and years.
  const zvTimeStamp newyear = zvTimeStamp().SetToDate(1, 1, 2024) - 0.4 * kMs;
  EXPECT_STREQ(newyear.UTCStr(buffer, 1), "2024-01-01 00:00:00.000");
  EXPECT_STREQ(newyear.DateStr(buffer), "2023/12/31");
  // The zvString forms print the same.
  const zvTimeStamp unix0 = zvTimeStamp().FromUnix(0.0);
  EXPECT_EQ(unix0.MJD(), 40587.0);
  EXPECT_EQ(unix0.UTCStr(0), "1970-01-01 00:00:00");
  EXPECT_EQ(late.TimeStr(1), "10:11:12.999");
  EXPECT_EQ(late.DateStr(), "2024/03/05");
  // A time built from fields prints those fields although its MJD is not exact.
  EXPECT_STREQ(zvTimeStamp(5, 3, 2024, 10, 30, 0, 0.123).UTCStr(buffer, 1),
               "2024-03-05 10:30:00.123");
}

TEST(zvTimeStamp, GetUTCFieldsAndNullPointers) {
  const zvTimeStamp t(zvTimeStamp(28, 2, 2024, 23, 59, 58, 0.0).MJD() +
                      0.25 * zvTimeStamp::ONESECOND);
  int day, month, year, hour, minute, second;
  double fraction;
  t.GetUTC(&day, &month, &year, &hour, &minute, &second, &fraction);
  EXPECT_EQ(day, 28);
  EXPECT_EQ(month, 2);
  EXPECT_EQ(year, 2024);
  EXPECT_EQ(hour, 23);
  EXPECT_EQ(minute, 59);
  EXPECT_EQ(second, 58);
  EXPECT_NEAR(fraction, 0.25, 1e-5);
  int onlyhour = -1;
  t.GetUTC(nullptr, nullptr, nullptr, &onlyhour, nullptr, nullptr, nullptr);
  EXPECT_EQ(onlyhour, 23);
}

TEST(zvTimeStamp, DayOfWeekAndName) {
  EXPECT_EQ(zvTimeStamp(4.0).DayOfWeek(), zvTimeStamp::SUNDAY);
  EXPECT_STREQ(zvTimeStamp(4.0).NameOfDay(), "Sunday");
  EXPECT_STREQ(zvTimeStamp(4.99).NameOfDay(), "Sunday");
  EXPECT_STREQ(zvTimeStamp(10.0).NameOfDay(), "Saturday");
  EXPECT_STREQ(zvTimeStamp(-0.5).NameOfDay(), "Tuesday");
  // 1 January 2000 was a Saturday.
  EXPECT_EQ(zvTimeStamp().SetToDate(1, 1, 2000).DayOfWeek(), zvTimeStamp::SATURDAY);
}

// Reference values: the USNO / Astronomical Almanac example (2000-01-01 12:00 UT,
// GMST 18h41m50.548s) and Meeus, Astronomical Algorithms, examples 12.a and 12.b
// (1987-04-10 0h UT, 13h10m46.3668s; 19:21:00 UT, 8h34m57.0896s).
TEST(zvTimeStamp, GMSTAgainstPublishedValues) {
  const double tolerance = 1e-3 / 86400.0;
  EXPECT_NEAR(zvTimeStamp(1, 1, 2000, 12, 0, 0, 0.0).GMST(), HmsToDay(18, 41, 50.548), tolerance);
  EXPECT_NEAR(zvTimeStamp(10, 4, 1987, 0, 0, 0, 0.0).GMST(), HmsToDay(13, 10, 46.3668), tolerance);
  EXPECT_NEAR(zvTimeStamp(10, 4, 1987, 19, 21, 0, 0.0).GMST(), HmsToDay(8, 34, 57.0896), tolerance);
}

TEST(zvTimeStamp, GMSTCacheFollowsTheStamp) {
  const zvTimeStamp a(1, 1, 2000, 12, 0, 0, 0.0);
  const zvTimeStamp b(10, 4, 1987, 0, 0, 0, 0.0);
  const double ga = a.GMST();
  const double gb = b.GMST();
  EXPECT_NE(ga, gb);
  EXPECT_EQ(a.GMST(), ga);
  EXPECT_EQ(b.GMST(), gb);
  EXPECT_EQ(a.GMST(), ga);
}

TEST(zvTimeStamp, GMSTStaysInUnitInterval) {
  for (double mjd = -200000.0; mjd < 200000.0; mjd += 1234.567) {
    const double g = zvTimeStamp(mjd).GMST();
    ASSERT_GE(g, 0.0) << mjd;
    ASSERT_LT(g, 1.0) << mjd;
  }
}

TEST(zvTimeStamp, FromGMSTInvertsGMST) {
  const zvTimeStamp day = zvTimeStamp().SetToDate(10, 4, 1987);
  // Sidereal time runs about 236 s per day faster, so from 00:03:56 on each value is unique.
  for (double f = 0.003; f < 1.0; f += 0.0371) {
    const zvTimeStamp t = day + f;
    EXPECT_NEAR(t.fromGMST(t.GMST()).MJD(), t.MJD(), 1e-9) << f;
  }
  // Late in the day a sidereal time already seen just after midnight maps to that first instant.
  const zvTimeStamp late = day + 0.9995;
  const zvTimeStamp first = late.fromGMST(late.GMST());
  EXPECT_NEAR(first.MJD(), day.MJD() + 0.9995 - zvTimeStamp::ONESIDEREALDAY, 1e-8);
}

TEST(zvTimeStamp, ParsesCalendarText) {
  const zvTimeStamp expected(5, 3, 2024, 10, 11, 12, 0.5);
  EXPECT_NEAR(zvTimeStamp("2024-03-05 10:11:12.5").MJD(), expected.MJD(), 1e-10);
  EXPECT_NEAR(zvTimeStamp("2024/03/05T10:11:12.5").MJD(), expected.MJD(), 1e-10);
  EXPECT_NEAR(zvTimeStamp("24-03-05 10:11:12.5").MJD(), expected.MJD(), 1e-10);
  EXPECT_EQ(zvTimeStamp("2024-03-05").MJD(), zvTimeStamp().SetToDate(5, 3, 2024).MJD());
  // Only the first 79 characters count: here they are all separators.
  EXPECT_EQ(zvTimeStamp((std::string(79, ' ') + "2024-03-05").c_str()).MJD(),
            zvTimeStamp().SetToUTC(0, 0, 0, 0, 0, 0, 0.0).MJD());

  zvTimeStamp delta;
  delta.SetToDeltaTime("1 12:30:30.5");
  EXPECT_NEAR(delta.MJD(), 1.5 + 30.0 / 1440 + 30.5 / 86400, 1e-12);
  delta.SetToDeltaTime("0 0 0 90");
  EXPECT_NEAR(delta.MJD(), 90.0 / 86400, 1e-15);
  delta.SetToDeltaTime("");
  EXPECT_EQ(delta.MJD(), 0.0);
}

TEST(zvTimeStamp, ParsesVaxText) {
  zvTimeStamp t;
  EXPECT_TRUE(t.FromVaxDateAndTimeStr("05-MAR-2024 10:11:12.50"));
  EXPECT_NEAR(t.MJD(), zvTimeStamp(5, 3, 2024, 10, 11, 12, 0.5).MJD(), 1e-10);
  EXPECT_TRUE(t.FromVaxDateAndTimeStr("05-Mar-2024 10:11:12.50"));
  EXPECT_NEAR(t.MJD(), zvTimeStamp(5, 3, 2024, 10, 11, 12, 0.5).MJD(), 1e-10);
  EXPECT_TRUE(t.FromVaxDateAndTimeStr("31-dec-2199 23:59:59.99"));

  const char* const bad[] = {"05-XYZ-2024 10:11:12.50",
                             "32-MAR-2024 10:11:12.50",
                             "00-MAR-2024 10:11:12",
                             "05-MAR-1970 10:11:12",
                             "05-MAR-2200 10:11:12",
                             "05-MAR-2024 24:00:00",
                             "05-MAR-2024 10:60:00",
                             "05-MAR-2024 10:11:60",
                             "05-MAR-2024 10:11",
                             "05-MAR-2024",
                             "05-MAR-2024 10:11:12 X",
                             "05-MARCH-2024 10:11:12",
                             "5x-MAR-2024 10:11:12",
                             "05-MAR-2024 10:11:1e1",
                             "",
                             nullptr};
  for (const char* text : bad) {
    t = 123.0;
    EXPECT_FALSE(t.FromVaxDateAndTimeStr(text)) << (text ? text : "(null)");
    EXPECT_EQ(t.MJD(), 0.0) << (text ? text : "(null)");
  }
}

TEST(zvTimeStamp, OtherTimeScales) {
  zvTimeStamp t;
  EXPECT_EQ(t.FromEosTAI(0.0).MJD(), zvTimeStamp().SetToDate(1, 1, 1993).MJD());
  EXPECT_NEAR(t.FromEosTAI(12345.5).asEosTAI(), 12345.5, 1e-6);
  // OLE automation dates count from 1899-12-30.
  EXPECT_EQ(t.FromMicrosoftDATE(0.0).MJD(), zvTimeStamp().SetToDate(30, 12, 1899).MJD());
  // The same clock before and after: time() reads a coarser clock, which can lag behind.
  const auto unix_seconds = [] {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  const double before = unix_seconds();
  const double now = zvTimeStamp().FromSystem().asUnix();
  const double after = unix_seconds();
  EXPECT_GE(now, before - 1e-3);
  EXPECT_LE(now, after + 1e-3);
}

// Stamps without a calendar date and extreme inputs give defined answers.
TEST(zvTimeStamp, DegenerateValues) {
  const zvTimeStamp nan(std::numeric_limits<double>::quiet_NaN());
  int day = -1, month = -1, year = -1, hour = -1;
  nan.GetUTC(&day, &month, &year, &hour, nullptr, nullptr, nullptr);
  EXPECT_EQ(day + month + year + hour, 0);
  EXPECT_EQ(nan.UTCStr(1), "0000-00-00 00:00:00.000");
  EXPECT_EQ(nan.DayOfYear(), 0);
  EXPECT_STREQ(nan.NameOfDay(), "Sunday");
  EXPECT_EQ(zvTimeStamp(1e300).DayOfYear(), 0);
  EXPECT_GE(zvTimeStamp(-1e300).DayOfWeek(), 0);

  // Just below midnight the day fraction rounds to a whole day: that is the next midnight, not
  // hour 24 of the day before.
  const zvTimeStamp tiny(-1e-17);
  tiny.GetUTC(&day, &month, &year, &hour, nullptr, nullptr, nullptr);
  EXPECT_EQ(day, 17);
  EXPECT_EQ(month, 11);
  EXPECT_EQ(year, 1858);
  EXPECT_EQ(hour, 0);

  const zvTimeStamp huge(INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, 0.0);
  EXPECT_TRUE(std::isfinite(huge.MJD()));
  EXPECT_EQ(zvTimeStamp("99999999999999999999-1-1").MJD(),
            zvTimeStamp().SetToDate(1, 1, INT_MAX).MJD());
}
