// Pool memory: one heap allocation per block, guard bytes on both sides, an
// index of live blocks, per-tag accounting and fault injection.
//
// Block layout: [BlockHeader][front guard][caller's bytes][back guard]. The
// header is read only after the pointer has been found in the live index, so
// a foreign pointer is never dereferenced.
//
// Under AddressSanitizer the header and both guards of a live block are
// poisoned, so an access that strays out of the caller's bytes is stopped at
// once (use-after-poison) instead of being found by the guard check at free.
#include "platform/kernel/pool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <unordered_map>

#include "platform/kernel/control.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/misuse.h"

#if defined(__SANITIZE_ADDRESS__)
#define DSCAM_POOL_POISON 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DSCAM_POOL_POISON 1
#endif
#endif
#ifdef DSCAM_POOL_POISON
#include <sanitizer/asan_interface.h>
#endif

namespace platform {
namespace {

constexpr size_t kGuardSize = 32;
constexpr UCHAR kFrontGuardByte = 0xFB;
constexpr UCHAR kBackGuardByte = 0xFE;
constexpr UCHAR kNewFillByte = 0xC5; // fresh pool is not zeroed
constexpr UCHAR kFreedFillByte = 0xDF;
constexpr size_t kLargestBlock = size_t{1} << 30;
constexpr size_t kRecentFreesKept = 4096;
constexpr uint64_t kHeaderMagic = 0x4C4F4F50544D4B44ull;

struct alignas(16) BlockHeader {
  uint64_t magic;
  uint64_t sequence;
  size_t size;
  ULONG tag;
  POOL_TYPE type;
};
static_assert(sizeof(BlockHeader) % 16 == 0);
constexpr size_t kPrefixSize = sizeof(BlockHeader) + kGuardSize;
static_assert(kPrefixSize % 16 == 0);

// What is remembered of a freed block, to tell a double free from a foreign one.
struct FreedBlock {
  ULONG tag;
  size_t size;
  uint64_t stamp; // which free of this address the entry is
};

// Fault-injection rules.
struct FaultRules {
  uint64_t nth_countdown = 0; // 0: off
  ULONG nth_tag = 0;
  std::set<ULONG> failing_tags;
  bool random_on = false;
  uint64_t random_after = 0;
  double random_probability = 0;
  ULONG random_tag = 0;
  std::mt19937_64 random_generator;
};

// The pool's state. `lock` guards everything here; it is a leaf lock
// (misuse reports are made after releasing it).
struct Pool {
  std::mutex lock;
  std::unordered_map<const void *, BlockHeader> live; // authoritative copy of each live block's header
  std::unordered_map<const void *, FreedBlock> recent_frees;
  std::deque<std::pair<const void *, uint64_t>> recent_order; // oldest first
  uint64_t free_stamp = 0;
  PoolCounts total;
  std::unordered_map<ULONG, PoolCounts> by_tag;
  uint64_t sequence = 0;
  FaultRules faults;
};

// Never destroyed: blocks may be freed by threads still running at exit.
Pool &pool() {
  static Pool *instance = new Pool;
  return *instance;
}

UCHAR *user_bytes(BlockHeader *header) {
  return reinterpret_cast<UCHAR *>(header) + kPrefixSize;
}
BlockHeader *header_of(const void *p) {
  return reinterpret_cast<BlockHeader *>(const_cast<UCHAR *>(static_cast<const UCHAR *>(p)) - kPrefixSize);
}

bool tag_matches(ULONG rule_tag, ULONG tag) {
  return rule_tag == 0 || rule_tag == tag;
}

// Decides whether fault injection refuses this allocation. Pool lock held.
bool injected_failure(FaultRules &rules, ULONG tag) {
  bool fail = rules.failing_tags.count(tag) != 0;
  if (rules.nth_countdown != 0 && tag_matches(rules.nth_tag, tag)) {
    if (--rules.nth_countdown == 0)
      fail = true;
  }
  if (rules.random_on && tag_matches(rules.random_tag, tag) && !fail) {
    if (rules.random_after > 0) {
      --rules.random_after;
    } else {
      std::uniform_real_distribution<double> draw(0.0, 1.0);
      fail = draw(rules.random_generator) < rules.random_probability;
    }
  }
  return fail;
}

void count_allocation(PoolCounts &counts, size_t size) {
  counts.allocations++;
  counts.live_blocks++;
  counts.live_bytes += size;
  counts.peak_bytes = std::max(counts.peak_bytes, counts.live_bytes);
  counts.peak_blocks = std::max(counts.peak_blocks, counts.live_blocks);
}

void count_free(PoolCounts &counts, size_t size) {
  counts.frees++;
  counts.live_blocks--;
  counts.live_bytes -= size;
}

// Records a new live block. Pool lock held.
void register_block(Pool &p, BlockHeader *header) {
  const void *user = user_bytes(header);
  p.live.emplace(user, *header);
  p.recent_frees.erase(user);
  count_allocation(p.total, header->size);
  count_allocation(p.by_tag[header->tag], header->size);
}

// Remembers a freed block for double-free diagnosis. Pool lock held.
void remember_free(Pool &p, const void *user, const BlockHeader &header) {
  uint64_t stamp = ++p.free_stamp;
  p.recent_frees[user] = FreedBlock{header.tag, header.size, stamp};
  p.recent_order.emplace_back(user, stamp);
  while (p.recent_order.size() > kRecentFreesKept) {
    auto [oldest, oldest_stamp] = p.recent_order.front();
    p.recent_order.pop_front();
    auto found = p.recent_frees.find(oldest);
    if (found != p.recent_frees.end() && found->second.stamp == oldest_stamp)
      p.recent_frees.erase(found);
  }
}

// Marks the header and guards of a block as off limits to everybody but the
// pool (AddressSanitizer builds; nothing otherwise). Any context.
void poison_margins(BlockHeader *header, size_t size) {
#ifdef DSCAM_POOL_POISON
  ASAN_POISON_MEMORY_REGION(header, kPrefixSize);
  ASAN_POISON_MEMORY_REGION(user_bytes(header) + size, kGuardSize);
#else
  (void)header;
  (void)size;
#endif
}

// Lifts poison_margins before the pool reads or rewrites them.
void unpoison_margins(BlockHeader *header, size_t size) {
#ifdef DSCAM_POOL_POISON
  ASAN_UNPOISON_MEMORY_REGION(header, kPrefixSize + size + kGuardSize);
#else
  (void)header;
  (void)size;
#endif
}

// True when the guard bytes around the block are intact.
bool guards_intact(BlockHeader *header, size_t size) {
  const UCHAR *front = reinterpret_cast<const UCHAR *>(header) + sizeof(BlockHeader);
  const UCHAR *back = user_bytes(header) + size;
  for (size_t i = 0; i < kGuardSize; ++i)
    if (front[i] != kFrontGuardByte || back[i] != kBackGuardByte)
      return false;
  return true;
}

// Frees a block after checking it (ExFreePool). Any context.
void free_block(PVOID p) {
  if (p == nullptr) {
    misuse_report(MisuseCategory::Pool, "ExFreePool(NULL)");
    return;
  }
  Pool &state = pool();
  BlockHeader *header = header_of(p);
  std::unique_lock<std::mutex> hold(state.lock);
  auto live = state.live.find(p);
  if (live == state.live.end()) {
    auto freed = state.recent_frees.find(p);
    bool twice = freed != state.recent_frees.end();
    FreedBlock block = twice ? freed->second : FreedBlock{0, 0, 0};
    hold.unlock();
    if (twice)
      misuse_reportf(MisuseCategory::Pool, "ExFreePool: double free of %p (tag '%s', %zu bytes)", p,
                     pool_tag_text(block.tag).c_str(), block.size);
    else
      misuse_reportf(MisuseCategory::Pool, "ExFreePool: %p is not a pool block (foreign pointer)", p);
    return;
  }
  BlockHeader copy = live->second;
  state.live.erase(live);
  count_free(state.total, copy.size);
  count_free(state.by_tag[copy.tag], copy.size);
  remember_free(state, p, copy);
  hold.unlock();

  unpoison_margins(header, copy.size);
  if (std::memcmp(header, &copy, sizeof copy) != 0 || !guards_intact(header, copy.size))
    misuse_reportf(MisuseCategory::Pool, "ExFreePool: guard bytes of %p overwritten (tag '%s', %zu bytes)", p,
                   pool_tag_text(copy.tag).c_str(), copy.size);
  std::memset(header, kFreedFillByte, kPrefixSize + copy.size + kGuardSize);
  std::free(header);
}

} // namespace

std::string pool_tag_text(ULONG tag) {
  std::string text(4, '.');
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text[i] = (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text;
}

PoolCounts pool_counts() {
  Pool &p = pool();
  std::lock_guard<std::mutex> hold(p.lock);
  return p.total;
}

PoolCounts pool_tag_counts(ULONG tag) {
  Pool &p = pool();
  std::lock_guard<std::mutex> hold(p.lock);
  auto found = p.by_tag.find(tag);
  return found == p.by_tag.end() ? PoolCounts{} : found->second;
}

std::vector<PoolBlock> pool_live_blocks_since(uint64_t after_sequence) {
  Pool &p = pool();
  std::vector<PoolBlock> blocks;
  {
    std::lock_guard<std::mutex> hold(p.lock);
    for (const auto &[user, header] : p.live)
      if (header.sequence > after_sequence)
        blocks.push_back(PoolBlock{header.tag, header.size, header.sequence, user});
  }
  std::sort(blocks.begin(), blocks.end(),
            [](const PoolBlock &a, const PoolBlock &b) { return a.sequence < b.sequence; });
  return blocks;
}

uint64_t pool_sequence() {
  Pool &p = pool();
  std::lock_guard<std::mutex> hold(p.lock);
  return p.sequence;
}

void pool_reset_peaks() {
  Pool &p = pool();
  std::lock_guard<std::mutex> hold(p.lock);
  p.total.peak_bytes = p.total.live_bytes;
  p.total.peak_blocks = p.total.live_blocks;
  for (auto &[tag, counts] : p.by_tag) {
    counts.peak_bytes = counts.live_bytes;
    counts.peak_blocks = counts.live_blocks;
  }
}

void pool_fail_nth(uint64_t nth, ULONG tag) {
  Pool &p = pool();
  std::lock_guard<std::mutex> hold(p.lock);
  p.faults.nth_countdown = nth;
  p.faults.nth_tag = tag;
}

void pool_fail_tag(ULONG tag, bool on) {
  Pool &p = pool();
  std::lock_guard<std::mutex> hold(p.lock);
  if (on)
    p.faults.failing_tags.insert(tag);
  else
    p.faults.failing_tags.erase(tag);
}

void pool_fail_random(uint64_t after, double probability, uint64_t seed, ULONG tag) {
  Pool &p = pool();
  std::lock_guard<std::mutex> hold(p.lock);
  p.faults.random_on = true;
  p.faults.random_after = after;
  p.faults.random_probability = probability;
  p.faults.random_tag = tag;
  p.faults.random_generator.seed(seed);
}

void pool_faults_clear() {
  Pool &p = pool();
  std::lock_guard<std::mutex> hold(p.lock);
  p.faults = FaultRules{};
}

} // namespace platform

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  using namespace platform;
  if ((PoolType & 1) == PagedPool && KeGetCurrentIrql() >= DISPATCH_LEVEL)
    misuse_reportf(MisuseCategory::Pool, "paged pool allocation (tag '%s') at DISPATCH_LEVEL",
                   pool_tag_text(Tag).c_str());
  Pool &p = pool();
  BlockHeader *header = nullptr;
  if (NumberOfBytes <= kLargestBlock)
    header = static_cast<BlockHeader *>(std::malloc(kPrefixSize + NumberOfBytes + kGuardSize));
  if (header != nullptr) {
    header->magic = kHeaderMagic;
    header->size = NumberOfBytes;
    header->tag = Tag;
    header->type = PoolType;
    std::memset(reinterpret_cast<UCHAR *>(header) + sizeof(BlockHeader), kFrontGuardByte, kGuardSize);
    std::memset(user_bytes(header), kNewFillByte, NumberOfBytes);
    std::memset(user_bytes(header) + NumberOfBytes, kBackGuardByte, kGuardSize);
  }
  std::unique_lock<std::mutex> hold(p.lock);
  if (header == nullptr || injected_failure(p.faults, Tag)) {
    p.total.failed++;
    p.by_tag[Tag].failed++;
    hold.unlock();
    std::free(header);
    return nullptr;
  }
  header->sequence = ++p.sequence;
  register_block(p, header);
  poison_margins(header, NumberOfBytes);
  return user_bytes(header);
}

VOID ExFreePool(PVOID P) {
  platform::free_block(P);
}
