// The driver's message formatter: one table of format, arguments and expected
// text, each row checked for its text, its returned count, and nothing written
// past the terminating NUL.
#include "diag/osvprint.h"
#include "tests/support/rig_test.h"

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

// Formats into a buffer followed by guard bytes; checks the count, the NUL and the guard.
std::string Format(const char *format, const std::vector<OSV_ARG> &args) {
  constexpr size_t kGuard = 32;
  char buffer[OSV_BUFFER_SIZE + kGuard];
  std::memset(buffer, 0x5A, sizeof(buffer));
  OSV_ARG_CURSOR cursor{args.data(), static_cast<ULONG>(args.size()), 0};
  const LONG n = OSvprint(buffer, format, &cursor);
  EXPECT_TRUE(n >= 0 && n <= OSV_MAX_CHARS) << n;
  EXPECT_EQ(buffer[n], '\0');
  for (size_t i = OSV_BUFFER_SIZE; i < sizeof(buffer); ++i)
    EXPECT_EQ(buffer[i], 0x5A) << "written past the buffer";
  return std::string(buffer, static_cast<size_t>(n));
}

enum SampleEnum { SampleSeven = 7 };
enum class SampleClassEnum : short { Minus = -3 };

class OsvprintTest : public RigTest {};

// Makes sure each row formats as expected within 511 characters. Catches any conversion, flag or cut fault.
TEST_F(OsvprintTest, FormatsEveryConversion) {
  static const CHAR kAnsi[] = "abcdef";
  static const WCHAR kWide[] = u"abcdef";
  ANSI_STRING ansi{3, 7, const_cast<PCHAR>(kAnsi)};
  ANSI_STRING overlong{10, 4, const_cast<PCHAR>(kAnsi)};
  UNICODE_STRING unicode{6, 14, const_cast<PWSTR>(kWide)};
  UNICODE_STRING unicode_narrow{4, 14, const_cast<PWSTR>(kWide)};
  UNICODE_STRING no_buffer{6, 14, nullptr};
  UNICODE_STRING overlong_wide{20, 6, const_cast<PWSTR>(kWide)};
  char text[] = "keep";
  const LONG constant = 77;
  const std::string long_text(600, 'x'), cut(511, 'x'), zeros(511, '0'), blanks(511, ' ');
  const std::u16string long_wide(600, u'w');
  const Row rows[] = {
      {"%08X|%X|%x %X", Args(0x1A2B, 0, 0xDEADBEEFu, 0xDEADBEEFu), "00001A2B|0|deadbeef DEADBEEF"},
      {"%d|%+d|% d|% d|%+ d", Args(-12, 12, 12, -12, 5), "-12|+12| 12|-12|+5"},
      {"%-5d|%05d|%-05d|%+u %+x", Args(7, -7, 7, 5, 10), "7    |-0007|7    |5 a"},
      {"%#x %#X %#x %#08x", Args(255, 0xAB, 0, 0x1F), "0xff 0XAB 0 0x00001f"},
      {"%#o %#o %#.0o %#.4o %o", Args(8, 0, 0, 8, 8), "010 0 0 0010 10"},
      {"%p|%#p|%010p", Args(0x1234, 0x1234, 0x1234), "00001234|0X00001234|  00001234"},
      {"%.3d|%05.3d|[%.0d]|%10.4X", Args(5, 5, 0, 0xAB), "005|  005|[]|      00AB"},
      {"%ld %hd %Ld %Nd %Fd %i", Args(-5, 70000, 1, 2, 3, -42), "-5 70000 1 2 3 -42"},
      {"%u %d %d", Args(-1, INT_MIN, 0x100000005LL), "4294967295 -2147483648 5"},
      {"%d %u %d", Args(SampleSeven, SampleClassEnum::Minus, true), "7 4294967293 1"},
      {"%I64d|%I64u|%I64X", Args(-5000000000LL, ULLONG_MAX, 0x123456789ABCDEF0ULL),
       "-5000000000|18446744073709551615|123456789ABCDEF0"},
      {"%I64d %I64d %I64u", Args(LLONG_MIN, -1, 0xFFFFFFFFu), "-9223372036854775808 -1 4294967295"},
      {"%I64d %d", Args(1LL << 40, 9), "1099511627776 9"},
      {"%Id %d|%5Id|%I6d|%I", Args(5), "Id 5|Id|I6d|I"},
      {"%*d|%*d|%*.0d|%-*d|", Args(-4, 1, 4, 1, -1, 0, 3, 1), "1   |   1| |1  |"},
      {"%.*d|%.*d|%.*s|%l5d", Args(3, 7, -2, 7, 2, "abcdef", 3), "007|7|ab|5d"},
      {"%c%c|%3c|%-3c|%C %wc", Args('A', 0x142, 'x', 'y', u'\u0141', 0x142), "AB|  x|y  |A B"},
      {"%s %s|%.2s|%.2s", Args(static_cast<const char *>(nullptr), nullptr, "abc", nullptr),
       "(null) (null)|ab|(n"},
      {"%5s|%-5s|%.0s|", Args("ab", "ab", "ab"), "   ab|ab   ||"},
      {"%ws|%S|%ws|%.3ws|%6S|", Args(u"wide", u"w\u0141", static_cast<PCWSTR>(nullptr), u"abcdef", u"ab"),
       "wide|wA|(null)|abc|    ab|"},
      {"%Z|%wZ|%.1Z|%8Z", Args(&ansi, &unicode, &ansi, &ansi), "abc|abc|abc|     abc"},
      {"%Z", Args(&unicode_narrow), std::string("a\0b\0", 4)},
      {"%wZ|%Z %wZ|%Z|%wZ",
       Args(&ansi, static_cast<PANSI_STRING>(nullptr), &no_buffer, &overlong, &overlong_wide),
       "a|(null) (null)|abcd|abc"}, // "ab" read as one 16-bit character: its low byte
      {"%s|%s|%ws|%s|%Z", Args(5, u"wide", "narrow", static_cast<void *>(text), "text"),
       "(null)|(null)|(null)|(null)|(null)"},
      {"%d %s %X %ws %Z|", {}, "0 (null) 0 (null) (null)|"},
      {"%c|", {}, std::string("\0|", 2)},
      {"%n|%n%d", Args(&constant, text), "|0"},
      {"%08X|%p",
       Args(reinterpret_cast<void *>(0x1234567890ABCDEFull), reinterpret_cast<int *>(0x7F0011223344ull)),
       "90ABCDEF|11223344"},
      {"100%%|%-%|%y|%-y|%5.2y", {}, "100%|%|y|y|y"},
      {"100%", {}, "100"},
      {"end %-", {}, "end "},
      {"end %5.", {}, "end "},
      {"end %I64", {}, "end "},
      {"%d%d|%dd", Args(1, 2, 1), "12|1d"},
      {"%e|%f|%g|%E|%G|%B|%d", Args(7), "||||||7"}, // no floating point: nothing taken
      {"\x7f\x01%\x80 ~{|}`@", {}, "\x7f\x01\x80 ~{|}`@"},
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
      {"%-.520d|", Args(5), zeros},
      {"%.509d|", Args(5), std::string(508, '0') + "5|"},
      {"%*d", Args(INT_MIN, 1), std::string("1").append(510, ' ')},
      {"%.*d", Args(INT_MAX, 1), zeros}};
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string("format: ") + row.format);
    EXPECT_EQ(Format(row.format, row.args), row.expected);
  }
  EXPECT_STREQ(text, "keep");
  EXPECT_EQ(constant, 77);

  LONG n1 = -1;
  ULONG n2 = 0;
  EXPECT_EQ(Format("abc%n def%n!", Args(&n1, &n2)), "abc def!");
  EXPECT_EQ(n1, 3);
  EXPECT_EQ(n2, 7u);
}

} // namespace
