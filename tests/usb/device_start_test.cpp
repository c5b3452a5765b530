// Device initialization, as the host's start sends it, over the bus to scripted and lying devices.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "tests/usb/usb_fixture.h"

namespace usbtest {
namespace {

using emu::UsbIdentityVariant;
using namespace std::chrono_literals;

class DeviceStartTest : public UsbTest {
protected:
  // Plugs a scripted device of `variant` without starting the driver.
  void plug(UsbIdentityVariant variant = UsbIdentityVariant::Camera) {
    device_ = std::make_shared<emu::ScriptedUsbDevice>(variant);
    ASSERT_TRUE(rig_.plug(device_));
  }
};

// What a device is changed into before the start.
struct Change {
  int offset = -1; // configuration descriptor byte replaced by `value`
  uint8_t value = 0;
  uint8_t stall = 0;         // descriptor type whose GET_DESCRIPTOR stalls
  bool short_device = false; // an 8-byte device descriptor
  int delay_ms = 0;          // every control request pended this long
};

// Makes sure the start finds the pipes in any order or company and resets IN then OUT, or ends with its
// step's error before walking a lie. Catches the IN pipe not reset, a wrong pipe index, a walk past the bytes
// returned.
TEST_F(DeviceStartTest, FindsAndResetsThePipesOrEndsWithTheStepsError) {
  using V = UsbIdentityVariant;
  struct Case {
    const char *what;
    V variant;
    Change change;
    const char *line;      // a line the start logs once
    int in = -1, out = -1; // pipe indices found; -1: the start fails
    int walked = 0;        // descriptors walked
  };
  const char *bad = "ERROR:GetConfigurationDescriptor status 0xC000000D\n";
  const Case cases[] = {
      {"camera", V::Camera, {}, "GetConfigurationDescriptor 00000020 00000209 \n", 0, 1, 4},
      {"OUT pipe first", V::OutPipeFirst, {}, "Find OutPipe 0\n", 1, 0, 4},
      {"interrupt pipe first", V::ExtraInterruptPipe, {}, "Find InPipe 1\n", 1, 2, 5},
      {"two interfaces", V::TwoInterfaces, {}, "    bInterfaceNumber   =0x02\n", 0, 1, 6},
      {"600 bytes", V::Long600, {}, "GetConfigurationDescriptor 00000258 00000458 \n", 0, 1, 12},
      {"three interfaces counted", V::Camera, {.offset = 4, .value = 3}, "Find OutPipe 1\n", 0, 1, 4},
      {"every request pended", V::Camera, {.delay_ms = 10}, "Find OutPipe 1\n", 0, 1, 4},
      {"device descriptor stalls", V::Camera, {.stall = 1}, "ERROR:GetDeviceDescriptor status 0xC0000001\n"},
      {"pended stall",
       V::Camera,
       {.stall = 1, .delay_ms = 10},
       "ERROR:GetDeviceDescriptor status 0xC0000001\n"},
      {"short device descriptor",
       V::Camera,
       {.short_device = true},
       "QRNUSB_GetDeviceDescriptor:ERROR bad descriptor RetLen=0x8\n"},
      {"configuration stalls",
       V::Camera,
       {.stall = 2},
       "ERROR:GetConfigurationDescriptor status 0xC0000001\n"},
      {"too long to read",
       V::Camera,
       {.offset = 3, .value = 0xFE},
       "QRNUSB_GetConfigurationDescriptor:ERROR wTotalLength=0xfe20 too long\n"},
      {"total length beyond the bytes", V::Camera, {.offset = 2, .value = 40}, bad},
      {"total length below the header", V::Camera, {.offset = 2, .value = 4}, bad},
      {"header of another type", V::Camera, {.offset = 1, .value = 4}, bad},
      {"zero-length interface", V::Camera, {.offset = 9, .value = 0}, bad},
      {"short endpoint", V::Camera, {.offset = 18, .value = 5}, bad},
      {"endpoint past the end", V::Camera, {.offset = 25, .value = 8}, bad},
      {"more endpoints than described",
       V::Camera,
       {.offset = 13, .value = 3},
       "ERROR:QRNUSB_SelectConfiguration status 0xC000000D\n"},
      {"alternate setting 1 only", V::AltSetting1Only, {}, "QRNUSB_SelectInterface:ERROR No Interface\n"},
      {"18 pipes", V::ManyPipes, {}, "QRNUSB_SelectInterface:ERROR Interface too large Pipes=18\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(plug(c.variant));
    const auto identity = emu::usb_configuration_descriptor(c.variant);
    std::vector<uint8_t> lie(identity.begin(), identity.end());
    if (c.change.offset >= 0 && (lie[static_cast<size_t>(c.change.offset)] = c.change.value, true))
      device_->set_configuration_descriptor(lie);
    if (c.change.stall != 0)
      device_->stall_descriptor(c.change.stall);
    if (c.change.short_device)
      device_->set_device_descriptor(emu::usb_device_descriptor().first(8));
    rig_.bus().set_control_delay(std::chrono::milliseconds(c.change.delay_ms));
    const NTSTATUS status = rig_.start();
    EXPECT_EQ(log_count(c.line), 1u);
    const std::vector<std::string> lines = log();
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(), [](auto &l) { return l.starts_with("SetEachDescriptor"); }),
        c.walked);
    if (c.in < 0) {
      EXPECT_TRUE(!NT_SUCCESS(status) && device_->pipe_resets().empty());
    } else {
      ASSERT_EQ(status, STATUS_SUCCESS);
      PHW_DEVICE_EXTENSION ext = rig_.extension();
      EXPECT_TRUE(ext->InPipeIndex == ULONG(c.in) && ext->OutPipeIndex == ULONG(c.out));
      EXPECT_EQ(device_->pipe_resets(), (std::vector<uint8_t>{emu::kCameraBulkIn, emu::kCameraBulkOut}));
      EXPECT_EQ(device_->configuration(), 1);
      EXPECT_EQ(ext->pInterfaceInformation->Pipes[ext->InPipeIndex].MaximumTransferSize, 0x10000u);
      EXPECT_EQ(std::memcmp(ext->pDeviceDescriptor, emu::usb_device_descriptor().data(), 18), 0);
      EXPECT_EQ(rig_.bus().counters().completed_later > 0, c.change.delay_ms > 0);
    }
    end_round(c.what);
    clear_log();
  }
}

// Makes sure an unanswered control request ends after 3 s with STATUS_TIMEOUT, cancelled before the call
// returns. Catches a wrong limit, a lost time-out, a late completion's write.
TEST_F(DeviceStartTest, SilentDeviceTimesOutAfterThreeSeconds) {
  ASSERT_NO_FATAL_FAILURE(plug());
  rig_.bus().set_control_delay(60s);
  const auto began = std::chrono::steady_clock::now();
  EXPECT_FALSE(NT_SUCCESS(rig_.start()));
  const auto waited = std::chrono::steady_clock::now() - began;
  EXPECT_GE(waited, 3s);
  EXPECT_LT(waited, rig::under_sanitizer() ? 10s : 5s);
  EXPECT_EQ(log_count("ERROR:GetDeviceDescriptor status 0x00000102\n"), 1u);
  EXPECT_TRUE(rig_.bus().wait_idle(5000ms));
  EXPECT_EQ(rig_.bus().counters().cancelled, 1u);
}

} // namespace
} // namespace usbtest
