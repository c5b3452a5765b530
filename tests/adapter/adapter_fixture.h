// The camera driver loaded through the stream class host, with a device added over
// a stand-in physical device object whose USB requests fail, and every debug
// message recorded. A gate in the recorder can hold the thread that logs a given
// line, so that a test can keep an adapter request "in progress" while it delivers
// others.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "adapter/adapter.h"
#include "tests/streamclass/host_test.h"

// A line recorder that can stop the thread that logs `trigger` (the first time it
// does, after recording it) until the gate is opened.
class GatedRecorder : public platform::LineRecorder {
public:
  void write(const char *text) override {
    platform::LineRecorder::write(text);
    if (observer_)
      observer_(text);
    std::unique_lock lock(mutex_);
    if (!armed_ || trigger_ != text)
      return;
    armed_ = false;
    held_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
    held_ = false;
  }
  // Holds the next thread that logs `trigger`.
  void arm(const std::string &trigger) {
    std::lock_guard lock(mutex_);
    trigger_ = trigger;
    armed_ = true;
    open_ = false;
  }
  // Waits until a thread is held at the gate.
  bool wait_held(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return held_; });
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  // Calls `observer` with every message, on the logging thread. Set before messages
  // are logged concurrently.
  void observe(std::function<void(const char *)> observer) { observer_ = std::move(observer); }

private:
  std::function<void(const char *)> observer_;
  std::mutex mutex_; // protects the members below
  std::condition_variable changed_;
  std::string trigger_;
  bool armed_ = false;
  bool held_ = false;
  bool open_ = true;
};

// "%08X" of an address, as the driver logs it (its low 32 bits).
inline std::string hex8(const void *address) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(address)));
  return text;
}

class AdapterHost : public HostTest {
protected:
  void SetUp() override {
    HostTest::SetUp();
    gate_ = std::make_shared<GatedRecorder>();
    log_ = std::make_unique<DebugLog>(gate_);
    pdo_ = std::make_unique<TestPdo>();
    ASSERT_EQ(streamclass::load_driver(DriverEntry, driver_), STATUS_SUCCESS);
  }

  void release_host_objects() override {
    gate_->open();
    adapter_.reset();
    driver_.reset();
    pdo_.reset();
    log_.reset();
  }

  // Adds a device of the camera driver (no request sent).
  void add_device() { ASSERT_EQ(driver_->add_device(pdo_->device(), adapter_), STATUS_SUCCESS); }

  // SRB_INITIALIZE_DEVICE with the configuration of the added device, as the host's
  // start fills it.
  std::shared_ptr<streamclass::Request> make_initialize() {
    auto initialize = adapter_->make_request(SRB_INITIALIZE_DEVICE);
    auto *config = initialize->add_record<PORT_CONFIGURATION_INFORMATION>();
    config->SizeOfThisPacket = sizeof(*config);
    config->HwDeviceExtension = adapter_->device_extension();
    config->ClassDeviceObject = adapter_->class_device_object();
    config->PhysicalDeviceObject = pdo_->device();
    config->RealPhysicalDeviceObject = pdo_->device();
    config->Irp = initialize->srb().Irp;
    initialize->srb().CommandData.ConfigInfo = config;
    return initialize;
  }

  // Adds a device and sends SRB_INITIALIZE_DEVICE, which fails on the stand-in bus;
  // the adapter queue is set up all the same.
  void add_initialized_device() {
    add_device();
    NTSTATUS status = adapter_->call(make_initialize());
    ASSERT_FALSE(NT_SUCCESS(status));
  }

  // Sends an adapter request and waits for it; its status.
  NTSTATUS send(SRB_COMMAND command) { return adapter_->call(adapter_->make_request(command)); }

  PHW_DEVICE_EXTENSION extension() const {
    return static_cast<PHW_DEVICE_EXTENSION>(adapter_->device_extension());
  }

  std::shared_ptr<GatedRecorder> gate_;
  std::unique_ptr<DebugLog> log_;
  std::unique_ptr<TestPdo> pdo_;
  std::unique_ptr<streamclass::Driver> driver_;
  std::unique_ptr<streamclass::Adapter> adapter_;
};
