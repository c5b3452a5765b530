// Fuzzes OSvprint with arbitrary format text and argument slots.
//
// Input layout:
//   byte 0             number of slots, modulo 9
//   9 bytes per slot   kind (modulo 8), then a 64-bit little-endian value
//   rest               the format text up to the first 0 byte; after it, a pool
//                      of bytes that text, wide-text and counted-string slots
//                      point into (always NUL-terminated)
// Kinds: 0 and 7 integer; 1 an opaque pointer (never followed); 2 8-bit text;
// 3 16-bit text (at any byte offset, so possibly unaligned); 4 UNICODE_STRING
// and 5 ANSI_STRING records over the pool, with any Length; 6 a LONG to count
// into. The top bit of the value makes a pointer slot NULL.
//
// Checks: the result is 0..511, the NUL follows it, and no byte after the
// 512-byte output is touched. Every buffer the formatter reads is its own
// allocation, so AddressSanitizer reports any read past it.
#include "diag/osvprint.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kMaxSlots = 8;
constexpr size_t kCanary = 64;
constexpr uint8_t kCanaryByte = 0xA5;

struct FuzzInput {
  OSV_ARG slots[kMaxSlots];
  UNICODE_STRING unicode[kMaxSlots];
  ANSI_STRING ansi[kMaxSlots];
  LONG counts[kMaxSlots];
  size_t slot_count;
};

uint64_t read_u64(const uint8_t *p, size_t available) {
  uint64_t value = 0;
  for (size_t i = 0; i < 8 && i < available; ++i)
    value |= static_cast<uint64_t>(p[i]) << (8 * i);
  return value;
}

ULONGLONG address_of(const void *p) {
  return static_cast<ULONGLONG>(reinterpret_cast<uintptr_t>(p));
}

// Builds a counted string's fields over the pool: Length is anything, the
// Buffer's size (MaximumLength) never exceeds what the pool holds.
template <typename RECORD, typename CHARTYPE>
void build_counted(RECORD *record, uint64_t value, uint8_t *pool, size_t pool_size) {
  size_t offset = value % (pool_size + 1);
  size_t room = pool_size - offset;
  size_t maximum = (value >> 16) & 0xFFFF;
  record->MaximumLength = static_cast<USHORT>(maximum < room ? maximum : room);
  record->Length = static_cast<USHORT>((value >> 32) & 0xFFFF);
  record->Buffer = (value & (1ull << 62)) ? nullptr : reinterpret_cast<CHARTYPE *>(pool + offset);
}

void build_slot(FuzzInput *in, size_t i, uint8_t kind, uint64_t value, uint8_t *pool, size_t pool_size) {
  bool null = (value >> 63) != 0;
  OSV_ARG &slot = in->slots[i];
  switch (kind % 8) {
  case 1:
    slot = {value, OsvArgPointer};
    break;
  case 2:
    slot = {null ? 0 : address_of(pool + value % (pool_size + 1)), OsvArgText};
    break;
  case 3:
    slot = {null ? 0 : address_of(pool + value % (pool_size + 1)), OsvArgWideText};
    break;
  case 4:
    build_counted<UNICODE_STRING, WCHAR>(&in->unicode[i], value, pool, pool_size);
    slot = {null ? 0 : address_of(&in->unicode[i]), OsvArgUnicodeString};
    break;
  case 5:
    build_counted<ANSI_STRING, CHAR>(&in->ansi[i], value, pool, pool_size);
    slot = {null ? 0 : address_of(&in->ansi[i]), OsvArgAnsiString};
    break;
  case 6:
    slot = {null ? 0 : address_of(&in->counts[i]), OsvArgLongPointer};
    break;
  default:
    slot = {value, OsvArgInteger};
    break;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0)
    return 0;
  FuzzInput in{};
  in.slot_count = data[0] % (kMaxSlots + 1);
  size_t pos = 1;
  size_t slots_end = pos + 9 * in.slot_count;
  const uint8_t *rest = data + (slots_end < size ? slots_end : size);
  size_t rest_size = size - static_cast<size_t>(rest - data);

  // The format and the pool, each in an allocation of its own. Four zero bytes
  // end the pool so that 16-bit text ends at an odd or an even offset alike.
  const uint8_t *split = static_cast<const uint8_t *>(std::memchr(rest, 0, rest_size));
  size_t format_size = split != nullptr ? static_cast<size_t>(split - rest) : rest_size;
  size_t pool_size = split != nullptr ? rest_size - format_size - 1 : 0;
  std::vector<char> format(rest, rest + format_size);
  format.push_back('\0');
  std::vector<uint8_t> pool(pool_size + 4, 0);
  if (pool_size > 0)
    std::memcpy(pool.data(), split + 1, pool_size);

  for (size_t i = 0; i < in.slot_count; ++i) {
    size_t at = pos + 9 * i;
    uint8_t kind = at < size ? data[at] : 0;
    uint64_t value = at + 1 < size ? read_u64(data + at + 1, size - at - 1) : 0;
    build_slot(&in, i, kind, value, pool.data(), pool_size);
  }

  std::vector<char> output(OSV_BUFFER_SIZE + kCanary, static_cast<char>(kCanaryByte));
  OSV_ARG_CURSOR cursor{in.slots, static_cast<ULONG>(in.slot_count), 0};
  LONG count = OSvprint(output.data(), format.data(), &cursor);

  if (count < 0 || count > OSV_MAX_CHARS || output[static_cast<size_t>(count)] != '\0')
    std::abort();
  for (size_t i = OSV_BUFFER_SIZE; i < output.size(); ++i)
    if (static_cast<uint8_t>(output[i]) != kCanaryByte)
      std::abort();
  if (cursor.Next > cursor.Count)
    std::abort();
  return 0;
}
