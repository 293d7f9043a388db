#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>

#include "capture_log.h"
#include "system/strings/zvstring.h"

namespace {

std::string Repeat(char c, size_t n) { return std::string(n, c); }

TEST(ZvStringGrowth, InlineUntilTextAndTerminatorOutgrowHundred) {
  zvString s(Repeat('a', 99).c_str());
  EXPECT_EQ(s.GetAllocation(), 100u);
  s += 'b';
  EXPECT_EQ(s.GetAllocation(), 200u);
  EXPECT_EQ(s.GetLength(), 100u);
  EXPECT_EQ(std::string(s), Repeat('a', 99) + "b");
}

TEST(ZvStringGrowth, LargerOfNeedAndOldCapacityPlusHundred) {
  zvString s;
  s = Repeat('x', 350).c_str();
  EXPECT_EQ(s.GetAllocation(), 351u);
  s = Repeat('y', 360).c_str();
  EXPECT_EQ(s.GetAllocation(), 451u);
  EXPECT_EQ(std::string(s), Repeat('y', 360));
  // Shorter texts reuse the block.
  s = "short";
  EXPECT_EQ(s.GetAllocation(), 451u);
  s.Empty(false);
  EXPECT_EQ(s.GetAllocation(), 451u);
  s.Empty(true);
  EXPECT_EQ(s.GetAllocation(), 100u);
  EXPECT_TRUE(s.IsEmpty());
  s += "again";
  EXPECT_EQ(std::string(s), "again");
}

TEST(ZvStringGrowth, CheckAllocationKeepsOrDropsTheText) {
  zvString kept("text");
  kept.CheckAllocation(150, true);
  EXPECT_EQ(kept.GetAllocation(), 200u);
  EXPECT_EQ(std::string(kept), "text");
  kept.CheckAllocation(120, false);  // fits: nothing changes
  EXPECT_EQ(std::string(kept), "text");

  zvString dropped("text");
  dropped.CheckAllocation(300, false);
  EXPECT_EQ(dropped.GetAllocation(), 300u);
  EXPECT_TRUE(dropped.IsEmpty());

  zvString reserved("text");
  reserved.ReserveAndErase(50);
  EXPECT_EQ(reserved.GetAllocation(), 100u);
  EXPECT_TRUE(reserved.IsEmpty());
}

TEST(ZvStringGrowth, AppendingOrAssigningItselfAcrossGrowth) {
  zvString s(Repeat('a', 80).c_str());
  s += s;
  EXPECT_EQ(std::string(s), Repeat('a', 160));
  s += static_cast<const char*>(s);
  EXPECT_EQ(std::string(s), Repeat('a', 320));
  s = static_cast<const char*>(s) + 300;
  EXPECT_EQ(std::string(s), Repeat('a', 20));
  const zvString& same = s;
  s = same;
  EXPECT_EQ(std::string(s), Repeat('a', 20));
}

TEST(ZvStringGrowth, CopiesAreDeep) {
  zvString original(Repeat('o', 150).c_str());
  zvString copy(original);
  copy.SetAt(0, 'c');
  EXPECT_EQ(original.GetAt(0), 'o');
  zvString assigned;
  assigned = original;
  assigned.MakeUpper();
  EXPECT_EQ(std::string(original), Repeat('o', 150));
  EXPECT_EQ(std::string(assigned), Repeat('O', 150));
}

TEST(ZvStringGrowth, NullPointersGiveEmptyStrings) {
  zvString s(static_cast<const char*>(nullptr));
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_STREQ(s, "");
  s = "abc";
  s = static_cast<const char*>(nullptr);
  EXPECT_TRUE(s.IsEmpty());
  s.CopyString("abcdef", 4);  // n counts the terminator
  EXPECT_STREQ(s, "abc");
  s.CopyString("ab", 50);  // n beyond the text copies up to its terminator
  EXPECT_STREQ(s, "ab");
}

TEST(ZvStringFormat, KeepsAtMost1022CharactersAndReportsTheCut) {
  const std::string long_text = Repeat('L', 2000);
  zvString s;
  testing::internal::CaptureStderr();
  s.sprintf("%s", long_text.c_str());
  const std::string report = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::string(s), Repeat('L', 1022));
  EXPECT_EQ(report,
            "zvString:sprintf, exception executing vsprintf, error code = 2000. format "
            "paramater =[%s]\n");
}

