// The stream class host: registration, loading, device start and removal, the
// stream descriptor, and the application calls that are adapter requests.
#include <cstring>

#include "platform/kernel/control.h"
#include "platform/streamclass/ks_guids.h"
#include "tests/streamclass/test_driver_fixture.h"

using namespace streamclass;

namespace {

class HostStart : public TestDriverHost {};

// Registration and loading: makes sure the host keeps what DriverEntry registered
// for its driver object and refuses unusable registrations. Example failure: a
// registration kept by copy of a stack record that is gone, or a driver that
// registered nothing taken for loaded.

TEST_F(HostStart, DriverThatRegistersNothingDoesNotLoad) {
  std::unique_ptr<Driver> loaded;
  EXPECT_EQ(load_driver(testdriver::DriverEntryWithoutRegistration, loaded), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(loaded, nullptr);
}

TEST_F(HostStart, RegistrationOfTheWrongSizeOrWithoutCallbackIsRefused) {
  PDRIVER_OBJECT object = platform::driver_create(u"\\Driver\\Refused");
  HW_INITIALIZATION_DATA data{};
  data.HwInitializationDataSize = sizeof(data) - 4;
  data.HwReceivePacket = [](PHW_STREAM_REQUEST_BLOCK) {};
  EXPECT_EQ(StreamClassRegisterAdapter(object, nullptr, &data), STATUS_INVALID_PARAMETER);
  data.HwInitializationDataSize = sizeof(data);
  data.HwReceivePacket = nullptr;
  EXPECT_EQ(StreamClassRegisterAdapter(object, nullptr, &data), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(StreamClassRegisterAdapter(nullptr, nullptr, &data), STATUS_INVALID_PARAMETER);
  platform::driver_delete(object);
}

// Device start: makes sure SRB_INITIALIZE_DEVICE comes first and alone with a
// filled configuration and a zero-filled device extension, then the descriptor,
// then SRB_INITIALIZATION_COMPLETE, and that a failed initialization ends the
// start. Example failure: the descriptor asked for before the driver has set its
// size, or a failed start that leaves device objects behind.

TEST_F(HostStart, StartSendsInitializeThenStreamInfoThenInitializationComplete) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  EXPECT_EQ(testdriver::commands(), (std::vector<SRB_COMMAND>{SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO,
                                                              SRB_INITIALIZATION_COMPLETE}));
  for (const testdriver::Received &r : testdriver::received()) {
    EXPECT_TRUE(r.extension_given);
    EXPECT_TRUE(r.irp_given);
    EXPECT_EQ(r.flags, 0u);
  }
  EXPECT_TRUE(adapter_->started());
  EXPECT_EQ(adapter_->stream_info_status(), STATUS_SUCCESS);
}

TEST_F(HostStart, InitializeCarriesTheConfigurationOfTheDeviceStack) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  PORT_CONFIGURATION_INFORMATION config = testdriver::initialize_config();
  EXPECT_EQ(config.SizeOfThisPacket, sizeof(PORT_CONFIGURATION_INFORMATION));
  EXPECT_EQ(config.HwDeviceExtension, adapter_->device_extension());
  EXPECT_EQ(config.ClassDeviceObject, adapter_->class_device_object());
  EXPECT_EQ(config.PhysicalDeviceObject, pdo());
  EXPECT_EQ(config.RealPhysicalDeviceObject, pdo());
  EXPECT_EQ(pdo()->AttachedDevice, adapter_->class_device_object());
  EXPECT_NE(config.Irp, nullptr);
  // The driver's extension sits inside the class device object's extension, behind
  // the host's own header.
  EXPECT_NE(adapter_->class_device_object()->DeviceExtension, adapter_->device_extension());
}

TEST_F(HostStart, DeviceExtensionIsZeroFilledWhenTheDriverFirstSeesIt) {
  std::unique_ptr<Adapter> added;
  ASSERT_EQ(driver().add_device(pdo(), added), STATUS_SUCCESS);
  const auto *bytes = static_cast<const uint8_t *>(added->device_extension());
  for (ULONG i = 0; i < driver().registration().DeviceExtensionSize; i++)
    ASSERT_EQ(bytes[i], 0) << "byte " << i;
  EXPECT_FALSE(added->started());
  EXPECT_EQ(added->remove(), STATUS_SUCCESS);
  EXPECT_TRUE(testdriver::commands().empty()); // never started: nothing to tell the driver
}

TEST_F(HostStart, FailedInitializationEndsTheStartWithItsStatus) {
  pdo();
  const size_t devices = platform::devices_live();
  testdriver::set_action(SRB_INITIALIZE_DEVICE, testdriver::Action::Complete, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(start(), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(adapter_, nullptr);
  EXPECT_EQ(testdriver::commands(), std::vector<SRB_COMMAND>{SRB_INITIALIZE_DEVICE});
  EXPECT_EQ(platform::devices_live(), devices);
  EXPECT_EQ(pdo()->AttachedDevice, nullptr);
}

TEST_F(HostStart, FailedStreamInfoLeavesTheDeviceStartedWithoutStreams) {
  testdriver::set_action(SRB_GET_STREAM_INFO, testdriver::Action::Complete, STATUS_NOT_IMPLEMENTED);
  ASSERT_EQ(start(), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->stream_info_status(), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(adapter_->stream_count(), 0u);
  EXPECT_EQ(adapter_->stream_header(), nullptr);
  EXPECT_TRUE(adapter_->data_ranges(0).empty());
  std::unique_ptr<Pin> pin;
  std::vector<uint8_t> format(sizeof(KSDATAFORMAT));
  reinterpret_cast<KSDATAFORMAT *>(format.data())->FormatSize = sizeof(KSDATAFORMAT);
  EXPECT_EQ(adapter_->open_pin(0, format, pin), STATUS_INVALID_PARAMETER);
}

TEST_F(HostStart, DescriptorSizeTooSmallIsReportedAndNoStreamIsRead) {
  quiet_misuse();
  testdriver::set_descriptor_size(8);
  ASSERT_EQ(start(), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->stream_count(), 0u);
  EXPECT_EQ(take_misuse_reports(platform::MisuseCategory::Device), 1u);
  // The descriptor was never asked for.
  EXPECT_EQ(testdriver::commands(),
            (std::vector<SRB_COMMAND>{SRB_INITIALIZE_DEVICE, SRB_INITIALIZATION_COMPLETE}));
}

// Adapter requests of the application: makes sure properties and intersection
// become the right request blocks and their answers come back, and
// that sizes below a published item's minimum never reach the driver. Example
// failure: a Get that returns stale bytes, or a too-small buffer handed on.

TEST_F(HostStart, DevicePropertyGetAndSetGoThroughTheDriver) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  KSPROPERTY_CAMERACONTROL_S zoom{};
  zoom.Property.Set = PROPSETID_VIDCAP_CAMERACONTROL;
  zoom.Property.Id = KSPROPERTY_CAMERACONTROL_ZOOM;
  zoom.Value = 70;
  EXPECT_EQ(adapter_->set_property(zoom), STATUS_SUCCESS);
  EXPECT_EQ(testdriver::zoom(), 70);
  zoom.Value = 0;
  ULONG returned = 0;
  EXPECT_EQ(adapter_->get_property(zoom, &returned), STATUS_SUCCESS);
  EXPECT_EQ(zoom.Value, 70);
  EXPECT_EQ(zoom.Capabilities, static_cast<ULONG>(KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL));
  EXPECT_EQ(returned, sizeof(zoom));
}

TEST_F(HostStart, PropertyBufferBelowThePublishedMinimumIsRefused) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  KSPROPERTY_CAMERACONTROL_S zoom{};
  zoom.Property.Set = PROPSETID_VIDCAP_CAMERACONTROL;
  zoom.Property.Id = KSPROPERTY_CAMERACONTROL_ZOOM;
  std::vector<uint8_t> small(36);
  auto property = std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(&zoom), sizeof(zoom));
  EXPECT_EQ(adapter_->get_property(property, small), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(adapter_->get_property(property.first(sizeof(KSPROPERTY)), std::span<uint8_t>(small)),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(adapter_->get_property(property.first(8), std::span<uint8_t>(small)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(testdriver::commands().size(), 3u); // the start's requests only
}

TEST_F(HostStart, IntersectionAsksForTheSizeFirst) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  auto range = adapter_->data_ranges(0)[0];
  std::vector<uint8_t> format;
  EXPECT_EQ(adapter_->intersect(0, range, format), STATUS_SUCCESS);
  EXPECT_EQ(format, range);
  auto commands = testdriver::commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), SRB_GET_DATA_INTERSECTION), 2);

  ULONG actual = 0;
  EXPECT_EQ(adapter_->intersect_once(0, range, 0, format, &actual), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(actual, range.size());
  EXPECT_TRUE(format.empty());
  EXPECT_EQ(adapter_->intersect_once(0, range, 63, format, &actual), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(HostStart, RangeWhoseFormatSizeExceedsItsBytesIsRefused) {
  ASSERT_EQ(start(), STATUS_SUCCESS);
  auto range = adapter_->data_ranges(0)[0];
  reinterpret_cast<KSDATARANGE *>(range.data())->FormatSize = 65;
  std::vector<uint8_t> format;
  EXPECT_EQ(adapter_->intersect(0, range, format), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(adapter_->intersect(0, std::span<const uint8_t>(range).first(10), format),
            STATUS_INVALID_PARAMETER);
}

// Removal: makes sure the driver is told once, the open pin is closed, calls after
// removal are refused and the device objects go. Example failure: a pin left open
// whose driver state outlives the device extension.

TEST_F(HostStart, OrderlyRemovalClosesThePinThenUninitializes) {
  open_pin();
  const size_t before = testdriver::commands().size();
  EXPECT_EQ(adapter_->remove(RemovalKind::Orderly), STATUS_SUCCESS);
  auto commands = testdriver::commands();
  EXPECT_EQ(std::vector<SRB_COMMAND>(commands.begin() + before, commands.end()),
            (std::vector<SRB_COMMAND>{SRB_CLOSE_STREAM, SRB_UNINITIALIZE_DEVICE}));
  EXPECT_FALSE(pin_->is_open());
  EXPECT_TRUE(adapter_->removed());
  EXPECT_EQ(pin_->set_state(KSSTATE_RUN), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(adapter_->change_power_state(PowerDeviceD0), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(adapter_->deliver(adapter_->make_request(SRB_CHANGE_POWER_STATE)), STATUS_DEVICE_REMOVED);
}

TEST_F(HostStart, SurpriseRemovalTellsTheDriverFirst) {
  open_pin();
  const size_t before = testdriver::commands().size();
  EXPECT_EQ(adapter_->remove(RemovalKind::Surprise), STATUS_SUCCESS);
  auto commands = testdriver::commands();
  EXPECT_EQ(std::vector<SRB_COMMAND>(commands.begin() + before, commands.end()),
            (std::vector<SRB_COMMAND>{SRB_SURPRISE_REMOVAL, SRB_CLOSE_STREAM, SRB_UNINITIALIZE_DEVICE}));
  EXPECT_EQ(adapter_->remove(), STATUS_SUCCESS); // once only
  EXPECT_EQ(testdriver::commands().size(), before + 3);
}

TEST_F(HostStart, RemovalDeletesTheDeviceObjects) {
  pdo();
  const size_t devices = platform::devices_live();
  ASSERT_EQ(start(), STATUS_SUCCESS);
  EXPECT_EQ(platform::devices_live(), devices + 1);
  adapter_.reset();
  EXPECT_EQ(platform::devices_live(), devices);
  EXPECT_EQ(pdo()->AttachedDevice, nullptr);
}

// Serialisation for a driver that asks for it: makes sure requests of such a driver
// never overlap. Example failure: a driver without its own queue called twice at once.

TEST_F(HostStart, DriverWithSynchronizationIsCalledOneRequestAtATime) {
  testdriver::set_synchronized(true);
  ASSERT_EQ(start(), STATUS_SUCCESS);
  EXPECT_EQ(driver().registration().TurnOffSynchronization, FALSE);
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; t++)
    threads.emplace_back([&] {
      for (int i = 0; i < 50; i++) {
        auto request = adapter_->make_request(SRB_CHANGE_POWER_STATE);
        request->on_complete([&](Request &) {
          if (inside.fetch_add(1) != 0)
            overlaps++;
          std::this_thread::yield();
          inside.fetch_sub(1);
        });
        EXPECT_EQ(adapter_->call(request), STATUS_SUCCESS);
      }
    });
  for (auto &thread : threads)
    thread.join();
  EXPECT_EQ(overlaps.load(), 0);
}

} // namespace
