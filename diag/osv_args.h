// The formatter's arguments: each argument of a debug message is captured as a
// typed slot, and the formatter reads the slots through an argument cursor.
//
// A slot holds an integer (extended to 64 bits by its own sign) or a pointer
// together with what it points at. The cursor hands out one slot per read: the
// 32-bit reads take the low half of a slot, the 64-bit read the whole slot, the
// pointer read the whole slot as an address. A read past the last slot gives 0
// (or NULL), so no format text can make the formatter read outside its
// arguments. A pointer conversion only follows a pointer captured with the type
// it expects (8-bit text for %s, 16-bit text for %S, a counted string for %Z, a
// 32-bit integer for %n); any other slot reads as NULL there.
#pragma once

#include "platform/kernel/ntdef.h"

#include <cstdint>
#include <type_traits>

// What a slot holds.
enum OSV_ARG_TYPE : UCHAR {
  OsvArgInteger = 0,   // an integer, sign- or zero-extended to 64 bits
  OsvArgPointer,       // an address of anything else (printable, never followed)
  OsvArgText,          // a pointer to 8-bit text (CHAR)
  OsvArgWideText,      // a pointer to 16-bit text (WCHAR)
  OsvArgUnicodeString, // a pointer to a UNICODE_STRING
  OsvArgAnsiString,    // a pointer to an ANSI_STRING
  OsvArgLongPointer,   // a pointer to a writable 32-bit integer (LONG or ULONG)
};

// One captured argument.
struct OSV_ARG {
  ULONGLONG Value;   // the integer, or the address
  OSV_ARG_TYPE Type; // how Value may be used
};
using POSV_ARG = OSV_ARG *;

// The argument cursor: the captured arguments and the index of the next one.
struct OSV_ARG_CURSOR {
  const OSV_ARG *pArgs;
  ULONG Count;
  ULONG Next;
};
using POSV_ARG_CURSOR = OSV_ARG_CURSOR *;

namespace osv {

// Takes the next slot and advances the cursor past it; NULL when no slot is
// left. Any context.
inline const OSV_ARG *next_arg(POSV_ARG_CURSOR args) {
  if (args == nullptr || args->pArgs == nullptr || args->Next >= args->Count)
    return nullptr;
  return &args->pArgs[args->Next++];
}

// Reads the next slot as a signed 32-bit value (its low half); 0 when no slot is
// left. Advances the cursor by one slot. Any context.
inline LONG get_int_arg(POSV_ARG_CURSOR args) {
  const OSV_ARG *arg = next_arg(args);
  return arg != nullptr ? static_cast<LONG>(static_cast<ULONG>(arg->Value)) : 0;
}

// Reads the whole next slot as a signed 64-bit value; 0 when no slot is left.
// Advances the cursor by one slot. Any context.
inline LONGLONG get_int64_arg(POSV_ARG_CURSOR args) {
  const OSV_ARG *arg = next_arg(args);
  return arg != nullptr ? static_cast<LONGLONG>(arg->Value) : 0;
}

// Reads the low 16 bits of the next slot; 0 when no slot is left. Advances the
// cursor by one slot. Any context.
inline USHORT get_short_arg(POSV_ARG_CURSOR args) {
  const OSV_ARG *arg = next_arg(args);
  return arg != nullptr ? static_cast<USHORT>(arg->Value) : 0;
}

// Reads the next slot as an address of the given type; NULL when no slot is left
// or the slot holds anything else (an integer, or a pointer of another type).
// Advances the cursor by one slot. Any context.
inline const void *get_ptr_arg(POSV_ARG_CURSOR args, OSV_ARG_TYPE type) {
  const OSV_ARG *arg = next_arg(args);
  if (arg == nullptr || arg->Type != type)
    return nullptr;
  return reinterpret_cast<const void *>(static_cast<uintptr_t>(arg->Value));
}

// The slot type of a pointer to T (T without const/volatile).
template <typename T> constexpr OSV_ARG_TYPE pointer_arg_type(bool writable) {
  if constexpr (std::is_same_v<T, CHAR>)
    return OsvArgText;
  else if constexpr (std::is_same_v<T, WCHAR>)
    return OsvArgWideText;
  else if constexpr (std::is_same_v<T, UNICODE_STRING>)
    return OsvArgUnicodeString;
  else if constexpr (std::is_same_v<T, ANSI_STRING>)
    return OsvArgAnsiString;
  else if constexpr (std::is_same_v<T, LONG> || std::is_same_v<T, ULONG>)
    return writable ? OsvArgLongPointer : OsvArgPointer;
  else
    return OsvArgPointer;
}

template <typename T> inline constexpr bool unsupported_arg = false;

// Captures one message argument as a slot. Integers (char, bool and enums
// included) keep their value with their own sign; pointers keep their address
// and their type; nullptr is a NULL pointer. Anything else (floating point,
// records) does not compile: the formatter has no conversion for it.
template <typename T> inline OSV_ARG capture_arg(T value) {
  if constexpr (std::is_same_v<T, std::nullptr_t>) {
    return {0, OsvArgPointer};
  } else if constexpr (std::is_enum_v<T>) {
    return capture_arg(static_cast<std::underlying_type_t<T>>(value));
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    return {static_cast<ULONGLONG>(static_cast<LONGLONG>(value)), OsvArgInteger};
  } else if constexpr (std::is_integral_v<T>) {
    return {static_cast<ULONGLONG>(value), OsvArgInteger};
  } else if constexpr (std::is_pointer_v<T>) {
    using POINTEE = std::remove_pointer_t<T>;
    constexpr bool writable = !std::is_const_v<POINTEE> && !std::is_volatile_v<POINTEE>;
    return {static_cast<ULONGLONG>(reinterpret_cast<uintptr_t>(value)),
            pointer_arg_type<std::remove_cv_t<POINTEE>>(writable)};
  } else {
    static_assert(unsupported_arg<T>, "debug message arguments are integers, enums and pointers");
    return {};
  }
}

} // namespace osv
