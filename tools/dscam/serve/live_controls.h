// The camera controls of the live page: zoom and the one-touch auto focus,
// through the adapter's camera-control properties.
//
// A zoom set completes at once: the driver moves the camera half a second
// after the last set of a burst, so a slider dragged across its range moves
// the camera once. The camera's zoom is read back (a camera exchange) when a
// status is asked for and the last set is old enough for the camera to have
// moved. An auto focus holds the calling thread, and the frames, for the whole
// focusing cycle; one runs at a time.
//
// Thread-safe: any thread, several at once. Ownership: owns no thread; the
// adapter and the feed are the caller's and outlive it.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "platform/streamclass/camera_control.h"
#include "platform/streamclass/host.h"
#include "tools/dscam/serve/live_feed.h"

namespace dscam {

// The zoom's description as the driver publishes it, and what is known of its position.
struct ZoomFigures {
  bool settable = false; // the driver publishes a zoom that can be set
  long minimum = 0;
  long maximum = 100;
  long step = 1;
  long default_value = 50;
  bool requested_known = false;
  long requested = 0; // the last value set through the page
  bool reading_known = false;
  long reading = 0;  // the camera's zoom as last read back
  std::string error; // why the last reading or set failed (empty when it did not)
};

struct FocusFigures {
  enum class State { Idle, Focusing, Focused, Failed } state = State::Idle;
  unsigned runs = 0;
  std::string error; // why the last run failed
};

class LiveControls {
public:
  // The answer to a control request: an HTTP status and a one-line reason
  // when it is not 2xx.
  struct Outcome {
    int http_status = 200;
    std::string reason;
  };

  // Reads the zoom's description and the camera's zoom (a camera exchange).
  LiveControls(streamclass::Adapter &adapter, LiveFeed &feed);

  // Sets the zoom: 400 outside the published range, 502 when the driver refused.
  Outcome set_zoom(long value);
  // Runs one auto focus: 409 while one runs, 502 when the camera failed it.
  Outcome focus();

  // The figures, after a read-back of the zoom when one is due.
  ZoomFigures zoom();
  FocusFigures focus_figures() const;

  // How long after the last set the camera's zoom is read back.
  static constexpr std::chrono::milliseconds kSettle{800};

private:
  void read_zoom();

  streamclass::Adapter &adapter_;
  LiveFeed &feed_;
  std::mutex focus_mutex_;   // held by the one auto focus running
  std::mutex read_mutex_;    // held by the one zoom read-back running
  mutable std::mutex mutex_; // protects everything below; a leaf lock
  ZoomFigures zoom_;
  bool reading_due_ = false; // a set came after the last reading
  std::chrono::steady_clock::time_point last_set_{};
  FocusFigures focus_;
};

const char *focus_state_name(FocusFigures::State state);

} // namespace dscam
