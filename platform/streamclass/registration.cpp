// Driver registration and loading: StreamClassRegisterAdapter keeps each driver's
// HW_INITIALIZATION_DATA by driver object; the loader creates the driver object and
// runs DriverEntry.
#include "platform/kernel/control.h"
#include "platform/kernel/rtl.h"
#include "platform/streamclass/host_internal.h"

namespace streamclass {

namespace {

// Registrations by driver object; `mutex` is a leaf lock.
struct Registrations {
  std::mutex mutex;
  std::unordered_map<PDRIVER_OBJECT, HW_INITIALIZATION_DATA> drivers;
};

Registrations &registrations() {
  static Registrations *instance = new Registrations; // never destroyed
  return *instance;
}

// Extension sizes above this are taken for a corrupted registration.
constexpr ULONG kMaxExtensionSize = 64u << 20;

// Whether a registration can be served.
bool registration_ok(const HW_INITIALIZATION_DATA &data) {
  return data.HwInitializationDataSize == sizeof(HW_INITIALIZATION_DATA) && data.HwReceivePacket != nullptr &&
         data.DeviceExtensionSize <= kMaxExtensionSize && data.PerRequestExtensionSize <= kMaxExtensionSize &&
         data.PerStreamExtensionSize <= kMaxExtensionSize;
}

} // namespace

bool registration_find(PDRIVER_OBJECT driver, HW_INITIALIZATION_DATA &data) {
  std::lock_guard lock(registrations().mutex);
  auto it = registrations().drivers.find(driver);
  if (it == registrations().drivers.end())
    return false;
  data = it->second;
  return true;
}

void registration_remove(PDRIVER_OBJECT driver) {
  std::lock_guard lock(registrations().mutex);
  registrations().drivers.erase(driver);
}

DriverCore::~DriverCore() {
  registration_remove(driver_);
  platform::driver_delete(driver_);
}

PDRIVER_OBJECT Driver::driver_object() const {
  return core_->driver_object();
}

const HW_INITIALIZATION_DATA &Driver::registration() const {
  return core_->init();
}

NTSTATUS Driver::add_device(PDEVICE_OBJECT pdo, std::unique_ptr<Adapter> &adapter) {
  std::shared_ptr<AdapterCore> core;
  NTSTATUS status = AdapterCore::create(core_, pdo, core);
  if (NT_SUCCESS(status))
    adapter.reset(new Adapter(std::move(core)));
  return status;
}

NTSTATUS Driver::start_device(PDEVICE_OBJECT pdo, std::unique_ptr<Adapter> &adapter) {
  std::unique_ptr<Adapter> added;
  NTSTATUS status = add_device(pdo, added);
  if (!NT_SUCCESS(status))
    return status;
  status = added->start();
  if (!NT_SUCCESS(status)) {
    added->remove();
    return status;
  }
  adapter = std::move(added);
  return status;
}

Driver::~Driver() = default;

NTSTATUS load_driver(PDRIVER_INITIALIZE entry, std::unique_ptr<Driver> &driver, const char16_t *name) {
  static char16_t registry_path_text[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\dscam";
  UNICODE_STRING registry_path;
  HW_INITIALIZATION_DATA init;

  PDRIVER_OBJECT object = platform::driver_create(name);
  if (object == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  RtlInitUnicodeString(&registry_path, registry_path_text);
  object->DriverInit = entry;

  NTSTATUS status = entry(object, &registry_path);
  if (NT_SUCCESS(status) && !registration_find(object, init))
    status = STATUS_INVALID_DEVICE_STATE;
  if (!NT_SUCCESS(status)) {
    registration_remove(object);
    platform::driver_delete(object);
    return status;
  }
  driver.reset(new Driver(std::make_shared<DriverCore>(object, init)));
  return STATUS_SUCCESS;
}

} // namespace streamclass

using namespace streamclass;

NTSTATUS StreamClassRegisterAdapter(PVOID Argument1, PVOID Argument2,
                                    PHW_INITIALIZATION_DATA HwInitializationData) {
  (void)Argument2;
  auto driver = static_cast<PDRIVER_OBJECT>(Argument1);
  if (driver == nullptr || HwInitializationData == nullptr || !registration_ok(*HwInitializationData))
    return STATUS_INVALID_PARAMETER;
  std::lock_guard lock(registrations().mutex);
  registrations().drivers[driver] = *HwInitializationData;
  return STATUS_SUCCESS;
}
