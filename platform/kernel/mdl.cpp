// Memory descriptor lists. All memory of this platform is resident and
// mapped, so building and mapping only fill in the descriptor.
#include <algorithm>
#include <mutex>
#include <unordered_set>

#include "platform/kernel/io.h"
#include "platform/kernel/misuse.h"
#include "platform/kernel/pool.h"

namespace {

using platform::misuse_reportf;
using platform::MisuseCategory;

constexpr ULONG kMdlTag = PoolTag("Mdl ");
constexpr ULONG kLargestMdlLength = 0x80000000UL - PAGE_SIZE;

// The MDLs IoAllocateMdl made and IoFreeMdl has not freed; `lock` guards
// `live` and is a leaf.
struct MdlTable {
  std::mutex lock;
  std::unordered_set<PMDL> live;
};

// Never destroyed.
MdlTable &mdl_table() {
  static MdlTable *instance = new MdlTable;
  return *instance;
}

// Fills the page array with made-up frame numbers (the virtual page numbers).
void fill_pages(PMDL mdl) {
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
  PPFN_NUMBER frames = MmGetMdlPfnArray(mdl);
  PFN_NUMBER first = reinterpret_cast<ULONG_PTR>(mdl->StartVa) / PAGE_SIZE;
  for (ULONG i = 0; i < pages; ++i)
    frames[i] = first + i;
}

} // namespace

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                   PIRP Irp) {
  (void)ChargeQuota;
  (void)SecondaryBuffer;
  if (Irp != nullptr) {
    misuse_reportf(MisuseCategory::Mdl, "IoAllocateMdl: attaching an MDL to IRP %p is not supported",
                   static_cast<void *>(Irp));
    return nullptr;
  }
  if (Length > kLargestMdlLength)
    return nullptr;
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
  size_t bytes = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
  auto *mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, bytes, kMdlTag));
  if (mdl == nullptr)
    return nullptr;
  auto address = reinterpret_cast<ULONG_PTR>(VirtualAddress);
  mdl->Next = nullptr;
  mdl->Size = static_cast<CSHORT>(std::min<size_t>(bytes, 0x7FFF));
  mdl->MdlFlags = 0;
  mdl->Process = nullptr;
  mdl->MappedSystemVa = nullptr;
  mdl->StartVa = reinterpret_cast<PVOID>(address & ~static_cast<ULONG_PTR>(PAGE_SIZE - 1));
  mdl->ByteCount = Length;
  mdl->ByteOffset = static_cast<ULONG>(address & (PAGE_SIZE - 1));
  std::fill_n(MmGetMdlPfnArray(mdl), pages, PFN_NUMBER{0});
  {
    MdlTable &t = mdl_table();
    std::lock_guard<std::mutex> hold(t.lock);
    t.live.insert(mdl);
  }
  return mdl;
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  fill_pages(MemoryDescriptorList);
  MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
  (void)Priority;
  if ((Mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) != 0)
    return Mdl->MappedSystemVa;
  misuse_reportf(MisuseCategory::Mdl, "MmGetSystemAddressForMdlSafe(%p): MDL not built",
                 static_cast<void *>(Mdl));
  return nullptr;
}

VOID IoFreeMdl(PMDL Mdl) {
  bool live;
  {
    MdlTable &t = mdl_table();
    std::lock_guard<std::mutex> hold(t.lock);
    live = Mdl != nullptr && t.live.erase(Mdl) != 0;
  }
  if (!live) {
    misuse_reportf(MisuseCategory::Mdl, "IoFreeMdl(%p): not an MDL from IoAllocateMdl (freed twice?)",
                   static_cast<void *>(Mdl));
    return;
  }
  ExFreePool(Mdl);
}
