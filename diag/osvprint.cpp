// The message formatter: a state machine over the format text, driven by
// __lookuptable, with one conversion record per call.
#include "diag/osvprint.h"

#include <cstdint>
#include <cstring>

namespace osv {

// Classes (low nibble) and next states (high nibble) for ' ' .. 'x'. Row k of
// the first nine lines is the next state of class k from states 0..7.
const UCHAR __lookuptable[89] = {
    0x06, 0x00, 0x00, 0x06, 0x00, 0x01, 0x00, 0x00, // sp ! " # $ % & '  (other)
    0x10, 0x00, 0x03, 0x06, 0x00, 0x06, 0x02, 0x10, // ( ) * + , - . /  (percent)
    0x04, 0x45, 0x45, 0x45, 0x05, 0x05, 0x05, 0x05, // 0 1 2 3 4 5 6 7  (dot)
    0x05, 0x35, 0x30, 0x00, 0x50, 0x00, 0x00, 0x00, // 8 9 : ; < = > ?  (star)
    0x00, 0x20, 0x28, 0x38, 0x50, 0x58, 0x07, 0x08, // @ A B C D E F G  (zero)
    0x00, 0x37, 0x30, 0x30, 0x57, 0x50, 0x07, 0x00, // H I J K L M N O  (digit)
    0x00, 0x20, 0x20, 0x08, 0x00, 0x00, 0x00, 0x00, // P Q R S T U V W  (flag)
    0x08, 0x60, 0x68, 0x60, 0x60, 0x60, 0x60, 0x00, // X Y Z [ \ ] ^ _  (size)
    0x00, 0x70, 0x70, 0x78, 0x78, 0x78, 0x78, 0x08, // ` a b c d e f g  (type)
    0x07, 0x08, 0x00, 0x00, 0x07, 0x00, 0x08, 0x08, // h i j k l m n o
    0x08, 0x00, 0x00, 0x08, 0x00, 0x08, 0x00, 0x07, // p q r s t u v w
    0x08,                                           // x
};

const CHAR *const __nullstring = "(null)";
const WCHAR *const __wnullstring = u"(null)";

// write_char num times, as far as the buffer allows. Any context.
VOID write_multi_char(PCHAR buffer, CHAR ch, LONG num, PLONG count) {
  LONG room = OSV_MAX_CHARS - *count;
  if (num > room)
    num = room;
  if (num <= 0)
    return;
  std::memset(buffer + *count, ch, static_cast<size_t>(num));
  *count += num;
}

// write_char of each character of text, as far as the buffer allows. Any context.
VOID write_string(PCHAR buffer, PCSTR text, LONG len, PLONG count) {
  LONG room = OSV_MAX_CHARS - *count;
  if (len > room)
    len = room;
  if (len <= 0)
    return;
  std::memcpy(buffer + *count, text, static_cast<size_t>(len));
  *count += len;
}

} // namespace osv

using namespace osv;

