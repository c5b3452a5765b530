// The emulated camera's fault knobs: each has its effect, where it is told, once; the same seed, the same
// run. (Their syntax: the settings here and in the stress tests, and the tool's refusal of a bad one.)
#include <algorithm>
#include <functional>

#include "emulator/camera/faults.h"
#include "tests/emulator/camera_host.h"
#include "tests/support/pictures.h"
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

// Makes sure each fault has the effect it names where it is told to fire (an @2 picture fault leaves picture
// 1 clean), injected once. Catches a fault at the wrong picture or with the wrong effect. (Faults whose
// effect the driver's results show: protocol/camera_pictures_test.cpp and the control tests.)
TEST_F(CameraFaultsTest, EachFaultHasItsEffect) {
  TestHost clean(quick_config());
  const Fetched first = clean.next_picture();
  const Fetched second = clean.next_picture();
  ASSERT_TRUE(first.ok && second.ok);
  const struct {
    const char *setting;
    bool second; // a picture fault at picture 2: pictures 1 and 2 are fetched first, 2 checked
    std::function<bool(TestHost &h, const Fetched &f)> holds;
  } cases[] = {
      {"picture-checksum@1", false, [](auto &h, auto &) { return h.next_picture().bad_sums == 1; }},
      {"nak@1", false,
       [](auto &h, auto &) { return h.sent(kSizeCommand) && h.read() == kNak && h.next_picture().ok; }},
      {"size-larger@2", true,
       [&](auto &, auto &f) { return f.announced > f.bytes.size() && f.announced <= 65536; }},
      {"truncated@2", true,
       [&](auto &, auto &f) {
         return f.bytes.size() == second.bytes.size() / 2 && f.announced == f.bytes.size();
       }},
      {"damaged@2", true,
       [&](auto &, auto &f) {
         return f.bytes.size() == second.bytes.size() && f.bytes != second.bytes &&
                std::equal(f.bytes.begin(), f.bytes.begin() + 300, second.bytes.begin()); // the headers stay
       }},
      {"odd-size", false,
       [](auto &h, auto &) { return rig::reference_decode(h.next_picture().bytes, false).width == 640; }},
      {"focus-slow@1", false,
       [](auto &h, auto &) {
         return h.sent(kFocusCommand) && h.read() == kAck && h.read() == kEnq && h.now == 5'000'000'000;
       }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.setting);
    TestHost host(with_fault(c.setting));
    Fetched got;
    if (c.second) {
      EXPECT_EQ(host.next_picture().bytes, first.bytes) << "picture 1 is untouched";
      got = host.next_picture();
    }
    EXPECT_TRUE(c.holds(host, got));
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
