// The fixture of the frame-acquisition tests: the camera rig (driver, host, bus,
// emulated camera) with every debug message of level 3 and below recorded, and
// helpers to open the capture pin, run it and stream frames. TearDown closes the
// pin and removes the device before the host's and the platform's accounting
// are checked.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/capture/capture_rig.h"
#include "tests/streamclass/host_test.h"

class CaptureTest : public HostTest {
protected:
  void SetUp() override;
  void release_host_objects() override;

  // A camera that answers at once over an unlimited link, with the scene's
  // pictures: the fastest set-up for tests that do not look at timing.
  static emu::CameraConfig fast_camera();
  // The same camera playing the JPEG files given (written to a folder of the
  // test), in a loop, in the order given.
  emu::CameraConfig file_camera(const std::vector<std::vector<uint8_t>> &pictures);

  // Starts the rig with `config` (fails the test when it does not start).
  void start(const emu::CameraConfig &config);
  // Opens the capture pin (height < 0: top-down); fails the test when refused.
  void open(LONG width = 320, LONG height = 240);
  // Sets the pin's state and checks that it was accepted.
  void set_state(KSSTATE state);
  // Opens, runs and starts a frame stream of `buffers` buffers on the pin.
  void stream(unsigned buffers = 4, LONG width = 320, LONG height = 240, bool keep_data = true);
  // Closes the pin (the frame stream goes after it).
  void close();

  PHW_DEVICE_EXTENSION extension() const { return rig_->extension(); }
  STREAMEX &stream_extension() const { return *static_cast<PSTREAMEX>(pin_->stream_extension()); }
  // Recorded messages equal to `line`.
  size_t log_count(const std::string &line) const { return log_->count_exact(line); }

  std::unique_ptr<DebugLog> log_;
  std::unique_ptr<captest::CameraRig> rig_;
  std::unique_ptr<streamclass::Pin> pin_;
  std::unique_ptr<captest::FrameStream> stream_;
  std::filesystem::path picture_dir_;
};