TEST(ZvStringFormat, TextOf1022CharactersStaysWholeWithoutReport) {
  zvString s;
  testing::internal::CaptureStderr();
  s.sprintf("%s%d", Repeat('k', 1021).c_str(), 7);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(std::string(s), Repeat('k', 1021) + "7");
}

TEST(ZvStringFormat, TextOf1023CharactersIsCutAndReported) {
  zvString s;
  testing::internal::CaptureStderr();
  s.sprintf("%s", Repeat('m', 1023).c_str());
  EXPECT_NE(testing::internal::GetCapturedStderr().find("error code = 1023."), std::string::npos);
  EXPECT_EQ(s.GetLength(), 1022u);
}

int FormatThroughVsprintf(zvString& s, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = s.vsprintf(format, args);
  va_end(args);
  return length;
}

TEST(ZvStringFormat, VsprintfCutsSilently) {
  zvString s;
  EXPECT_EQ(FormatThroughVsprintf(s, "%d-%s", 12, "ab"), 5);
  EXPECT_STREQ(s, "12-ab");
  testing::internal::CaptureStderr();
  EXPECT_EQ(FormatThroughVsprintf(s, "%s", Repeat('v', 3000).c_str()), 1022);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(ZvStringFormat, AsFormattedNumber) {
  zvString s("old");
  EXPECT_STREQ(s.AsFormattedNumber(-2147483647 - 1), "-2147483648");
}

TEST(ZvStringFormat, WideFormatterKeepsAtMost1022Characters) {
  zvStringw w;
  w.sprintf(L"%d:%ls", 42, L"wide");
  EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(w)), L"42:wide");
  testing::internal::CaptureStderr();
  w.sprintf(L"%ls", std::wstring(1500, L'w').c_str());
  // The wide formatter reports a text that does not fit as a failure, -1.
  EXPECT_NE(testing::internal::GetCapturedStderr().find("error code = -1."), std::string::npos);
  EXPECT_EQ(w.GetLength(), 1022u);
}

TEST(ZvStringCompare, ByteOrderWithNullAsEmpty) {
  const zvString abc("abc");
  const zvString abd("abd");
  EXPECT_TRUE(abc < abd);
  EXPECT_TRUE(abd > abc);
  EXPECT_TRUE(abc <= "abc");
  EXPECT_TRUE("abc" >= abc);
  EXPECT_TRUE(abc == "abc");
  EXPECT_TRUE("abc" == abc);
  EXPECT_TRUE(abc != abd);
  EXPECT_TRUE(zvString("ab") < abc);
  // Bytes compare unsigned, so 0x80 orders after 'z'.
  EXPECT_TRUE(zvString("\x80") > "z");
  const char* null_text = nullptr;
  EXPECT_TRUE(zvString() == null_text);
  EXPECT_TRUE(null_text < abc);
  EXPECT_FALSE(abc == null_text);
}

TEST(ZvStringConcat, AllOperandOrders) {
  const zvString a("ab");
  EXPECT_STREQ(a + zvString("cd"), "abcd");
  EXPECT_STREQ(a + 'c', "abc");
  EXPECT_STREQ('z' + a, "zab");
  EXPECT_STREQ(a + "xy", "abxy");
  EXPECT_STREQ("xy" + a, "xyab");
  zvString long_sum = zvString(Repeat('p', 150).c_str()) + Repeat('q', 150).c_str();
  EXPECT_EQ(long_sum.GetLength(), 300u);
  EXPECT_EQ(std::string(long_sum), Repeat('p', 150) + Repeat('q', 150));
}

