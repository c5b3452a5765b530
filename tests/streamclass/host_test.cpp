#include "tests/streamclass/host_test.h"

#include <atomic>

#include "diag/debug_msg.h"
#include "platform/kernel/control.h"

using streamclass::HostAccounting;
using streamclass::HostOptions;

// ---------------------------------------------------------------------------
// HostTest

HostOptions HostTest::test_options() {
  HostOptions options;
  options.tick = std::chrono::milliseconds(5);
  options.device_request_timeout = 0;
  options.control_request_timeout = 0;
  options.data_request_timeout = 0;
  options.sync_wait_limit = std::chrono::milliseconds(10000);
  return options;
}

void HostTest::SetUp() {
  PlatformTest::SetUp();
  saved_options_ = streamclass::host_options();
  streamclass::set_host_options(test_options());
  streamclass::host_accounting_reset();
}

void HostTest::TearDown() {
  release_host_objects();
  HostAccounting a = streamclass::host_accounting();
  EXPECT_TRUE(a.clean()) << "host accounting: " << a.completed_twice << " completed twice, "
                         << a.wrong_notification << " through the wrong notification, "
                         << a.unknown_completion << " unknown, " << a.never_completed << " never completed, "
                         << a.completed_after_removal << " completed after removal";
  EXPECT_EQ(a.outstanding, 0u) << "requests still outstanding at the end of the test";
  EXPECT_EQ(a.completed, a.delivered) << "delivered requests that were not completed";
  streamclass::set_host_options(saved_options_);
  streamclass::host_accounting_reset();
  PlatformTest::TearDown();
}

HostAccounting HostTest::take_host_accounting() {
  HostAccounting a = streamclass::host_accounting();
  streamclass::host_accounting_reset();
  std::vector<platform::MisuseReport> others;
  for (platform::MisuseReport &report : take_misuse_reports())
    if (report.category != platform::MisuseCategory::Request)
      others.push_back(std::move(report));
  for (const platform::MisuseReport &report : others)
    ADD_FAILURE() << "unexpected misuse [" << platform::misuse_category_name(report.category)
                  << "]: " << report.message;
  return a;
}

// ---------------------------------------------------------------------------
// TestPdo

namespace {

// The status TestPdo devices complete USB requests with, and how many they saw.
// One test at a time uses them; atomics since requests may come from any thread.
std::atomic<NTSTATUS> pdo_usb_status{STATUS_DEVICE_NOT_CONNECTED};
std::atomic<size_t> pdo_usb_requests{0};

NTSTATUS pdo_internal_control(PDEVICE_OBJECT, PIRP irp) {
  pdo_usb_requests++;
  NTSTATUS status = pdo_usb_status.load();
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

} // namespace

TestPdo::TestPdo(NTSTATUS usb_status) {
  pdo_usb_status = usb_status;
  pdo_usb_requests = 0;
  driver_ = platform::driver_create(u"\\Driver\\TestBus");
  if (driver_ == nullptr) {
    ADD_FAILURE() << "no driver object for the test bus";
    return;
  }
  driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = pdo_internal_control;
  NTSTATUS status = IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device_);
  if (!NT_SUCCESS(status))
    ADD_FAILURE() << "no physical device object: status " << std::hex << status;
  else
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

TestPdo::~TestPdo() {
  if (device_ != nullptr)
    IoDeleteDevice(device_);
  if (driver_ != nullptr)
    platform::driver_delete(driver_);
}

size_t TestPdo::usb_requests() const {
  return pdo_usb_requests.load();
}

// ---------------------------------------------------------------------------
// DebugLog

DebugLog::DebugLog(std::shared_ptr<platform::LineRecorder> recorder)
    : recorder_(recorder ? std::move(recorder) : std::make_shared<platform::LineRecorder>()) {
  device_ = std::make_unique<platform::DebugDeviceScope>(recorder_);
  if (!NT_SUCCESS(device_->status()))
    ADD_FAILURE() << "no debug device";
  StartDebugMsg();
}

DebugLog::~DebugLog() {
  device_.reset();
  // The channel keeps the procedure, which drops messages without a device.
  StartDebugMsg();
}

size_t DebugLog::count_exact(const std::string &line) const {
  size_t n = 0;
  for (const std::string &message : recorder_->lines())
    n += message == line ? 1 : 0;
  return n;
}
