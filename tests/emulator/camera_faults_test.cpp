// The emulated camera's fault knobs: those whose effect the driver cannot show have it, once; the same seed,
// the same run. (Their syntax: the settings here and in the stress tests, and the tool's refusal of a bad
// one.)
#include "emulator/camera/faults.h"
#include "tests/emulator/camera_host.h"
#include "tests/support/rig_test.h"

namespace camtest {
namespace {

using emu::Fault;

class CameraFaultsTest : public RigTest {};

emu::CameraConfig with_fault(const std::string &setting) {
  emu::CameraConfig config = quick_config();
  config.faults.seed = 7;
  EXPECT_EQ(emu::fault_plan_apply(&config.faults, setting), "");
  return config;
}

// Makes sure the faults whose effect the driver's results do not show have theirs, injected once: a data
// packet's checksum spoiled, the focus's second reply held for 5 s. Catches a fault that does nothing. (The
// other faults' effects, and where they fire: protocol/camera_pictures_test.cpp,
// capture/frame_delivery_test.cpp, capture/transfer_thread_test.cpp and the control tests.)
TEST_F(CameraFaultsTest, FaultsTheDriverCannotShowHaveTheirEffect) {
  for (const char *setting : {"picture-checksum@1", "focus-slow@1"}) {
    SCOPED_TRACE(setting);
    TestHost host(with_fault(setting));
    if (setting[0] == 'p')
      EXPECT_EQ(host.next_picture().bad_sums, 1);
    else
      EXPECT_TRUE(host.sent(kFocusCommand) && host.read() == kAck && host.read() == kEnq &&
                  host.now == 5'000'000'000);
    EXPECT_EQ(host.camera.faults().injected_total(), 1u);
  }
}

// Runs 40 pictures and zoom readings under every fault at 20% (but those that end the conversation): the
// transcript of every packet read and every write's result.
Bytes faulty_session(uint64_t seed, uint64_t *injected) {
  emu::CameraConfig config = quick_config();
  config.faults.seed = seed;
  for (const emu::FaultInfo &info : emu::kFaultTable)
    if (info.fault != Fault::Disconnect && info.fault != Fault::StopAnswering &&
        info.fault != Fault::LostPacket)
      config.faults.knobs[static_cast<size_t>(info.fault)].rate = 0.2;
  TestHost host(config);
  Bytes transcript;
  for (int i = 0; i < 40; ++i) {
    for (const Bytes *command : {&kSizeCommand, &kPictureCommand, &kZoomGetCommand}) {
      transcript.push_back(static_cast<uint8_t>(host.send(*command)));
      for (std::optional<Bytes> raw; (raw = host.read());) {
        transcript.insert(transcript.end(), raw->begin(), raw->end());
        if (raw->size() == 1)
          break;
        transcript.push_back(static_cast<uint8_t>(host.send(kAck)));
        if ((*raw)[0] == 0x03)
          break;
      }
    }
  }
  *injected = host.camera.faults().injected_total();
  return transcript;
}

// Makes sure the same seed gives the same run, another seed another. Catches faults drawn from an unseeded or
// shared generator.
TEST_F(CameraFaultsTest, SameSeedSameRun) {
  uint64_t injected_a = 0, injected_b = 0, injected_c = 0;
  const Bytes a = faulty_session(42, &injected_a);
  EXPECT_EQ(faulty_session(42, &injected_b), a);
  EXPECT_EQ(injected_a, injected_b);
  EXPECT_GT(injected_a, 20u);
  EXPECT_NE(faulty_session(43, &injected_c), a);
}

} // namespace
} // namespace camtest
