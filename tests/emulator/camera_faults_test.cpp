// The emulated camera's fault knobs: each gives the effect it names, at the
// picture it is told or by a seeded draw, and is counted.
#include <gtest/gtest.h>

#include "emulator/camera/faults.h"
#include "tests/emulator/camera_test_host.h"
#include "tests/support/platform_test.h"

using namespace camtest;
using emu::Fault;

namespace {

class CameraFaultsTest : public PlatformTest {
protected:
  static emu::CameraConfig with_fault(const std::string &setting, uint64_t seed = 7) {
    emu::CameraConfig config = quick_config();
    config.faults.seed = seed;
    EXPECT_EQ(emu::fault_plan_apply(&config.faults, setting), "");
    return config;
  }
};

// Makes sure the knob syntax is parsed and refused as documented. Catches a
// tool option that silently does nothing.
TEST_F(CameraFaultsTest, KnobSyntax) {
  emu::FaultPlan plan;
  EXPECT_EQ(emu::fault_plan_apply(&plan, "nak=0.25"), "");
  EXPECT_EQ(emu::fault_plan_apply(&plan, "lost-packet=0.5%"), "");
  EXPECT_EQ(emu::fault_plan_apply(&plan, "size-zero@3"), "");
  EXPECT_EQ(emu::fault_plan_apply(&plan, "size-zero@9"), "");
  EXPECT_EQ(emu::fault_plan_apply(&plan, "disconnect"), "");
  EXPECT_DOUBLE_EQ(plan.knobs[static_cast<size_t>(Fault::Nak)].rate, 0.25);
  EXPECT_DOUBLE_EQ(plan.knobs[static_cast<size_t>(Fault::LostPacket)].rate, 0.005);
  EXPECT_EQ(plan.knobs[static_cast<size_t>(Fault::SizeZero)].at, (std::vector<uint32_t>{3, 9}));
  EXPECT_DOUBLE_EQ(plan.knobs[static_cast<size_t>(Fault::Disconnect)].rate, 1.0);
  EXPECT_NE(emu::fault_plan_apply(&plan, "no-such-fault"), "");
  EXPECT_NE(emu::fault_plan_apply(&plan, "nak=2"), "");
  EXPECT_NE(emu::fault_plan_apply(&plan, "nak=x"), "");
  EXPECT_NE(emu::fault_plan_apply(&plan, "nak@0"), "");
  EXPECT_NE(emu::fault_plan_apply(&plan, "nak@"), "");
  const std::string help = emu::fault_help_text();
  for (const emu::FaultInfo &info : emu::kFaultTable)
    EXPECT_NE(help.find(info.name), std::string::npos) << info.name;
}

// Makes sure the picture faults shape the size answer and the picture as
// named, at the picture number given. Catches a fault firing at the wrong
// picture or with the wrong effect.
TEST_F(CameraFaultsTest, PictureFaultsAtTheirPicture) {
  TestHost clean(quick_config());
  const Fetched p1 = clean.next_picture();
  const Fetched p2 = clean.next_picture();
  ASSERT_TRUE(p1.ok && p2.ok);
  const size_t real = p2.bytes.size();

  struct Case {
    const char *setting;
    void (*check)(const Fetched &, size_t real);
  };
  const Case cases[] = {
      {"size-zero@2",
       [](const Fetched &f, size_t real) {
         EXPECT_EQ(f.announced, 0u);
         EXPECT_EQ(f.bytes.size(), real);
       }},
      {"size-smaller@2",
       [](const Fetched &f, size_t real) {
         EXPECT_LT(f.announced, real);
         EXPECT_EQ(f.bytes.size(), real);
       }},
      {"size-larger@2",
       [](const Fetched &f, size_t real) {
         EXPECT_GT(f.announced, real);
         EXPECT_LE(f.announced, 65536u);
       }},
      {"truncated@2",
       [](const Fetched &f, size_t real) {
         EXPECT_EQ(f.bytes.size(), real / 2);
         EXPECT_EQ(f.announced, real / 2);
       }},
      {"oversized@2",
       [](const Fetched &f, size_t) {
         EXPECT_GT(f.bytes.size(), 65536u);
         EXPECT_EQ(f.announced, f.bytes.size());
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.setting);
    TestHost host(with_fault(c.setting));
    const Fetched first = host.next_picture();
    EXPECT_EQ(first.bytes, p1.bytes) << "picture 1 is untouched";
    const Fetched second = host.next_picture();
    ASSERT_TRUE(second.ok);
    c.check(second, real);
    EXPECT_EQ(host.camera.faults().injected_total(), 1u);
  }
}

// Makes sure a damaged picture keeps its length but not its bytes, and an
// odd-sized one decodes to the odd size. Catches faults that do nothing.
TEST_F(CameraFaultsTest, DamagedAndOddSizedPictures) {
  TestHost clean(quick_config());
  const Fetched good = clean.next_picture();
  TestHost damaged(with_fault("damaged"));
  const Fetched bad = damaged.next_picture();
  ASSERT_EQ(bad.bytes.size(), good.bytes.size());
  EXPECT_NE(bad.bytes, good.bytes);
  EXPECT_EQ(Bytes(bad.bytes.begin(), bad.bytes.begin() + 300),
            Bytes(good.bytes.begin(), good.bytes.begin() + 300))
      << "the headers stay";

  TestHost odd(with_fault("odd-size"));
  const Fetched f = odd.next_picture();
  int w = 0, h = 0;
  Bytes rgb;
  ASSERT_TRUE(decode_jpeg(f.bytes, &w, &h, &rgb));
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
}

// Makes sure checksum faults spoil exactly the packet they name. Catches a
// spoiled size answer that a host would still accept.
TEST_F(CameraFaultsTest, ChecksumFaults) {
  TestHost host(with_fault("size-checksum@1"));
  host.send(kSizeCommand);
  DataPacket packet;
  ASSERT_TRUE(split_data_packet(*host.read(), &packet));
  EXPECT_FALSE(packet.checksum_ok);

  TestHost pictures(with_fault("picture-checksum@1"));
  std::optional<uint32_t> size = pictures.picture_size();
  ASSERT_TRUE(size);
  pictures.send(kPictureCommand);
  int spoiled = 0;
  for (;;) {
    ASSERT_TRUE(split_data_packet(*pictures.read(), &packet));
    spoiled += packet.checksum_ok ? 0 : 1;
    pictures.send(kAck);
    if (packet.type == 0x03)
      break;
  }
  EXPECT_EQ(spoiled, 1);
}

// Makes sure the faults that end transfers do so: NAK instead of a reply,
// write and read errors, a lost packet, a silence that ends with a reset, a
// disconnect. Catches a camera that cannot be brought back after a fault.
TEST_F(CameraFaultsTest, TransferFaults) {
  TestHost nak(with_fault("nak@1"));
  nak.send(kSizeCommand);
  EXPECT_EQ(nak.read(), Bytes{0x15});
  EXPECT_TRUE(nak.next_picture().ok) << "a retry of picture 1 is answered";

  TestHost write(with_fault("write-error@1"));
  EXPECT_EQ(write.send(kSizeCommand), emu::OutResult::Error);
  EXPECT_FALSE(write.read()) << "the camera never saw the command";

  TestHost read(with_fault("read-error@1"));
  read.send(kSizeCommand);
  int64_t ready = 0;
  ASSERT_EQ(read.camera.in_state(read.now, &ready), emu::InState::Ready);
  EXPECT_TRUE(read.camera.take_in(read.now)->bus_error);

  TestHost lost(with_fault("lost-packet@1"));
  lost.send(kSizeCommand);
  EXPECT_EQ(lost.camera.in_state(lost.now, &ready), emu::InState::Nothing);
  EXPECT_EQ(lost.camera.state().phase, emu::CameraState::Phase::SizeSent) << "the camera believes it sent it";
  lost.camera.reset(lost.now);
  EXPECT_TRUE(lost.next_picture().ok);

  TestHost silent(with_fault("stop-answering@2"));
  EXPECT_TRUE(silent.next_picture().ok);
  silent.send(kSizeCommand);
  EXPECT_FALSE(silent.read());
  silent.send(kZoomGetCommand);
  EXPECT_FALSE(silent.read());
  EXPECT_EQ(silent.camera.counters().ignored_while_silent, 1u);
  silent.camera.reset(silent.now);
  EXPECT_TRUE(silent.next_picture().ok);

  TestHost gone(with_fault("disconnect@1"));
  EXPECT_EQ(gone.send(kSizeCommand), emu::OutResult::Gone);
  EXPECT_EQ(gone.camera.in_state(gone.now, &ready), emu::InState::Gone);
  EXPECT_EQ(gone.send(kAck), emu::OutResult::Gone);
}

// Makes sure the focus and zoom faults answer as named. Catches a focus
// fault that still sends ENQ.
TEST_F(CameraFaultsTest, FocusAndZoomFaults) {
  TestHost slow(with_fault("focus-slow@1"));
  slow.send(kFocusCommand);
  EXPECT_EQ(slow.read(), Bytes{0x06});
  EXPECT_EQ(slow.read(), Bytes{0x05});
  EXPECT_EQ(slow.now, 5'000'000'000);

  TestHost fail(with_fault("focus-fail@2"));
  fail.send(kFocusCommand);
  EXPECT_EQ(fail.read(), Bytes{0x06});
  EXPECT_EQ(fail.read(), Bytes{0x05});
  fail.send(kFocusCommand);
  EXPECT_EQ(fail.read(), Bytes{0x06});
  EXPECT_EQ(fail.read(), Bytes{0x06});
  EXPECT_FALSE(fail.read());

  TestHost zoom(with_fault("zoom-high"));
  zoom.send(kZoomGetCommand);
  DataPacket packet;
  ASSERT_TRUE(split_data_packet(*zoom.read(), &packet));
  EXPECT_EQ(packet.data[0], 150);
}

// Runs a session of 40 pictures with zoom reads under every fault at 20%
// and returns its transcript (every packet read, every write result).
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
      for (int k = 0; k < 64; ++k) {
        std::optional<Bytes> raw = host.read();
        if (!raw)
          break;
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

// Makes sure the same seed gives the same run and another seed another run.
// Catches faults drawn from an unseeded or shared generator.
TEST_F(CameraFaultsTest, SameSeedSameRun) {
  uint64_t injected_a = 0, injected_b = 0, injected_c = 0;
  const Bytes a = faulty_session(42, &injected_a);
  const Bytes b = faulty_session(42, &injected_b);
  const Bytes c = faulty_session(43, &injected_c);
  EXPECT_EQ(a, b);
  EXPECT_EQ(injected_a, injected_b);
  EXPECT_GT(injected_a, 20u);
  EXPECT_NE(a, c);
}

} // namespace