namespace {

// Conversion flags.
enum : ULONG {
  FL_SIGN = 0x001,       // '+': a '+' before non-negative d and i
  FL_SIGNSP = 0x002,     // ' ': a blank before non-negative d and i
  FL_LEFT = 0x004,       // '-': pad on the right
  FL_LEADZERO = 0x008,   // '0': pad with zeros after the prefix
  FL_I64 = 0x010,        // I64: the argument is a whole 64-bit slot
  FL_WIDECHAR = 0x020,   // w, C, S: 16-bit characters
  FL_SIGNED = 0x040,     // d, i
  FL_NEGATIVE = 0x080,   // the signed value was negative
  FL_FORCEOCTAL = 0x100, // '#' with o: a leading '0'
  FL_ALTERNATE = 0x200,  // '#'
};

// One call of the formatter: the output, the arguments and the conversion being
// parsed. The digit buffer is filled from its end and also holds the single
// character of c and C.
struct OSV_FORMATTER {
  PCHAR Buffer;
  LONG Count;
  POSV_ARG_CURSOR Args;
  ULONG Flags;
  LONG Width;     // 0 when absent
  LONG Precision; // -1 when absent
  CHAR Prefix[2];
  LONG PrefixLength;
  LONG LeadingZeros; // zeros an integer's precision asks for, ahead of pText
  const void *pText; // 8-bit characters, or 16-bit ones when bWideText
  LONG TextLength;   // in characters, LeadingZeros not counted
  BOOLEAN bWideText;
  BOOLEAN bSuppress;
  CHAR Digits[OSV_BUFFER_SIZE];
};

// The class of a format character: its table entry's low nibble, 0 outside ' '..'x'.
inline UCHAR char_class(CHAR ch) {
  UCHAR u = static_cast<UCHAR>(ch);
  return (u >= ' ' && u <= 'x') ? (__lookuptable[u - ' '] & 0x0F) : ClassOther;
}

// value * 10 + digit, saturated to the LONG range (a width or precision written
// with more digits than a LONG holds stays at the limit).
LONG accumulate_digit(LONG value, CHAR digit) {
  LONGLONG next = static_cast<LONGLONG>(value) * 10 + (digit - '0');
  if (next > INT32_MAX)
    return INT32_MAX;
  if (next < INT32_MIN)
    return INT32_MIN;
  return static_cast<LONG>(next);
}

// '%': a new conversion with no flags, no width and no precision.
void start_conversion(OSV_FORMATTER *f) {
  f->Flags = 0;
  f->Width = 0;
  f->Precision = -1;
  f->PrefixLength = 0;
  f->LeadingZeros = 0;
  f->bWideText = FALSE;
  f->bSuppress = FALSE;
}

// A flag character.
void set_flag(OSV_FORMATTER *f, CHAR ch) {
  switch (ch) {
  case ' ':
    f->Flags |= FL_SIGNSP;
    break;
  case '#':
    f->Flags |= FL_ALTERNATE;
    break;
  case '+':
    f->Flags |= FL_SIGN;
    break;
  case '-':
    f->Flags |= FL_LEFT;
    break;
  case '0':
    f->Flags |= FL_LEADZERO;
    break;
  default:
    break;
  }
}

// A width character: '*' takes it from the arguments, a negative one meaning
// left-justified; a digit extends it.
void set_width(OSV_FORMATTER *f, CHAR ch) {
  if (ch != '*') {
    f->Width = accumulate_digit(f->Width, ch);
    return;
  }
  f->Width = get_int_arg(f->Args);
  if (f->Width < 0) {
    f->Flags |= FL_LEFT;
    f->Width = (f->Width == INT32_MIN) ? INT32_MAX : -f->Width;
  }
}

// A precision character: '*' takes it from the arguments (negative = absent); a
// digit extends it.
void set_precision(OSV_FORMATTER *f, CHAR ch) {
  if (ch != '*') {
    f->Precision = accumulate_digit(f->Precision, ch);
    return;
  }
  f->Precision = get_int_arg(f->Args);
  if (f->Precision < 0)
    f->Precision = -1;
}

// A size character at *pos. "I64" is consumed whole; an I not followed by "64"
// abandons the conversion: the I is copied and the parser returns to text.
// Returns the position of the last character consumed.
PCSTR take_size(OSV_FORMATTER *f, PCSTR pos, UCHAR *state) {
  switch (*pos) {
  case 'I':
    if (pos[1] == '6' && pos[2] == '4') {
      f->Flags |= FL_I64;
      return pos + 2;
    }
    *state = StateText;
    f->bWideText = FALSE;
    write_char(f->Buffer, 'I', &f->Count);
    return pos;
  case 'w':
    f->Flags |= FL_WIDECHAR;
    return pos;
  default: // F, L, N, h, l: accepted, no effect
    return pos;
  }
}

// The longest text worth measuring: enough to know its padding and to fill the
// rest of the buffer, at most the precision when one is given.
LONG text_scan_limit(const OSV_FORMATTER *f) {
  LONG limit = (f->Width > OSV_MAX_CHARS) ? f->Width : OSV_MAX_CHARS;
  if (f->Precision >= 0 && f->Precision < limit)
    limit = f->Precision;
  return limit;
}

// c and C: one character, the low 8 bits of the argument.
void convert_char(OSV_FORMATTER *f) {
  CHAR *digit = &f->Digits[0];
  if (f->Flags & FL_WIDECHAR)
    wctomb(digit, static_cast<WCHAR>(get_short_arg(f->Args)));
  else
    *digit = static_cast<CHAR>(get_int_arg(f->Args));
  f->pText = digit;
  f->TextLength = 1;
}

// s and S: text up to its NUL, at most precision characters; "(null)" for NULL.
void convert_string(OSV_FORMATTER *f) {
  LONG limit = text_scan_limit(f);
  LONG len = 0;
  if (f->Flags & FL_WIDECHAR) {
    const void *text = get_ptr_arg(f->Args, OsvArgWideText);
    const auto *wide = static_cast<const UCHAR *>(text != nullptr ? text : __wnullstring);
    WCHAR wch;
    for (; len < limit; ++len) {
      std::memcpy(&wch, wide + 2 * static_cast<size_t>(len), sizeof(wch));
      if (wch == 0)
        break;
    }
    f->pText = wide;
    f->bWideText = TRUE;
  } else {
    const auto *text = static_cast<PCSTR>(get_ptr_arg(f->Args, OsvArgText));
    if (text == nullptr)
      text = __nullstring;
    while (len < limit && text[len] != '\0')
      ++len;
    f->pText = text;
  }
  f->TextLength = len;
}

// Z: a counted string (UNICODE_STRING or ANSI_STRING): Length bytes of Buffer,
// or with w, Length / 2 16-bit characters; "(null)" for NULL. Length is taken no
// further than MaximumLength, the size of Buffer.
void convert_counted(OSV_FORMATTER *f) {
  const OSV_ARG *arg = next_arg(f->Args);
  const void *buffer = nullptr;
  USHORT length = 0;
  if (arg != nullptr && arg->Value != 0 && arg->Type == OsvArgUnicodeString) {
    const auto *s = reinterpret_cast<const UNICODE_STRING *>(static_cast<uintptr_t>(arg->Value));
    buffer = s->Buffer;
    length = (s->Length <= s->MaximumLength) ? s->Length : s->MaximumLength;
  } else if (arg != nullptr && arg->Value != 0 && arg->Type == OsvArgAnsiString) {
    const auto *s = reinterpret_cast<const ANSI_STRING *>(static_cast<uintptr_t>(arg->Value));
    buffer = s->Buffer;
    length = (s->Length <= s->MaximumLength) ? s->Length : s->MaximumLength;
  }
  if (buffer == nullptr) {
    f->pText = __nullstring;
    f->TextLength = static_cast<LONG>(std::strlen(__nullstring));
  } else if (f->Flags & FL_WIDECHAR) {
    f->pText = buffer;
    f->TextLength = length / 2;
    f->bWideText = TRUE;
  } else {
    f->pText = buffer;
    f->TextLength = length;
  }
}

// Puts the digits of value before end, last digit first, and returns where
// they start (no digit for 0). The radix is a constant, so the division by it
// costs a multiplication or a shift.
template <ULONG RADIX> CHAR *put_digits(ULONGLONG value, CHAR *end, int hexadd) {
  CHAR *text = end;
  while (value != 0) {
    int digit = static_cast<int>(value % RADIX) + '0';
    value /= RADIX;
    if (digit > '9')
      digit += hexadd;
    *--text = static_cast<CHAR>(digit);
  }
  return text;
}

// d i u o x X p: the integer argument in the radix, at least precision digits.
// hexadd turns a digit past '9' into 'A'.. (7) or 'a'.. (39). The digits of the
// value (at most 22) go to the digit buffer; the zeros a larger precision asks
// for are only counted, so any precision is honoured and nothing overruns.
void convert_integer(OSV_FORMATTER *f, ULONG radix, int hexadd) {
  ULONGLONG value;
  if (f->Flags & FL_I64)
    value = static_cast<ULONGLONG>(get_int64_arg(f->Args));
  else if (f->Flags & FL_SIGNED)
    value = static_cast<ULONGLONG>(static_cast<LONGLONG>(get_int_arg(f->Args)));
  else
    value = static_cast<ULONG>(get_int_arg(f->Args));
  if ((f->Flags & FL_SIGNED) && static_cast<LONGLONG>(value) < 0) {
    value = 0 - value;
    f->Flags |= FL_NEGATIVE;
  }
  if (!(f->Flags & FL_I64))
    value &= 0xFFFFFFFFu;

  LONG precision = 1;
  if (f->Precision >= 0) {
    f->Flags &= ~FL_LEADZERO;
    precision = f->Precision;
  }
  if (value == 0)
    f->PrefixLength = 0;

  CHAR *end = f->Digits + sizeof(f->Digits);
  CHAR *text;
  switch (radix) {
  case 8:
    text = put_digits<8>(value, end, hexadd);
    break;
  case 16:
    text = put_digits<16>(value, end, hexadd);
    break;
  default:
    text = put_digits<10>(value, end, hexadd);
    break;
  }
  LONG digits = static_cast<LONG>(end - text);
  f->LeadingZeros = (precision > digits) ? precision - digits : 0;
  // The value's own first digit is never '0': only a text that does not start
  // with a precision zero needs the octal '0' (an empty one included).
  if ((f->Flags & FL_FORCEOCTAL) && f->LeadingZeros == 0)
    *--text = '0';
  f->pText = text;
  f->TextLength = static_cast<LONG>(end - text);
}

// x X p: hexadecimal, with "0x" / "0X" under '#'.
void convert_hex(OSV_FORMATTER *f, BOOLEAN upper) {
  if (f->Flags & FL_ALTERNATE) {
    f->Prefix[0] = '0';
    f->Prefix[1] = upper ? 'X' : 'x';
    f->PrefixLength = 2;
  }
  convert_integer(f, 16, upper ? 7 : 39);
}

// n: stores the count of characters so far; emits nothing.
void store_count(OSV_FORMATTER *f) {
  void *target = const_cast<void *>(get_ptr_arg(f->Args, OsvArgLongPointer));
  if (target != nullptr) {
    LONG count = f->Count;
    std::memcpy(target, &count, sizeof(count));
  }
  f->bSuppress = TRUE;
}

// The conversion named by a type character.
void convert(OSV_FORMATTER *f, CHAR ch) {
  switch (ch) {
  case 'C':
    f->Flags |= FL_WIDECHAR;
    convert_char(f);
    break;
  case 'c':
    convert_char(f);
    break;
  case 'S':
    f->Flags |= FL_WIDECHAR;
    convert_string(f);
    break;
  case 's':
    convert_string(f);
    break;
  case 'Z':
    convert_counted(f);
    break;
  case 'd':
  case 'i':
    f->Flags |= FL_SIGNED;
    convert_integer(f, 10, 0);
    break;
  case 'u':
    convert_integer(f, 10, 0);
    break;
  case 'o':
    if (f->Flags & FL_ALTERNATE)
      f->Flags |= FL_FORCEOCTAL;
    convert_integer(f, 8, 0);
    break;
  case 'p':
    f->Precision = 8;
    convert_hex(f, TRUE);
    break;
  case 'X':
    convert_hex(f, TRUE);
    break;
  case 'x':
    convert_hex(f, FALSE);
    break;
  case 'n':
    store_count(f);
    break;
  default: // B E G e f g: no floating point here; nothing is emitted
    f->bSuppress = TRUE;
    break;
  }
}

// The text of a conversion: an integer's precision zeros, then the characters,
// 16-bit ones through wctomb.
void write_text(OSV_FORMATTER *f) {
  write_multi_char(f->Buffer, '0', f->LeadingZeros, &f->Count);
  if (!f->bWideText || f->TextLength <= 0) {
    write_string(f->Buffer, static_cast<PCSTR>(f->pText), f->TextLength, &f->Count);
    return;
  }
  const auto *wide = static_cast<const UCHAR *>(f->pText);
  for (LONG i = 0; i < f->TextLength && f->Count < OSV_MAX_CHARS; ++i) {
    WCHAR wch;
    CHAR ch;
    std::memcpy(&wch, wide + 2 * static_cast<size_t>(i), sizeof(wch));
    wctomb(&ch, wch);
    write_char(f->Buffer, ch, &f->Count);
  }
}

// Emits a converted value: padding, prefix, zero padding, text, right padding.
void emit_conversion(OSV_FORMATTER *f) {
  if (f->Flags & FL_SIGNED) {
    if (f->Flags & (FL_NEGATIVE | FL_SIGN | FL_SIGNSP)) {
      f->Prefix[0] = (f->Flags & FL_NEGATIVE) ? '-' : (f->Flags & FL_SIGN) ? '+' : ' ';
      f->PrefixLength = 1;
    }
  }
  LONGLONG wide_padding = static_cast<LONGLONG>(f->Width) - f->LeadingZeros - f->TextLength - f->PrefixLength;
  // More padding than the buffer holds changes nothing visible.
  LONG padding = (wide_padding > OSV_MAX_CHARS) ? OSV_MAX_CHARS : static_cast<LONG>(wide_padding);
  if (padding < 0)
    padding = 0;

  if (!(f->Flags & (FL_LEFT | FL_LEADZERO)))
    write_multi_char(f->Buffer, ' ', padding, &f->Count);
  write_string(f->Buffer, f->Prefix, f->PrefixLength, &f->Count);
  if ((f->Flags & FL_LEADZERO) && !(f->Flags & FL_LEFT))
    write_multi_char(f->Buffer, '0', padding, &f->Count);
  write_text(f);
  if (f->Flags & FL_LEFT)
    write_multi_char(f->Buffer, ' ', padding, &f->Count);
}

// Copies format text from pos up to the next '%' or the end; returns the
// position of its last character. Clears the wide-text mark.
PCSTR copy_text_run(OSV_FORMATTER *f, PCSTR pos) {
  PCSTR end = pos;
  while (end[1] != '\0' && end[1] != '%')
    ++end;
  ptrdiff_t len = end - pos + 1;
  write_string(f->Buffer, pos, len > OSV_MAX_CHARS ? OSV_MAX_CHARS : static_cast<LONG>(len), &f->Count);
  f->bWideText = FALSE;
  return end;
}

} // namespace