TEST(ZvStringSearch, FindAndFindAnyOf) {
  const zvString s("azby");
  EXPECT_EQ(s.Find('b'), 2);
  EXPECT_EQ(s.Find('q'), -1);
  EXPECT_EQ(s.Find("by"), 2);
  EXPECT_EQ(s.Find("yy"), -1);
  EXPECT_EQ(s.FindAnyOf("xyz"), 1);
  EXPECT_EQ(zvString("abc").FindAnyOf("xyz"), -1);
  EXPECT_EQ(s.FindAnyOf(""), -1);
  EXPECT_EQ(s.FindAnyOf(nullptr), -1);
}

TEST(ZvStringSubstring, MidLeftRight) {
  const zvString hello("hello");
  EXPECT_STREQ(hello.Mid(2, 10), "llo");
  EXPECT_STREQ(hello.Mid(1, 3), "ell");
  EXPECT_STREQ(hello.Mid(5, 1), "");
  EXPECT_STREQ(hello.Mid(1, 0), "");
  EXPECT_STREQ(hello.Left(2), "he");
  EXPECT_STREQ(hello.Left(0), "");
  EXPECT_STREQ(zvString("abc").Right(10), "abc");
  EXPECT_STREQ(hello.Right(3), "llo");
  EXPECT_STREQ(zvString().Right(3), "");
}

TEST(ZvStringTrim, RemoveWhiteSpaceTreatsHighBytesAsWhite) {
  zvString s("  ab \t");
  EXPECT_EQ(s.RemoveWhiteSpace(), 2u);
  EXPECT_STREQ(s, "ab");
  zvString high(
      "\xa0\xff"
      "a b\x80");
  EXPECT_EQ(high.RemoveWhiteSpace(), 3u);
  EXPECT_STREQ(high, "a b");
  zvString blank(" \t\n ");
  EXPECT_EQ(blank.RemoveWhiteSpace(), 0u);
  EXPECT_TRUE(blank.IsEmpty());
}

TEST(ZvStringTrim, TruncateAtAndTrimToComments) {
  zvString s("key = value  # note");
  EXPECT_EQ(s.TrimToComments("#;"), 11u);
  EXPECT_STREQ(s, "key = value");
  EXPECT_EQ(s.TruncateAt("="), 4u);
  EXPECT_STREQ(s, "key ");
  EXPECT_EQ(s.TruncateAt("!"), 4u);
  zvString empty;
  EXPECT_EQ(empty.TruncateAt("#"), 0u);
}

TEST(ZvStringEdit, ReplaceCaseReverseAndFields) {
  zvString s("a.b.c");
  EXPECT_EQ(s.Replace('.', '/'), 2);
  EXPECT_STREQ(s, "a/b/c");
  EXPECT_EQ(s.Replace('/', '\0'), 2);
  EXPECT_EQ(s.GetLength(), 1u);
  zvString mixed("MiXeD 1");
  mixed.MakeLower();
  EXPECT_STREQ(mixed, "mixed 1");
  mixed.MakeUpper();
  EXPECT_STREQ(mixed, "MIXED 1");
  mixed.MakeReverse();
  EXPECT_STREQ(mixed, "1 DEXIM");
  EXPECT_EQ(zvString("  one\ttwo \r\n three ").CountNonWhiteFieldsOnLine(), 3);
  EXPECT_EQ(zvString(" \t").CountNonWhiteFieldsOnLine(), 0);
}

TEST(ZvStringEdit, DirectorySeparators) {
  zvString dir("a\\b/c");
  EXPECT_TRUE(dir.MakeDirectorySeparatorsOSConsistent('/'));
  EXPECT_STREQ(dir, "a/b/c");
  dir.EnsureLastCharIsDirectoryChar();
  EXPECT_STREQ(dir, "a/b/c/");
  dir.EnsureLastCharIsDirectoryChar();
  EXPECT_STREQ(dir, "a/b/c/");
  dir.EnsureLastCharIsNotDirectoryChar();
  EXPECT_STREQ(dir, "a/b/c");
  EXPECT_EQ(dir.GetLength(), 5u);
  zvString empty;
  empty.EnsureLastCharIsDirectoryChar();
  EXPECT_TRUE(empty.IsEmpty());
}

