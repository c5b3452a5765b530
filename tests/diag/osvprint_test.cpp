// Formatter tests: each group runs a table of format, arguments and expected
// text through OSvprint, checking the text, the returned count and that nothing
// is written past the terminating NUL.
#include "diag/osvprint.h"
#include "tests/support/platform_test.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

template <typename... A> std::vector<OSV_ARG> Args(A... args) {
  return {osv::capture_arg(args)...};
}

struct Row {
  const char *format;
  std::vector<OSV_ARG> args;
  std::string expected;
};

constexpr size_t kGuard = 32;

// Formats into a buffer followed by guard bytes; checks the NUL and the guard.
std::string Format(const char *format, const std::vector<OSV_ARG> &args, LONG *count = nullptr) {
  char buffer[OSV_BUFFER_SIZE + kGuard];
  std::memset(buffer, 0x5A, sizeof(buffer));
  OSV_ARG_CURSOR cursor{args.data(), static_cast<ULONG>(args.size()), 0};
  LONG n = OSvprint(buffer, format, &cursor);
  EXPECT_GE(n, 0);
  EXPECT_LE(n, OSV_MAX_CHARS);
  EXPECT_EQ(buffer[n], '\0') << format;
  for (size_t i = OSV_BUFFER_SIZE; i < sizeof(buffer); ++i)
    EXPECT_EQ(buffer[i], 0x5A) << "written past the buffer by " << format;
  if (count != nullptr)
    *count = n;
  return std::string(buffer, static_cast<size_t>(n));
}

void RunTable(const std::vector<Row> &rows) {
  for (const Row &row : rows) {
    LONG count = -1;
    EXPECT_EQ(Format(row.format, row.args, &count), row.expected) << "format: " << row.format;
    EXPECT_EQ(count, static_cast<LONG>(row.expected.size())) << "format: " << row.format;
  }
}

class OsvprintTest : public PlatformTest {};

enum SampleEnum { SampleSeven = 7 };
enum class SampleClassEnum : short { Minus = -3 };

} // namespace

// Integer conversions with flags, width and precision: catches a wrong digit
// order, a lost sign, padding on the wrong side and a prefix in the wrong place.
TEST_F(OsvprintTest, IntegerConversions) {
  RunTable({
      {"%08X", Args(0x1A2B), "00001A2B"},
      {"%02X", Args(5), "05"},
      {"%X", Args(0), "0"},
      {"%x %X", Args(0xDEADBEEFu, 0xDEADBEEFu), "deadbeef DEADBEEF"},
      {"%d", Args(-12), "-12"},
      {"%+d", Args(12), "+12"},
      {"% d", Args(12), " 12"},
      {"% d", Args(-12), "-12"},
      {"%+ d", Args(5), "+5"},
      {"%-5d|", Args(7), "7    |"},
      {"%05d", Args(-7), "-0007"},
      {"%-05d|", Args(7), "7    |"},
      {"%+u %+x", Args(5, 10), "5 a"},
      {"%#x", Args(255), "0xff"},
      {"%#X", Args(0xAB), "0XAB"},
      {"%#x", Args(0), "0"},
      {"%#08x", Args(0x1F), "0x00001f"},
      {"%#o", Args(8), "010"},
      {"%#o", Args(0), "0"},
      {"%#.0o", Args(0), "0"},
      {"%#.4o", Args(8), "0010"},
      {"%o", Args(8), "10"},
      {"%p", Args(0x1234), "00001234"},
      {"%#p", Args(0x1234), "0X00001234"},
      {"%010p", Args(0x1234), "  00001234"},
      {"%.3d", Args(5), "005"},
      {"%05.3d", Args(5), "  005"},
      {"%.0d", Args(0), ""},
      {"[%.0d]", Args(0), "[]"},
      {"%10.4X", Args(0xAB), "      00AB"},
      {"%ld %hd %Ld %Nd %Fd", Args(-5, 70000, 1, 2, 3), "-5 70000 1 2 3"},
      {"%i", Args(-42), "-42"},
      {"%u", Args(-1), "4294967295"},
      {"%d", Args(INT_MIN), "-2147483648"},
      {"%d", Args(0x100000005LL), "5"},
      {"%d %u", Args(SampleSeven, SampleClassEnum::Minus), "7 4294967293"},
      {"%d", Args(true), "1"},
  });
}