// Runs the format through the state machine of __lookuptable: each character's
// class and the current state give the next state, which says what to do.
LONG OSvprint(PCHAR buffer, PCSTR format, POSV_ARG_CURSOR args) {
  OSV_FORMATTER f;
  f.Buffer = buffer;
  f.Count = 0;
  f.Args = args;
  start_conversion(&f);
  UCHAR state = StateText;
  for (PCSTR pos = (format != nullptr) ? format : ""; *pos != '\0'; ++pos) {
    CHAR ch = *pos;
    if ((state == StateText || state == StateType) && ch != '%') {
      // Outside a conversion every character but '%' leads to the text
      // state: copy the whole run at once.
      pos = copy_text_run(&f, pos);
      state = StateText;
      continue;
    }
    state = static_cast<UCHAR>(__lookuptable[char_class(ch) * 8 + state] >> 4);
    switch (state) {
    case StateText:
      write_char(buffer, ch, &f.Count);
      f.bWideText = FALSE;
      break;
    case StatePercent:
      start_conversion(&f);
      break;
    case StateFlag:
      set_flag(&f, ch);
      break;
    case StateWidth:
      set_width(&f, ch);
      break;
    case StateDot:
      f.Precision = 0;
      break;
    case StatePrecision:
      set_precision(&f, ch);
      break;
    case StateSize:
      pos = take_size(&f, pos, &state);
      break;
    case StateType:
      convert(&f, ch);
      if (!f.bSuppress)
        emit_conversion(&f);
      break;
    default:
      break;
    }
  }
  buffer[f.Count] = '\0';
  return f.Count;
}