TEST(ZvStringWide, ConversionIsCharacterByCharacter) {
  const zvStringw wide = zvString("A\xe9").ConvertToWide();
  ASSERT_EQ(wide.GetLength(), 2u);
  EXPECT_EQ(wide.GetAt(0), L'A');
  EXPECT_EQ(wide.GetAt(1), static_cast<wchar_t>(-23));  // 0xe9 read as signed
  EXPECT_STREQ(wide.ConvertToChar(), "A\xe9");

  const wchar_t high[] = {0x141, 0x162, 0};
  zvString narrow;
  narrow = high;
  EXPECT_STREQ(narrow, "Ab");

  zvStringw w;
  w = "abc";
  w += L'd';
  EXPECT_TRUE(w == L"abcd");
  EXPECT_EQ(w.Find(L"cd"), 2);
}

TEST(ZvStringInput, InputTextLineReadsOneLineAtATime) {
  std::istringstream in("first line\nsecond\n");
  zvString s;
  ASSERT_TRUE(s.InputTextLine(in));
  EXPECT_STREQ(s, "first line");
  ASSERT_TRUE(s.InputTextLine(in));
  EXPECT_STREQ(s, "second");
  EXPECT_FALSE(s.InputTextLine(in));
}

TEST(ZvStringExternalWrite, RemeasuresAWriteInsideTheReservation) {
  zvString s;
  s.ReserveAndErase(301);
  std::memset(s.DangerousTypecast(), 'w', 300);
  s.DangerousTypecast()[300] = 0;
  s.UpdateLengthAfterExternalWrite();
  EXPECT_EQ(s.GetLength(), 300u);
}

TEST(ZvStringExternalWriteDeathTest, AbortsWhenTheWriteFillsTheAllocation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        zvString s;
        // No terminator inside the 100 characters of the buffer.
        std::memset(s.DangerousTypecast(), 'o', s.GetAllocation());
        dup2(STDERR_FILENO, STDOUT_FILENO);  // the report goes to stdout
        s.UpdateLengthAfterExternalWrite();
      },
      "zvString::UpdateLengthAfterExternalWrite, The external write exceeded the allocated "
      "buffer\n\\*\\*\\*ABORTING PROGRAM \\*\\*\\*");
}

TEST(ZvStringArrayStrtok, RunsOfSeparatorsCountAsOne) {
  zvStringArray tokens;
  EXPECT_EQ(tokens.Strtok("a\n\nb\n", "\n"), 2);
  EXPECT_STREQ(tokens.GetAt(0), "a");
  EXPECT_STREQ(tokens.GetAt(1), "b");

  EXPECT_EQ(tokens.Strtok(" one, two\tthree\n,four ", nullptr), 4);
  EXPECT_STREQ(tokens.GetAt(3), "four");

  EXPECT_EQ(tokens.Strtok(",,, \n", nullptr), 0);
  EXPECT_EQ(tokens.GetSize(), 0);
  EXPECT_EQ(tokens.Strtok(nullptr, "\n"), 0);
}

TEST(ZvStringArrayAccess, AddGetAndOutOfRange) {
  CaptureLog log;
  zvStringArray array;
  array.Reserve(3);
  EXPECT_EQ(array.Add("first"), 1);
  EXPECT_EQ(array.Add(nullptr), 2);
  EXPECT_STREQ(array.GetAt(0), "first");
  EXPECT_STREQ(array.GetAt(1), "");
  EXPECT_TRUE(log.lines().empty());

  const zvString& outside = array.GetAt(2);
  EXPECT_TRUE(outside.IsEmpty());
  EXPECT_TRUE(array.GetAt(-1).IsEmpty());
  const std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "WARNING\t:zvStringArray::GetAt, Index (2) is out of bounds (0 to 1)");
  EXPECT_EQ(lines[1], "WARNING\t:zvStringArray::GetAt, Index (-1) is out of bounds (0 to 1)");

  array.RemoveAll();
  EXPECT_EQ(array.GetSize(), 0);
}

}  // namespace
