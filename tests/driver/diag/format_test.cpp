// Tests of the text format engine.
#include "diag/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr uint64_t ErrorBit = 0x8000000000000000ull;

// Formats into a large byte buffer; checks the terminator and that counting
// agrees with storing.
template <class... T>
std::string Text(const char* Format, T... Args) {
  char Buffer[512];
  std::memset(Buffer, 0x5A, sizeof Buffer);
  const uint64_t Stored = FormatArgs(Buffer, sizeof Buffer, 0, Format, Args...);
  EXPECT_LT(Stored, sizeof Buffer);
  EXPECT_EQ(Buffer[Stored], '\0');
  EXPECT_EQ(FormatArgs(nullptr, 0, FORMAT_COUNT_ONLY, Format, Args...), Stored) << Format;
  return std::string(Buffer, Stored);
}

// The same with 16-bit output.
template <class... T>
std::u16string Wide(const void* Format, uint32_t Control, T... Args) {
  char16_t Buffer[512];
  std::fill(std::begin(Buffer), std::end(Buffer), u'\xA5A5');
  const uint64_t Stored = FormatArgs(Buffer, 512, Control | FORMAT_WIDE_OUTPUT, Format, Args...);
  EXPECT_LT(Stored, 512u);
  EXPECT_EQ(Buffer[Stored], u'\0');
  return std::u16string(Buffer, Stored);
}

const uint8_t SampleGuid[16] = {0x7C, 0xD5, 0x6E, 0x3C, 0x6A, 0x4F, 0x58, 0x8A,
                                0x85, 0xDF, 0xDC, 0xA5, 0xAD, 0xF0, 0xF1, 0x6B};
// Year 2024 (0x07E8), month 3, day 9, hour 7, minute 5, then unread bytes.
const uint8_t SampleTime[16] = {0xE8, 0x07, 3, 9, 7, 5, 59, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};

TEST(FormatConversion, StringsAndCharacters) {
  EXPECT_EQ(Text("[%a]", "abc"), "[abc]");
  EXPECT_EQ(Text("[%s|%S]", u"wide", u"Text"), "[wide|Text]");
  EXPECT_EQ(Text("%a%a", "", "x"), "x");  // an empty string is empty, not a blank
  EXPECT_EQ(Text("%c%c%c", 'o', 'k', 0), "ok");
  EXPECT_EQ(Text("%c", 0x12341), std::string("A"));  // low 16 bits: 0x2341, low byte 'A'
  // Empty texts print nothing, unless a width asks for spaces.
  EXPECT_EQ(Text("[%s|%c|%3a|%-2c]", u"", 0, "", 0), "[||   |  ]");
  // Byte output keeps the low byte of a 16-bit character.
  EXPECT_EQ(Text("%s", u"\u0141x"), "\x41x");
  EXPECT_EQ(Wide("%s%c", 0, u"\u0141x", 0x263A), u"\u0141x\u263A");
  // Characters outside the table print themselves; "%%" prints one.
  EXPECT_EQ(Text("%%%q%Z%5%"), "%qZ    %");
}

