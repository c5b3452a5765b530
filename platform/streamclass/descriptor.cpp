// The stream descriptor: SRB_GET_STREAM_INFO at start, its checks, and what the
// application reads from it (streams, formats, property sets, categories).
#include <cstring>

#include "platform/streamclass/host_internal.h"

namespace streamclass {

namespace {

// Largest data range the host copies out of a driver's table.
constexpr ULONG kMaxRangeSize = 1u << 20;

// Whether a table of `count` entries has its pointer.
template <typename T> bool table_ok(ULONG count, const T *table) {
  return count == 0 || table != nullptr;
}

// Whether a property-set table is usable: each set has its GUID and its items.
bool property_sets_ok(ULONG count, const KSPROPERTY_SET *sets) {
  if (!table_ok(count, sets))
    return false;
  for (ULONG i = 0; i < count; i++)
    if (sets[i].Set == nullptr || !table_ok(sets[i].PropertiesCount, sets[i].PropertyItem))
      return false;
  return true;
}

// Whether one stream's information is usable: its format list points at ranges of
// a sensible size, its tables have their pointers.
bool stream_ok(const HW_STREAM_INFORMATION &info) {
  if (!table_ok(info.NumberOfFormatArrayEntries, info.StreamFormatsArray) ||
      !property_sets_ok(info.NumStreamPropArrayEntries, info.StreamPropertiesArray) ||
      !table_ok(info.MediumsCount, info.Mediums))
    return false;
  for (ULONG i = 0; i < info.NumberOfFormatArrayEntries; i++) {
    const KSDATARANGE *range = info.StreamFormatsArray[i];
    if (range == nullptr || range->FormatSize < sizeof(KSDATARANGE) || range->FormatSize > kMaxRangeSize)
      return false;
  }
  return true;
}

std::vector<PropertySetInfo> describe_sets(ULONG count, const KSPROPERTY_SET *sets) {
  std::vector<PropertySetInfo> result;
  for (ULONG i = 0; i < count; i++) {
    PropertySetInfo set;
    set.set = *sets[i].Set;
    for (ULONG j = 0; j < sets[i].PropertiesCount; j++) {
      const KSPROPERTY_ITEM &item = sets[i].PropertyItem[j];
      set.items.push_back(PropertyItemInfo{item.PropertyId, item.GetSupported != FALSE,
                                           item.SetSupported != FALSE, item.MinProperty, item.MinData,
                                           item.Values});
    }
    result.push_back(std::move(set));
  }
  return result;
}

} // namespace

// Whether the descriptor the driver wrote is one the host can read: the header,
// then NumberOfStreams records of our HW_STREAM_INFORMATION, all within the buffer.
bool AdapterCore::descriptor_valid(const HostBlock &block) const {
  if (block.size() < sizeof(HW_STREAM_HEADER))
    return false;
  const auto *header = static_cast<const HW_STREAM_HEADER *>(block.data());
  if (header->NumberOfStreams > 0 && header->SizeOfHwStreamInformation != sizeof(HW_STREAM_INFORMATION))
    return false;
  if (header->NumberOfStreams > (block.size() - sizeof(HW_STREAM_HEADER)) / sizeof(HW_STREAM_INFORMATION))
    return false;
  if (!property_sets_ok(header->NumDevPropArrayEntries, header->DevicePropertiesArray))
    return false;
  if (header->Topology != nullptr &&
      !table_ok(header->Topology->CategoriesCount, header->Topology->Categories))
    return false;
  const auto *streams = reinterpret_cast<const HW_STREAM_INFORMATION *>(header + 1);
  for (ULONG i = 0; i < header->NumberOfStreams; i++)
    if (!stream_ok(streams[i]))
      return false;
  return true;
}

// SRB_GET_STREAM_INFO into a zero-filled buffer of the StreamDescriptorSize the
// driver set at initialization. A failed request or a descriptor the host cannot
// read leaves the adapter without streams. Part of the start; passive level.
NTSTATUS AdapterCore::start_stream_info(ULONG size) {
  auto request = make_request(RequestKind::Device, SRB_GET_STREAM_INFO, nullptr);
  if (!request)
    return STATUS_INSUFFICIENT_RESOURCES;
  auto block = std::make_unique<HostBlock>(size, 0);
  if (!block->ok())
    return STATUS_INSUFFICIENT_RESOURCES;
  request->srb().CommandData.StreamBuffer = static_cast<HW_STREAM_DESCRIPTOR *>(block->data());
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  if (size >= sizeof(HW_STREAM_HEADER))
    status = call(request, nullptr, true);
  else
    report_device_misuse("StreamDescriptorSize %u is too small for a stream descriptor",
                         static_cast<unsigned>(size));
  if (NT_SUCCESS(status) && !descriptor_valid(*block)) {
    report_device_misuse("the stream descriptor of SRB_GET_STREAM_INFO (%zu bytes) cannot be read",
                         block->size());
    status = STATUS_INVALID_PARAMETER;
  }
  std::lock_guard lock(mutex_);
  stream_info_status_ = status;
  if (NT_SUCCESS(status))
    descriptor_ = std::move(block);
  return status;
}

const HW_STREAM_HEADER *AdapterCore::stream_header() const {
  std::lock_guard lock(mutex_);
  return descriptor_ ? static_cast<const HW_STREAM_HEADER *>(descriptor_->data()) : nullptr;
}

ULONG AdapterCore::stream_count() const {
  const HW_STREAM_HEADER *header = stream_header();
  return header != nullptr ? header->NumberOfStreams : 0;
}

const HW_STREAM_INFORMATION *AdapterCore::stream_information(ULONG stream) const {
  const HW_STREAM_HEADER *header = stream_header();
  if (header == nullptr || stream >= header->NumberOfStreams)
    return nullptr;
  return reinterpret_cast<const HW_STREAM_INFORMATION *>(header + 1) + stream;
}

NTSTATUS AdapterCore::stream_info_status() const {
  std::lock_guard lock(mutex_);
  return stream_info_status_;
}

// ---------------------------------------------------------------------------
// Adapter: descriptor views

ULONG Adapter::stream_count() const {
  return core_->stream_count();
}

const HW_STREAM_HEADER *Adapter::stream_header() const {
  return core_->stream_header();
}

const HW_STREAM_INFORMATION *Adapter::stream_information(ULONG stream) const {
  return core_->stream_information(stream);
}

NTSTATUS Adapter::stream_info_status() const {
  return core_->stream_info_status();
}

std::vector<std::vector<uint8_t>> Adapter::data_ranges(ULONG stream) const {
  std::vector<std::vector<uint8_t>> ranges;
  const HW_STREAM_INFORMATION *info = core_->stream_information(stream);
  if (info == nullptr)
    return ranges;
  for (ULONG i = 0; i < info->NumberOfFormatArrayEntries; i++) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(info->StreamFormatsArray[i]);
    ranges.emplace_back(bytes, bytes + info->StreamFormatsArray[i]->FormatSize);
  }
  return ranges;
}

std::vector<PropertySetInfo> Adapter::device_property_sets() const {
  const HW_STREAM_HEADER *header = core_->stream_header();
  if (header == nullptr)
    return {};
  return describe_sets(header->NumDevPropArrayEntries, header->DevicePropertiesArray);
}

std::vector<PropertySetInfo> Adapter::stream_property_sets(ULONG stream) const {
  const HW_STREAM_INFORMATION *info = core_->stream_information(stream);
  if (info == nullptr)
    return {};
  return describe_sets(info->NumStreamPropArrayEntries, info->StreamPropertiesArray);
}

std::vector<GUID> Adapter::categories() const {
  const HW_STREAM_HEADER *header = core_->stream_header();
  if (header == nullptr || header->Topology == nullptr)
    return {};
  const KSTOPOLOGY &topology = *header->Topology;
  return std::vector<GUID>(topology.Categories, topology.Categories + topology.CategoriesCount);
}

} // namespace streamclass
