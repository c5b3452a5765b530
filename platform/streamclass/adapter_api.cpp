// What an application asks of an adapter, turned into adapter requests: properties,
// data intersection, power state, pins, and the low-level request calls.
#include <cstring>

#include "platform/streamclass/host_internal.h"

namespace streamclass {

namespace {

// The published property set `set` and its item `id` in a table: the set's index
// (~0 when the set is not published) and the item (NULL when not published).
ULONG find_property(ULONG count, const KSPROPERTY_SET *sets, const KSPROPERTY &property,
                    const KSPROPERTY_ITEM **item) {
  *item = nullptr;
  for (ULONG i = 0; i < count; i++) {
    if (!IsEqualGUID(*sets[i].Set, property.Set))
      continue;
    for (ULONG j = 0; j < sets[i].PropertiesCount; j++)
      if (sets[i].PropertyItem[j].PropertyId == property.Id)
        *item = &sets[i].PropertyItem[j];
    return i;
  }
  return ~0u;
}

// Copies `bytes` into a new block of the request; `*copy` is NULL for 0 bytes.
// False when memory is short.
bool copy_into(Request &request, std::span<const uint8_t> bytes, void **copy) {
  *copy = nullptr;
  if (bytes.empty())
    return true;
  *copy = request.add_block(bytes.size());
  if (*copy == nullptr)
    return false;
  std::memcpy(*copy, bytes.data(), bytes.size());
  return true;
}

} // namespace

// The property record and the data reach the driver as copies of exactly their
// sizes, so that a driver reading past them is caught.
NTSTATUS AdapterCore::property(PinCore *pin, bool set, std::span<const uint8_t> property,
                               std::span<uint8_t> data, ULONG *returned) {
  if (property.size() < sizeof(KSPROPERTY))
    return STATUS_INVALID_PARAMETER;
  if (state() != State::Started)
    return STATUS_INVALID_DEVICE_STATE;
  KSPROPERTY key;
  std::memcpy(&key, property.data(), sizeof(key));
  ULONG count = 0;
  const KSPROPERTY_SET *sets = nullptr;
  if (pin != nullptr) {
    if (const HW_STREAM_INFORMATION *info = stream_information(pin->stream())) {
      count = info->NumStreamPropArrayEntries;
      sets = info->StreamPropertiesArray;
    }
  } else if (const HW_STREAM_HEADER *header = stream_header()) {
    count = header->NumDevPropArrayEntries;
    sets = header->DevicePropertiesArray;
  }
  const KSPROPERTY_ITEM *item = nullptr;
  ULONG set_index = find_property(count, sets, key, &item);
  if (item != nullptr && (property.size() < item->MinProperty || data.size() < item->MinData))
    return STATUS_BUFFER_TOO_SMALL;

  SRB_COMMAND command = pin != nullptr ? (set ? SRB_SET_STREAM_PROPERTY : SRB_GET_STREAM_PROPERTY)
                                       : (set ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY);
  auto request = pin != nullptr ? pin->make_request(RequestKind::StreamControl, command)
                                : make_request(RequestKind::Device, command, nullptr);
  auto *descriptor = request ? request->add_record<STREAM_PROPERTY_DESCRIPTOR>() : nullptr;
  void *property_copy = nullptr;
  void *data_copy = nullptr;
  if (descriptor == nullptr || !copy_into(*request, property, &property_copy) ||
      !copy_into(*request, data, &data_copy))
    return STATUS_INSUFFICIENT_RESOURCES;
  static_cast<KSPROPERTY *>(property_copy)->Flags = set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
  descriptor->Property = static_cast<KSPROPERTY *>(property_copy);
  descriptor->PropertySetID = set_index;
  descriptor->PropertyInfo = data_copy;
  descriptor->PropertyInputSize = static_cast<ULONG>(property.size());
  descriptor->PropertyOutputSize = static_cast<ULONG>(data.size());
  request->srb().CommandData.PropertyInfo = descriptor;

  NTSTATUS status = pin != nullptr ? pin->call(request) : call(request);
  if (!request->finished())
    return status;
  ULONG actual = request->srb().ActualBytesTransferred;
  if (returned != nullptr)
    *returned = actual;
  if (!set && NT_SUCCESS(status) && data_copy != nullptr)
    std::memcpy(data.data(), data_copy, actual < data.size() ? actual : data.size());
  return status;
}

NTSTATUS AdapterCore::intersect_once(ULONG stream, std::span<const uint8_t> range, ULONG buffer_size,
                                     std::vector<uint8_t> &format, ULONG *actual) {
  format.clear();
  if (!format_ok(range))
    return STATUS_INVALID_PARAMETER;
  if (state() != State::Started)
    return STATUS_INVALID_DEVICE_STATE;
  KSDATARANGE header;
  std::memcpy(&header, range.data(), sizeof(header));
  auto request = make_request(RequestKind::Device, SRB_GET_DATA_INTERSECTION, nullptr);
  auto *info = request ? request->add_record<STREAM_DATA_INTERSECT_INFO>() : nullptr;
  void *range_copy = nullptr;
  void *buffer = buffer_size != 0 && info != nullptr ? request->add_block(buffer_size) : nullptr;
  if (info == nullptr || !copy_into(*request, range.first(header.FormatSize), &range_copy) ||
      (buffer_size != 0 && buffer == nullptr))
    return STATUS_INSUFFICIENT_RESOURCES;
  info->StreamNumber = stream;
  info->DataRange = static_cast<KSDATARANGE *>(range_copy);
  info->DataFormatBuffer = buffer;
  info->SizeOfDataFormatBuffer = buffer_size;
  request->srb().CommandData.IntersectInfo = info;

  NTSTATUS status = call(request);
  if (!request->finished())
    return status;
  ULONG used = request->srb().ActualBytesTransferred;
  if (actual != nullptr)
    *actual = used;
  if (NT_SUCCESS(status) && buffer != nullptr)
    format.assign(static_cast<const uint8_t *>(buffer),
                  static_cast<const uint8_t *>(buffer) + (used < buffer_size ? used : buffer_size));
  return status;
}

// ---------------------------------------------------------------------------
// Adapter

Adapter::~Adapter() {
  core_->remove(RemovalKind::Orderly);
}

NTSTATUS Adapter::start() {
  return core_->start();
}
NTSTATUS Adapter::remove(RemovalKind kind) {
  return core_->remove(kind);
}
bool Adapter::started() const {
  return core_->state() == AdapterCore::State::Started;
}
bool Adapter::removed() const {
  return core_->state() == AdapterCore::State::Removed;
}
PDEVICE_OBJECT Adapter::class_device_object() const {
  return core_->fdo();
}
PDEVICE_OBJECT Adapter::physical_device_object() const {
  return core_->pdo();
}
PVOID Adapter::device_extension() const {
  return core_->device_extension();
}

NTSTATUS Adapter::intersect(ULONG stream, std::span<const uint8_t> range, std::vector<uint8_t> &format) {
  ULONG needed = 0;
  NTSTATUS status = core_->intersect_once(stream, range, 0, format, &needed);
  if (status != STATUS_BUFFER_OVERFLOW || needed == 0)
    return status;
  return core_->intersect_once(stream, range, needed, format, nullptr);
}

NTSTATUS Adapter::intersect_once(ULONG stream, std::span<const uint8_t> range, ULONG buffer_size,
                                 std::vector<uint8_t> &format, ULONG *actual) {
  return core_->intersect_once(stream, range, buffer_size, format, actual);
}

NTSTATUS Adapter::get_property(std::span<const uint8_t> property, std::span<uint8_t> data, ULONG *returned) {
  return core_->property(nullptr, false, property, data, returned);
}

NTSTATUS Adapter::set_property(std::span<const uint8_t> property, std::span<const uint8_t> data) {
  // The data of a Set is only read; the request works on its own copy.
  std::vector<uint8_t> copy(data.begin(), data.end());
  return core_->property(nullptr, true, property, copy, nullptr);
}

NTSTATUS Adapter::change_power_state(DEVICE_POWER_STATE state) {
  if (!started())
    return STATUS_INVALID_DEVICE_STATE;
  auto request = core_->make_request(RequestKind::Device, SRB_CHANGE_POWER_STATE, nullptr);
  if (!request)
    return STATUS_INSUFFICIENT_RESOURCES;
  request->srb().CommandData.DeviceState = state;
  return core_->call(request);
}

NTSTATUS Adapter::open_pin(ULONG stream, std::span<const uint8_t> format, std::unique_ptr<Pin> &pin,
                           bool checked) {
  std::shared_ptr<PinCore> core;
  NTSTATUS status = core_->open_pin(stream, format, core, checked);
  if (NT_SUCCESS(status))
    pin.reset(new Pin(std::move(core)));
  return status;
}

std::shared_ptr<Request> Adapter::make_request(SRB_COMMAND command) {
  return core_->make_request(RequestKind::Device, command, nullptr);
}

NTSTATUS Adapter::deliver(const std::shared_ptr<Request> &request) {
  return core_->deliver(request);
}
NTSTATUS Adapter::call(const std::shared_ptr<Request> &request) {
  return core_->call(request);
}
void Adapter::cancel(const std::shared_ptr<Request> &request) {
  core_->cancel(request);
}

} // namespace streamclass
