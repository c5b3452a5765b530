// The driver's message formatter: a table-driven printf with a fixed repertoire
// (integer, character and string conversions with flags, width, precision and
// the size prefixes F I I64 L N h l w; no floating point), writing one message of
// at most 511 characters plus NUL into a caller's 512-byte buffer.
#pragma once

#include "diag/osv_args.h"
#include "platform/kernel/ntdef.h"

// Size of the buffer OSvprint writes into; the message is cut at one less.
#define OSV_BUFFER_SIZE 512
#define OSV_MAX_CHARS (OSV_BUFFER_SIZE - 1)

// Formats format with the arguments behind args into buffer (OSV_BUFFER_SIZE
// bytes), always NUL-terminated, and returns the number of characters stored
// (0..511, NUL not counted). Never fails, never reads or writes outside buffer,
// format (up to its NUL) and the arguments. Uses about 600 bytes of stack;
// allocates nothing, takes no lock: any context, any number of threads.
LONG OSvprint(PCHAR buffer, PCSTR format, POSV_ARG_CURSOR args);

namespace osv {

// Character classes, the low four bits of __lookuptable.
enum OSV_CHAR_CLASS : UCHAR {
  ClassOther = 0,
  ClassPercent = 1,
  ClassDot = 2,
  ClassStar = 3,
  ClassZero = 4,
  ClassDigit = 5,
  ClassFlag = 6,
  ClassSize = 7,
  ClassType = 8,
};

// Parser states, the high four bits of the first 72 bytes of __lookuptable.
enum OSV_STATE : UCHAR {
  StateText = 0,
  StatePercent = 1,
  StateFlag = 2,
  StateWidth = 3,
  StateDot = 4,
  StatePrecision = 5,
  StateSize = 6,
  StateType = 7,
};

// One byte for each character from ' ' to 'x': its class in the low four bits;
// for the first 72 bytes the high four bits, read as a 9 x 8 array indexed by
// class and current state, give the next state.
extern const UCHAR __lookuptable[89];

// "(null)", the text printed for a NULL string argument, in 8 and 16 bits.
extern const CHAR *const __nullstring;
extern const WCHAR *const __wnullstring;

// Stores ch at buffer + *count and increments *count, only while *count is below
// OSV_MAX_CHARS. Any context.
inline VOID write_char(PCHAR buffer, CHAR ch, PLONG count) {
  if (*count < OSV_MAX_CHARS) {
    buffer[*count] = ch;
    ++*count;
  }
}

// write_char of ch num times; nothing when num is 0 or negative. Any context.
VOID write_multi_char(PCHAR buffer, CHAR ch, LONG num, PLONG count);

// write_char of each of the len characters of text; nothing when len is 0 or
// negative. Reads no more of text than still fits. Any context.
VOID write_string(PCHAR buffer, PCSTR text, LONG len, PLONG count);

// Stores the low 8 bits of wch at dest and returns 1. Any context.
inline int wctomb(PCHAR dest, WCHAR wch) {
  *dest = static_cast<CHAR>(wch & 0xFF);
  return 1;
}

} // namespace osv