// 64-bit values, size prefixes and '*': catches a 64-bit argument taking two
// slots, I not followed by 64 being taken as a size, and a negative '*' width.
TEST_F(OsvprintTest, SizesAndArgumentWidths) {
  RunTable({
      {"%I64d", Args(-5000000000LL), "-5000000000"},
      {"%I64u", Args(ULLONG_MAX), "18446744073709551615"},
      {"%I64X", Args(0x123456789ABCDEF0ULL), "123456789ABCDEF0"},
      {"%I64d", Args(LLONG_MIN), "-9223372036854775808"},
      {"%I64d %I64u", Args(-1, 0xFFFFFFFFu), "-1 4294967295"},
      {"%I64d %d", Args(1LL << 40, 9), "1099511627776 9"},
      {"%Id", Args(5), "Id"},
      {"%Id %d", Args(5), "Id 5"},
      {"%5Id", Args(5), "Id"},
      {"%I6d", Args(5), "I6d"},
      {"%I", Args(5), "I"},
      {"%*d|", Args(-4, 1), "1   |"},
      {"%*d", Args(4, 1), "   1"},
      {"%*.0d|", Args(-1, 0), " |"},
      {"%.*d", Args(3, 7), "007"},
      {"%.*d", Args(-2, 7), "7"},
      {"%.*s", Args(2, "abcdef"), "ab"},
      {"%-*d|", Args(3, 1), "1  |"},
      {"%l5d", Args(3), "5d"},
  });
}

// Characters and strings, 8-bit, 16-bit and counted: catches a NULL pointer
// being followed, a precision ignored or applied to %Z, and wide text emitted
// as anything but its low bytes.
TEST_F(OsvprintTest, CharactersAndStrings) {
  static const CHAR kAnsi[] = "abcdef";
  static const WCHAR kWide[] = u"abcdef";
  ANSI_STRING ansi{3, 7, const_cast<PCHAR>(kAnsi)};
  UNICODE_STRING unicode{6, 14, const_cast<PWSTR>(kWide)};
  UNICODE_STRING unicode_narrow{4, 14, const_cast<PWSTR>(kWide)};
  UNICODE_STRING no_buffer{6, 14, nullptr};
  ANSI_STRING overlong{10, 4, const_cast<PCHAR>(kAnsi)};
  UNICODE_STRING overlong_wide{20, 6, const_cast<PWSTR>(kWide)};
  RunTable({
      {"%c%c", Args('A', 0x142), "AB"},
      {"%3c|%-3c|", Args('x', 'y'), "  x|y  |"},
      {"%C %wc", Args(u'\u0141', 0x142), "A B"},
      {"%s", Args(static_cast<const char *>(nullptr)), "(null)"},
      {"%s", Args(nullptr), "(null)"},
      {"%.2s", Args("abc"), "ab"},
      {"%.2s", Args(nullptr), "(n"},
      {"%5s", Args("ab"), "   ab"},
      {"%-5s|", Args("ab"), "ab   |"},
      {"%.0s|", Args("ab"), "|"},
      {"%ws", Args(u"wide"), "wide"},
      {"%S", Args(u"w\u0141"), "wA"},
      {"%ws", Args(static_cast<PCWSTR>(nullptr)), "(null)"},
      {"%.3ws", Args(u"abcdef"), "abc"},
      {"%6S|", Args(u"ab"), "    ab|"},
      {"%Z", Args(&ansi), "abc"},
      {"%wZ", Args(&unicode), "abc"},
      {"%Z", Args(&unicode_narrow), std::string("a\0b\0", 4)},
      {"%wZ", Args(&ansi), "a"}, // "ab" read as one 16-bit character: its low byte
      {"%.1Z|%8Z", Args(&ansi, &ansi), "abc|     abc"},
      {"%Z %wZ", Args(static_cast<PANSI_STRING>(nullptr), &no_buffer), "(null) (null)"},
      {"%Z", Args(&overlong), "abcd"},
      {"%wZ", Args(&overlong_wide), "abc"},
  });
}