TEST(FormatConversion, IntegersTakeTheirWidthFromTheSlot) {
  EXPECT_EQ(Text("%d %u %x", 4294967295u, 4294967295u, 4294967295u), "-1 4294967295 FFFFFFFF");
  EXPECT_EQ(Text("%lx %Lx", 8589934591ull, 8589934591ull), "1FFFFFFFF 1FFFFFFFF");
  // A 32-bit conversion ignores the high half of its slot.
  EXPECT_EQ(Text("%d %u %x", 0xABCD00000007ull, 0xABCD00000007ull, 0xABCD000000FFull), "7 7 FF");
  EXPECT_EQ(Text("%ld", INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(Text("%lu", UINT64_MAX), "18446744073709551615");
  EXPECT_EQ(Text("%d", INT32_MIN), "-2147483648");
  EXPECT_EQ(Text("%x %X %x", 255, 255, 0), "FF FF 0");
  // %p is a 64-bit %X: zero padding with a width, no sign or blank.
  EXPECT_EQ(Text("%p|%+ 12p|%-6p|", 0x12345678ABull, 0xABull, 0xABull), "12345678AB|0000000000AB|AB    |");
}

TEST(FormatConversion, MissingArgumentsReadAsZero) {
  EXPECT_EQ(Text("%d %x %a %g %t %r %c."), "0 0 <null string> <null guid> <null time> Success .");
  const uint64_t One[] = {42};
  char Buffer[64];
  EXPECT_EQ(FormatList(Buffer, sizeof Buffer, "%d %d", FormatArgList{One, 1}), 4u);
  EXPECT_STREQ(Buffer, "42 0");
  // A list without slots but with a count is read as empty.
  EXPECT_EQ(FormatList(Buffer, sizeof Buffer, "%d %a", FormatArgList{nullptr, 5}), 15u);
  EXPECT_STREQ(Buffer, "0 <null string>");
}

TEST(FormatConversion, NullPlaceholders) {
  EXPECT_EQ(Text("%a|%s|%S|%g|%t", nullptr, nullptr, nullptr, nullptr, nullptr),
            "<null string>|<null string>|<null string>|<null guid>|<null time>");
  EXPECT_EQ(Wide("%s", 0, nullptr), u"<null string>");
  // Placeholders obey precision and width like any text.
  EXPECT_EQ(Text("[%.5a][%13g]", nullptr, nullptr), "[<null][  <null guid>]");
}

TEST(FormatConversion, GuidAndTime) {
  EXPECT_EQ(Text("%g", SampleGuid), "3C6ED57C-4F6A-8A58-85DF-DCA5ADF0F16B");
  const uint8_t Small[16] = {1, 0, 0, 0, 2, 0, 3, 0, 4, 5, 6, 7, 8, 9, 10, 11};
  EXPECT_EQ(Text("%g", Small), "00000001-0002-0003-0405-060708090A0B");
  // An unaligned GUID is read bytewise.
  uint8_t Shifted[17];
  std::memcpy(Shifted + 1, SampleGuid, 16);
  EXPECT_EQ(Text("%g", Shifted + 1), "3C6ED57C-4F6A-8A58-85DF-DCA5ADF0F16B");
  EXPECT_EQ(Text("%t", SampleTime), "03/09/2024  07:05");
  const uint8_t Wild[6] = {0xFF, 0xFF, 255, 255, 255, 255};
  EXPECT_EQ(Text("%t", Wild), "255/255/65535  255:255");
  // The nested text is padded and cut like any other text.
  EXPECT_EQ(Text("[%-10.8g][%20t]", SampleGuid, SampleTime), "[3C6ED57C  ][   03/09/2024  07:05]");
  EXPECT_EQ(Wide("%g", 0, SampleGuid), u"3C6ED57C-4F6A-8A58-85DF-DCA5ADF0F16B");
}

TEST(FormatStatus, EveryTextExactly) {
  static const char* const Warnings[6] = {"Success",
                                          "Warning Unknown Glyph",
                                          "Warning Delete Failure",
                                          "Warning Write Failure",
                                          "Warning Buffer Too Small",
                                          "Warning Stale Data"};
  static const char* const Errors[34] = {
      nullptr,          "Load Error",     "Invalid Parameter",    "Unsupported",        "Bad Buffer Size",
      "Buffer Too Small", "Not Ready",    "Device Error",         "Write Protected",    "Out of Resources",
      "Volume Corrupt", "Volume Full",    "No Media",             "Media changed",      "Not Found",
      "Access Denied",  "No Response",    "No mapping",           "Time out",           "Not started",
      "Already started", "Aborted",       "ICMP Error",           "TFTP Error",         "Protocol Error",
      "Incompatible Version", "Security Violation", "CRC Error",  "End of Media",       "Reserved (29)",
      "Reserved (30)",  "End of File",    "Invalid Language",     "Compromised Data"};
  for (uint64_t Value = 0; Value < 6; ++Value) {
    EXPECT_STREQ(StatusWarningText[Value], Warnings[Value]);
    EXPECT_EQ(Text("%r", Value), Warnings[Value]);
  }
  EXPECT_EQ(StatusErrorText[0], nullptr);
  for (uint64_t Value = 1; Value < 34; ++Value) {
    EXPECT_STREQ(StatusErrorText[Value], Errors[Value]);
    EXPECT_EQ(Text("%r", ErrorBit | Value), Errors[Value]);
  }
}

TEST(FormatStatus, ValuesWithoutTextPrintLow32BitsInHex) {
  EXPECT_EQ(Text("%r", ErrorBit | 34), "00000022");
  EXPECT_EQ(Text("%r", ErrorBit), "00000000");  // error number 0 has no text
  EXPECT_EQ(Text("%r", 6), "00000006");
  EXPECT_EQ(Text("%r", 0x100000005ull), "00000005");  // top bit clear, but above 5
  EXPECT_EQ(Text("%r", ErrorBit | 0x10000000Eull), "0000000E");
  EXPECT_EQ(Text("%r", 0xFFFFFFFFFFFFFFFFull), "FFFFFFFF");
  EXPECT_EQ(Text("%r", 0x8000000000ABCDEFull), "00ABCDEF");
  // The texts are padded and cut like any text.
  EXPECT_EQ(Text("[%12r][%-12r][%.3r]", 0, ErrorBit | 14, ErrorBit | 34), "[     Success][Not Found   ][000]");
}

TEST(FormatPadding, NumbersWidthZeroAndPrecision) {
  EXPECT_EQ(Text("[%4x][%4X][%-4X][%04x]", 255, 255, 255, 255), "[  FF][00FF][FF  ][00FF]");
  EXPECT_EQ(Text("[%05d][%5d][%-5d][%-05d]", -42, -42, 42, -42), "[-0042][  -42][42   ][-42  ]");
  EXPECT_EQ(Text("[%.0d][%.0d][%5.0d][%.0x][%.0u]", 0, 5, 0, 0, 0), "[][5][     ][][]");
  EXPECT_EQ(Text("[%.3d][%.3d][%6.3d][%-6.3d]", 5, -5, 5, -5), "[005][-005][   005][-005  ]");
  // A precision switches the zero flag off; "0" after "." is only a digit.
  EXPECT_EQ(Text("[%08.3d][%8.03d][%.d]", 5, 5, 0), "[     005][     005][0]");
  EXPECT_EQ(Text("[%X][%2X][%.2X]", 0xABCD, 0xABCD, 0xABCD), "[ABCD][ABCD][ABCD]");
  // Width and precision from the arguments; several digit runs, the last wins.
  EXPECT_EQ(Text("[%*d][%-*d][%.*d][%*.*x]", 4, 7, 3, 7, 3, 7, 6, 4, 0xAB), "[   7][7  ][007][  00AB]");
  EXPECT_EQ(Text("[%3*d]", 6, 1), "[     1]");
  EXPECT_EQ(Text("[%0*d]", 5, 42), "[00042]");
}

TEST(FormatPadding, SignAndBlankPrefixes) {
  EXPECT_EQ(Text("[%+d][% d][%+ d][% +d][%+d]", 5, 5, 5, 5, -5), "[+5][ 5][+5][+5][-5]");
  EXPECT_EQ(Text("[%+u][% u][%+ u]", 5, 5, 5), "[5][ 5][ 5]");  // u keeps only the blank
  EXPECT_EQ(Text("[%+x][% x][%+5X][% 5X]", 255, 255, 255, 255), "[+FF][ FF][+00FF][ 00FF]");
  EXPECT_EQ(Text("[%+05d][% 05d][%+.3d][%+6d][%-+6d]", 5, 5, 5, 5, 5), "[+0005][ 0005][+005][    +5][+5    ]");
  EXPECT_EQ(Text("[%+.0d][% .0d]", 0, 0), "[+][ ]");
}

TEST(FormatPadding, CommaGrouping) {
  EXPECT_EQ(Text("%,d %,x %,X", 1234567, 1234567, 1234567), "1,234,567 12D687 12D687");
  EXPECT_EQ(Text("[%,d][%,d][%,d][%,d][%,d]", 0, 12, 123, 1234, 123456), "[0][12][123][1,234][123,456]");
  EXPECT_EQ(Text("[%,d][%,ld][%,lu]", -1234, INT64_MIN, UINT64_MAX),
            "[-1,234][-9,223,372,036,854,775,808][18,446,744,073,709,551,615]");
  // Grouping switches zero padding off and drops the precision.
  EXPECT_EQ(Text("[%,010d][%,.8d][%,.0d][%-,8d][%+,d]", 1234, 1234, 0, 1234, 1234),
            "[     1,234][1,234][0][1,234   ][+1,234]");
}

TEST(FormatPadding, TextsCutAndPaddedByPrecision) {
  EXPECT_EQ(Text("[%.3a][%.10a][%.a][%.0a]", "abcdef", "abc", "abc", "abc"), "[abc][       abc][a][]");
  EXPECT_EQ(Text("[%6a][%-6a][%2a][%-8.2a][%8.2s]", "abc", "abc", "abc", "abc", u"xyz"),
            "[   abc][abc   ][abc][ab      ][      xy]");
  EXPECT_EQ(Text("[%3c][%-3c][%.3c][%3c]", 'x', 'x', 'x', 0), "[  x][x  ][  x][   ]");
  // A precision stops reading: an unterminated text is read no further.
  const char Unterminated[3] = {'a', 'b', 'c'};
  EXPECT_EQ(Text("%.3a", Unterminated), "abc");
  const char16_t Unterminated16[2] = {u'x', u'y'};
  EXPECT_EQ(Text("%.2s", Unterminated16), "xy");
}

TEST(FormatPadding, FormatEndingInsideAConversion) {
  EXPECT_EQ(Text("ab%"), "ab");
  EXPECT_EQ(Text("ab%4"), "ab    ");
  EXPECT_EQ(Text("ab%-3.9"), "ab   ");
  EXPECT_EQ(Text("ab%*", 2), "ab  ");
  EXPECT_EQ(Text("ab%l"), "ab");
}

TEST(FormatLineFeeds, BecomeCarriageReturnLineFeed) {
  EXPECT_EQ(Text("a\nb"), "a\r\nb");
  EXPECT_EQ(Text("a\n\rb"), "a\r\nb");
  EXPECT_EQ(Text("a\r\nb"), "a\r\nb");
  EXPECT_EQ(Text("a\rb"), "a\rb");
  EXPECT_EQ(Text("a\n\nb"), "a\r\n\r\nb");
  EXPECT_EQ(Text("a\n\r\r\nb"), "a\r\n\r\nb");
  EXPECT_EQ(Text("a\r\r\n"), "a\r\r\n");
  EXPECT_EQ(Text("\n\n\r"), "\r\n\r\n");
  // A line feed in an argument is copied as it is.
  EXPECT_EQ(Text("%a", "x\ny"), "x\ny");
  // "%" before a line feed or carriage return applies the same rule.
  EXPECT_EQ(Text("a%\n\rb%\rc%\r\nd"), "a\r\nb\rc\r\nd");
}

TEST(FormatBounds, SizesZeroAndOne) {
  char Buffer[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(FormatArgs(Buffer, 0, 0, "hello"), 0u);
  EXPECT_EQ(Buffer[0], 'x');
  EXPECT_EQ(FormatArgs(Buffer, 1, 0, "hello %d", 5), 0u);
  EXPECT_EQ(Buffer[0], '\0');
  EXPECT_EQ(Buffer[1], 'x');
  char16_t WideBuffer[2] = {u'x', u'x'};
  EXPECT_EQ(FormatArgs(WideBuffer, 1, FORMAT_WIDE_OUTPUT, "hello"), 0u);
  EXPECT_EQ(WideBuffer[0], u'\0');
  EXPECT_EQ(WideBuffer[1], u'x');
  // No buffer, no output; an empty or missing format stores only the terminator.
  EXPECT_EQ(FormatArgs(nullptr, 16, 0, "hello"), 0u);
  EXPECT_EQ(FormatArgs(Buffer, 4, 0, ""), 0u);
  EXPECT_EQ(Buffer[0], '\0');
  Buffer[0] = 'x';
  EXPECT_EQ(FormatCore(Buffer, 4, 0, nullptr, FormatArgList{nullptr, 0}), 0u);
  EXPECT_EQ(Buffer[0], '\0');
  EXPECT_EQ(FormatCore(nullptr, 0, FORMAT_COUNT_ONLY, nullptr, FormatArgList{nullptr, 0}), 0u);
}

// Every size from 0 to past the full length, narrow and wide: the result is a
// terminated prefix of the full text and nothing past the size is touched.
// Long texts are sampled: every size up to 40, then about 40 more, and the
// sizes around the full length.
void CheckEveryCut(const char* Format, const std::vector<uint64_t>& Slots) {
  const FormatArgList Args{Slots.data(), Slots.size()};
  const uint64_t Full = FormatCore(nullptr, 0, FORMAT_COUNT_ONLY, Format, Args);
  std::vector<uint8_t> Reference(Full + 1);
  ASSERT_EQ(FormatCore(Reference.data(), Full + 1, 0, Format, Args), Full);
  const uint64_t Stride = 1 + Full / 40;
  for (uint64_t Unit : {1, 2}) {
    for (uint64_t Size = 0; Size <= Full + 2; Size += (Size < 40 || Size + 3 > Full) ? 1 : Stride) {
      // Expected bytes: the cut text, one zero unit, then untouched guard bytes.
      const uint64_t Kept = Size == 0 ? 0 : std::min(Full, Size - 1);
      std::vector<uint8_t> Expected((Size + 8) * Unit, 0xC3);
      for (uint64_t Index = 0; Size != 0 && Index <= Kept; ++Index) {
        Expected[Index * Unit] = Index < Kept ? Reference[Index] : 0;
        Expected[Index * Unit + Unit - 1] = Unit == 2 ? 0 : Expected[Index];
      }
      std::vector<uint8_t> Buffer(Expected.size(), 0xC3);
      ASSERT_EQ(FormatCore(Buffer.data(), Size, Unit == 2 ? FORMAT_WIDE_OUTPUT : 0, Format, Args), Kept)
          << Format << " size " << Size;
      ASSERT_EQ(Buffer, Expected) << Format << " size " << Size << " unit " << Unit;
    }
  }
}

TEST(FormatBounds, CutAtEverySizeAroundEachConversion) {
  const uint64_t Guid = reinterpret_cast<uintptr_t>(SampleGuid);
  const uint64_t Time = reinterpret_cast<uintptr_t>(SampleTime);
  const uint64_t Narrow = reinterpret_cast<uintptr_t>("text");
  const uint64_t Wide16 = reinterpret_cast<uintptr_t>(u"wide");
  CheckEveryCut("ab%5dcd", {42});
  CheckEveryCut("%-8d|%08X|%+,d", {static_cast<uint64_t>(-12345), 0xBEEF, 9876543});
  CheckEveryCut("<%10a><%-6s><%.2a>", {Narrow, Wide16, Narrow});
  CheckEveryCut("%g %t", {Guid, Time});
  CheckEveryCut("%r/%r/%r", {0, ErrorBit | 9, ErrorBit | 77});
  CheckEveryCut("x\ny\n\rz\r", {});
  CheckEveryCut("%c%c%5%%", {'a', 0});
  CheckEveryCut("%p %lx%6", {0xFEDCBA9876543210ull, 1});
}

TEST(FormatBounds, CountOnlyCountsEverythingAndStoresNothing) {
  char Buffer[8];
  std::memset(Buffer, 'q', sizeof Buffer);
  EXPECT_EQ(FormatArgs(Buffer, 4, FORMAT_COUNT_ONLY, "%d-%a\n", 123456, "xyz"), 12u);
  EXPECT_EQ(FormatArgs(Buffer, 0, FORMAT_COUNT_ONLY | FORMAT_WIDE_OUTPUT, "%g", SampleGuid), 36u);
  for (char Byte : Buffer) {
    EXPECT_EQ(Byte, 'q');
  }
  // Huge padding is counted, not looped over, and the count saturates.
  EXPECT_EQ(FormatArgs(nullptr, 0, FORMAT_COUNT_ONLY, "%*d", 1000000000000ull, 5), 1000000000000ull);
  EXPECT_EQ(FormatArgs(nullptr, 0, FORMAT_COUNT_ONLY, "%*d%*d", UINT64_MAX, 5, UINT64_MAX, 5), UINT64_MAX);
  EXPECT_EQ(FormatArgs(nullptr, 0, FORMAT_COUNT_ONLY, "%.*d", UINT64_MAX, 5), UINT64_MAX);
  // With a buffer the same padding stops at the end of the buffer.
  EXPECT_EQ(FormatArgs(Buffer, sizeof Buffer, 0, "%*d", UINT64_MAX, 5), 7u);
  EXPECT_STREQ(Buffer, "       ");
  EXPECT_EQ(FormatArgs(Buffer, sizeof Buffer, 0, "%99999999999999999999999d", 5), 7u);
}

TEST(FormatBounds, HugeBufferSizeDoesNotWrap) {
  char Buffer[16];
  EXPECT_EQ(FormatArgs(Buffer, UINT64_MAX, 0, "%d!", 12), 3u);
  EXPECT_STREQ(Buffer, "12!");
  char16_t WideBuffer[8];
  EXPECT_EQ(FormatArgs(WideBuffer, UINT64_MAX, FORMAT_WIDE_OUTPUT, "ok"), 2u);
  EXPECT_EQ(std::u16string(WideBuffer), u"ok");
}

TEST(FormatWide, WideFormatAndWideOutput) {
  EXPECT_EQ(Wide(u"%d|%a|%s\n", FORMAT_WIDE_FORMAT, -7, "ab", u"\u263Ac"), u"-7|ab|\u263Ac\r\n");
  EXPECT_EQ(Wide("%5x|%-3c|", 0, 0xAB, u'\u00E9'), u"   AB|\u00E9  |");
  // A 16-bit format character is masked to 16 bits and copied whole; byte
  // output keeps its low byte.
  EXPECT_EQ(Wide(u"\u263A%\u263A", FORMAT_WIDE_FORMAT), u"\u263A\u263A");
  char Narrow[8];
  EXPECT_EQ(FormatArgs(Narrow, sizeof Narrow, FORMAT_WIDE_FORMAT, u"\u2141\n"), 3u);
  EXPECT_EQ(std::string(Narrow), "A\r\n");
  // An unaligned 16-bit format and string are read bytewise.
  uint8_t Odd[16] = {};
  const char16_t Source[] = u"%d!";
  std::memcpy(Odd + 1, Source, sizeof Source);
  EXPECT_EQ(Wide(Odd + 1, FORMAT_WIDE_FORMAT, 31), u"31!");
  EXPECT_EQ(Text("%s", Odd + 1), "%d!");
  // Control bits other than the three are ignored.
  EXPECT_EQ(Wide("%d", 0xFFFFDEBFu & ~FORMAT_COUNT_ONLY, 4), u"4");
}

TEST(FormatFillTest, StoresUnitsUpToTheEnd) {
  uint8_t Bytes[8];
  std::memset(Bytes, 0xEE, sizeof Bytes);
  EXPECT_EQ(FormatFill(Bytes, Bytes + 5, 3, 0x4142, 1), Bytes + 3);
  EXPECT_EQ(std::memcmp(Bytes, "BBB\xEE", 4), 0);
  EXPECT_EQ(FormatFill(Bytes, Bytes + 5, 100, 'z', 1), Bytes + 5);
  EXPECT_EQ(Bytes[5], 0xEE);
  EXPECT_EQ(FormatFill(Bytes, Bytes + 5, 0, 'y', 1), Bytes);
  EXPECT_EQ(FormatFill(Bytes, Bytes + 5, -4, 'y', 1), Bytes);
  EXPECT_EQ(Bytes[0], 'z');
  // Two-byte units: low byte first; an odd tail is never half written.
  std::memset(Bytes, 0xEE, sizeof Bytes);
  EXPECT_EQ(FormatFill(Bytes, Bytes + 5, 9, 0x4142, 2), Bytes + 4);
  EXPECT_EQ(std::memcmp(Bytes, "BABA\xEE", 5), 0);
  EXPECT_EQ(FormatFill(Bytes + 6, Bytes + 4, 3, 'w', 2), Bytes + 6);  // already past the end
  EXPECT_EQ(FormatFill(nullptr, Bytes + 4, 3, 'w', 1), nullptr);
  EXPECT_EQ(Bytes[6], 0xEE);
}

enum class Small8 : int8_t { Minus = -2 };
enum Plain : uint16_t { PlainBig = 0xFFFF };

TEST(FormatSlotTest, PacksEachArgumentIntoOneSlot) {
  static_assert(FormatSlot(int8_t(-1)) == UINT64_MAX);
  static_assert(FormatSlot(int32_t(-2)) == 0xFFFFFFFFFFFFFFFEull);
  static_assert(FormatSlot(uint32_t(0xFFFFFFFF)) == 0xFFFFFFFFull);
  static_assert(FormatSlot(uint16_t(0xFFFF)) == 0xFFFFull);
  static_assert(FormatSlot(true) == 1 && FormatSlot(false) == 0);
  static_assert(FormatSlot('\xE9') == 0xE9);  // a character code, not a small number
  static_assert(FormatSlot(u'\u263A') == 0x263A);
  static_assert(FormatSlot(Small8::Minus) == 0xFFFFFFFFFFFFFFFEull);
  static_assert(FormatSlot(PlainBig) == 0xFFFF);
  static_assert(FormatSlot(nullptr) == 0);
  int Object = 0;
  EXPECT_EQ(FormatSlot(&Object), reinterpret_cast<uintptr_t>(&Object));
  EXPECT_EQ(Text("%d %d %c %x", int16_t(-3), Small8::Minus, '\xE9', PlainBig), "-3 -2 \xE9 FFFF");
  EXPECT_EQ(Wide("%c", 0, '\xE9'), u"\u00E9");
}

// The number conversions share a subset with the C library's: d with the
// flags - + space 0, u with - 0, and x with - 0 (as C's upper-case X).
TEST(FormatProperty, NumbersAgreeWithTheCLibraryOnTheSharedSubset) {
  std::mt19937_64 Random(0x5EED0001);
  for (int Case = 0; Case < 4000; ++Case) {
    const int Kind = static_cast<int>(Random() % 3);
    const char* Flags = Kind == 0 ? "-+ 0" : "-0";
    std::string Lead = "%";
    for (int Index = 0; Index < 2; ++Index) {
      if (Random() % 2) {
        Lead += Flags[Random() % std::strlen(Flags)];
      }
    }
    if (Random() % 2) {
      Lead += std::to_string(1 + Random() % 25);
    }
    if (Random() % 3 == 0) {
      Lead += "." + std::to_string(Random() % 22);
    }
    const bool Long = Random() % 2;
    uint64_t Value = Random();
    Value >>= Random() % 64;
    if (Random() % 8 == 0) {
      Value = 0;
    }
    if (Random() % 2) {
      Value = 0 - Value;
    }
    std::string Ours = Lead + (Long ? "l" : "") + "dux"[Kind];
    std::string Theirs = Lead + (Long ? "ll" : "") + "duX"[Kind];
    char Expected[128];
    if (Long) {
      std::snprintf(Expected, sizeof Expected, Theirs.c_str(), static_cast<unsigned long long>(Value));
    } else {
      std::snprintf(Expected, sizeof Expected, Theirs.c_str(), static_cast<uint32_t>(Value));
    }
    ASSERT_EQ(Text(Ours.c_str(), Value), Expected) << Ours << " of " << Value;
  }
}

// Generated formats and matching arguments: counting, cutting, narrow and
// wide output and wide formats all agree.
TEST(FormatProperty, GeneratedFormatsAgreeAcrossModesAndSizes) {
  std::mt19937_64 Random(0x5EED0002);
  static const char* const Strings[] = {"", "a", "hello", "with\nline feed", "0123456789abcdefghij"};
  static const char16_t* const Strings16[] = {u"", u"w", u"wide text", u"tab\there"};
  static const uint64_t Statuses[] = {0, 3, 5, 6, ErrorBit | 1, ErrorBit | 33, ErrorBit | 34, ErrorBit};
  const std::string Literals = "abcXYZ019 ,.-+*\n\r";  // "%" comes as a conversion
  const std::string FlagSet = "-+ ,lL.*0123456789";
  const std::string Conversions = "asScduxXpgtr%q\n\r";
  for (int Case = 0; Case < 3000; ++Case) {
    std::string Format;
    std::vector<uint64_t> Slots;
    const int Pieces = static_cast<int>(Random() % 8);
    for (int Piece = 0; Piece < Pieces; ++Piece) {
      if (Random() % 3 == 0) {
        Format += Literals[Random() % Literals.size()];
        continue;
      }
      Format += '%';
      for (int Flag = static_cast<int>(Random() % 4); Flag > 0; --Flag) {
        const char Character = FlagSet[Random() % FlagSet.size()];
        Format += Character;
        if (Character == '*') {
          Slots.push_back(Random() % 30);
        }
      }
      const char Conversion = Conversions[Random() % Conversions.size()];
      Format += Conversion;
      const bool Null = Random() % 8 == 0;
      switch (Conversion) {
        case 'a':
          Slots.push_back(Null ? 0 : reinterpret_cast<uintptr_t>(Strings[Random() % 5]));
          break;
        case 's':
        case 'S':
          Slots.push_back(Null ? 0 : reinterpret_cast<uintptr_t>(Strings16[Random() % 4]));
          break;
        case 'g':
          Slots.push_back(Null ? 0 : reinterpret_cast<uintptr_t>(SampleGuid));
          break;
        case 't':
          Slots.push_back(Null ? 0 : reinterpret_cast<uintptr_t>(SampleTime));
          break;
        case 'r':
          Slots.push_back(Statuses[Random() % 8]);
          break;
        case 'c':
          Slots.push_back(Random() % 128);
          break;
        case 'd':
        case 'u':
        case 'x':
        case 'X':
        case 'p':
          Slots.push_back(Random() >> (Random() % 64));
          break;
        default:
          break;
      }
    }
    if (Random() % 10 == 0) {
      Format += Random() % 2 ? "%" : "%7";
    }
    if (!Slots.empty() && Random() % 10 == 0) {
      Slots.resize(Random() % Slots.size());  // missing arguments read as zero
    }
    const FormatArgList Args{Slots.data(), Slots.size()};
    SCOPED_TRACE(Format);

    // Large buffer: count equals the stored length, the text is terminated.
    const uint64_t Length = FormatCore(nullptr, 0, FORMAT_COUNT_ONLY, Format.c_str(), Args);
    std::vector<uint8_t> Full(Length + 64, 0xC3);
    ASSERT_EQ(FormatCore(Full.data(), Full.size(), 0, Format.c_str(), Args), Length);
    ASSERT_EQ(Full[Length], 0);

    // Wide output and wide format give the same characters.
    std::u16string Format16(Format.begin(), Format.end());
    for (uint32_t Control : {FORMAT_WIDE_OUTPUT, FORMAT_WIDE_OUTPUT | FORMAT_WIDE_FORMAT, FORMAT_WIDE_FORMAT}) {
      const void* Source = (Control & FORMAT_WIDE_FORMAT) ? static_cast<const void*>(Format16.c_str())
                                                          : static_cast<const void*>(Format.c_str());
      const uint64_t Unit = (Control & FORMAT_WIDE_OUTPUT) ? 2 : 1;
      std::vector<uint8_t> Other(Full.size() * Unit, 0xC3);
      ASSERT_EQ(FormatCore(Other.data(), Full.size(), Control, Source, Args), Length);
      ASSERT_EQ(FormatCore(nullptr, 0, Control | FORMAT_COUNT_ONLY, Source, Args), Length);
      for (uint64_t Index = 0; Index <= Length; ++Index) {
        ASSERT_EQ(Other[Index * Unit], Full[Index]) << Index;
        if (Unit == 2) {
          ASSERT_EQ(Other[Index * Unit + 1], 0) << Index;
        }
      }
    }

    // Every size: a terminated prefix, nothing written past the size.
    CheckEveryCut(Format.c_str(), Slots);
  }
}

}  // namespace
