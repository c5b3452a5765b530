// The camera driver started and removed by the stream class host over the USB bus
// driver, with a scripted device of the camera's USB identity.
#include "emulator/usb/scripted_device.h"
#include "platform/streamclass/ks_guids.h"
#include "platform/usbbus/usb_bus.h"
#include "tests/adapter/adapter_fixture.h"

using namespace streamclass;

namespace {

class AdapterStart : public AdapterHost {
protected:
  void SetUp() override {
    AdapterHost::SetUp();
    bus_ = std::make_unique<usbbus::UsbBus>(std::make_shared<emu::ScriptedUsbDevice>());
    ASSERT_NE(bus_->physical_device_object(), nullptr);
  }
  void release_host_objects() override {
    AdapterHost::release_host_objects();
    bus_.reset();
  }
  // The lines of `wanted`, in the order they were logged (others skipped).
  std::vector<std::string> logged(const std::vector<std::string> &wanted) {
    std::vector<std::string> seen;
    for (const std::string &line : log_->lines())
      if (std::find(wanted.begin(), wanted.end(), line) != wanted.end())
        seen.push_back(line);
    return seen;
  }
  std::unique_ptr<usbbus::UsbBus> bus_;
};

// Start and removal on a working bus: makes sure the start sequence reaches the
// driver in order, initialization succeeds, each kind of removal reaches its
// handler, and uninitialization releases the USB blocks of initialization (the pool
// check at the end of each test). Example failure: SRB_GET_STREAM_INFO sent before
// initialization has announced the descriptor's size.

TEST_F(AdapterStart, StartOnTheCameraBusSucceeds) {
  ASSERT_EQ(driver_->start_device(bus_->physical_device_object(), adapter_), STATUS_SUCCESS);
  EXPECT_TRUE(adapter_->started());
  EXPECT_EQ(logged({"AdapterQueue not Initialized\n", "SRB_INITIALIZE_DEVICE\n", "SRB_GET_STREAM_INFO\n",
                    "SRB_INITIALIZATION_COMPLETE\n"}),
            (std::vector<std::string>{"AdapterQueue not Initialized\n", "SRB_INITIALIZE_DEVICE\n",
                                      "SRB_GET_STREAM_INFO\n", "SRB_INITIALIZATION_COMPLETE\n"}));
  EXPECT_EQ(extension()->pRealPhysicalDeviceObject, bus_->physical_device_object());
  EXPECT_EQ(extension()->pStrmEx[0], nullptr);
  EXPECT_EQ(extension()->AdapterSRBInProcess, 0u);
}

// The stream descriptor and data intersection through the host: makes sure the
// application sees the driver's capture stream and gets a concrete format for one of
// its ranges in two steps. Example failure: a descriptor copied short of the stream's
// information.

TEST_F(AdapterStart, ApplicationSeesTheCaptureStreamAndIntersectsItsRanges) {
  ASSERT_EQ(driver_->start_device(bus_->physical_device_object(), adapter_), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->stream_info_status(), STATUS_SUCCESS);
  ASSERT_EQ(adapter_->stream_count(), 1u);
  EXPECT_TRUE(IsEqualGUID(*adapter_->stream_information(0)->Name, PINNAME_VIDEO_CAPTURE));
  auto ranges = adapter_->data_ranges(0);
  ASSERT_EQ(ranges.size(), 2u);
  ASSERT_EQ(ranges[1].size(), sizeof(KS_DATARANGE_VIDEO));
  std::vector<uint8_t> format;
  ASSERT_EQ(adapter_->intersect(0, ranges[1], format), STATUS_SUCCESS);
  ASSERT_EQ(format.size(), 152u);
  const auto *video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER *>(format.data());
  EXPECT_EQ(video->DataFormat.FormatSize, 152u);
  EXPECT_EQ(video->DataFormat.SampleSize, 57600u);
  EXPECT_EQ(video->VideoInfoHeader.bmiHeader.biSizeImage, 57600u);
}

TEST_F(AdapterStart, OrderlyRemovalUninitializes) {
  ASSERT_EQ(driver_->start_device(bus_->physical_device_object(), adapter_), STATUS_SUCCESS);
  log_->clear();
  EXPECT_EQ(adapter_->remove(RemovalKind::Orderly), STATUS_SUCCESS);
  EXPECT_EQ(log_->lines(),
            (std::vector<std::string>{"SRB_UNINITIALIZE_DEVICE\n", "AdapterUnInitializeDevice\n"}));
}

TEST_F(AdapterStart, SurpriseRemovalResetsThePort) {
  ASSERT_EQ(driver_->start_device(bus_->physical_device_object(), adapter_), STATUS_SUCCESS);
  const uint64_t requests = bus_->counters().requests;
  EXPECT_EQ(adapter_->remove(RemovalKind::Surprise), STATUS_SUCCESS);
  EXPECT_GT(bus_->counters().requests, requests);
  EXPECT_EQ(logged({"SRB_SURPRISE_REMOVAL\n", "AdapterSurpriseRemoval\n",
                    "AdapterSurpriseRemoval Completed\n", "AdapterUnInitializeDevice\n"}),
            (std::vector<std::string>{"SRB_SURPRISE_REMOVAL\n", "AdapterSurpriseRemoval\n",
                                      "AdapterSurpriseRemoval Completed\n", "AdapterUnInitializeDevice\n"}));
}

} // namespace