// Arguments of the wrong kind or missing: catches a format that makes the
// formatter follow an integer as a pointer, write through a text pointer or
// read past the last argument.
TEST_F(OsvprintTest, MismatchedAndMissingArguments) {
  char text[] = "keep";
  const LONG constant = 77;
  int plain = 0;
  RunTable({
      {"%s", Args(5), "(null)"},
      {"%s", Args(u"wide"), "(null)"},
      {"%ws", Args("narrow"), "(null)"},
      {"%s", Args(static_cast<void *>(text)), "(null)"},
      {"%Z", Args("text"), "(null)"},
      {"%d %s %X %ws %Z|", {}, "0 (null) 0 (null) (null)|"},
      {"%c|", {}, std::string("\0|", 2)},
      {"%n%d", Args(text), "0"},
      {"%n", Args(&constant), ""},
      {"%08X", Args(reinterpret_cast<void *>(0x1234567890ABCDEFull)), "90ABCDEF"},
      {"%p", Args(reinterpret_cast<int *>(0x7F0011223344ull)), "11223344"},
      {"%d", Args(&plain), std::to_string(static_cast<int>(reinterpret_cast<uintptr_t>(&plain)))},
  });
  EXPECT_STREQ(text, "keep");
  EXPECT_EQ(constant, 77);
}

// Parsing of the format text: catches a broken state table (wrong class or next
// state), "%%" mishandled and an unfinished conversion emitting text.
TEST_F(OsvprintTest, FormatParsing) {
  RunTable({
      {"plain text\n", {}, "plain text\n"},
      {"100%%", {}, "100%"},
      {"100%", {}, "100"},
      {"end %-", {}, "end "},
      {"end %5.", {}, "end "},
      {"end %I64", {}, "end "},
      {"%y", {}, "y"},
      {"%-y|%5.2y", {}, "y|y"},
      {"%-%", {}, "%"},
      {"%d%d", Args(1, 2), "12"},
      {"%dd", Args(1), "1d"},
      {"%e|%f|%g|%E|%G|%B|", Args(1), "||||||"},
      {"%5f%d", Args(7), "7"},
      {"\x7f\x01%\x80 ~", {}, "\x7f\x01\x80 ~"},
      {"{|}~`@", {}, "{|}~`@"},
  });
}

// %n stores the count so far and emits nothing; a 32-bit unsigned target works too.
TEST_F(OsvprintTest, CountConversion) {
  LONG n1 = -1;
  ULONG n2 = 0;
  EXPECT_EQ(Format("abc%n def%n!", Args(&n1, &n2)), "abc def!");
  EXPECT_EQ(n1, 3);
  EXPECT_EQ(n2, 7u);
}

// Long output: catches the 511-character limit being overrun by text, padding,
// precision zeros or wide text, and a huge width or precision overflowing.
TEST_F(OsvprintTest, OutputIsCutAt511) {
  const std::string long_text(600, 'x');
  const std::string cut(511, 'x');
  const std::string zeros(511, '0');
  const std::string blanks(511, ' ');
  const std::u16string long_wide(600, u'w');
  RunTable({
      {long_text.c_str(), {}, cut},
      {"%s", Args(long_text.c_str()), cut},
      {"%ws", Args(long_wide.c_str()), std::string(511, 'w')},
      {"%600d", Args(1), blanks},
      {"%-600d", Args(1), std::string("1").append(510, ' ')},
      {"%0600d", Args(1), zeros},
      {"%.600d", Args(5), zeros},
      {"%.99999999999d|", Args(5), zeros},
      {"%99999999999d|", Args(5), blanks},
      {"%700.600d|", Args(5), std::string(100, ' ') + std::string(411, '0')},
      {"%-.520d|", Args(5), std::string(511, '0')},
      {"%.509d|", Args(5), std::string(508, '0') + "5|"},
      {"%*d", Args(INT_MIN, 1), std::string("1").append(510, ' ')},
      {"%.*d", Args(INT_MAX, 1), zeros},
  });
}
