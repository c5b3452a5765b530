// The camera's side of the protocol, as a state machine over bytes: each OUT
// transfer of the host is handed in whole (one transfer = one packet), and
// each IN transfer takes one packet out, when the clock and the link say it
// has arrived. The core never sleeps and owns no thread: every call carries
// the clock time at which it happens. The USB device model wraps it (see
// usb_camera.h); test hosts can drive it directly.
//
// Protocol, camera side:
// - A command packet that fails its checks (lead bytes, length, checksum), or
//   that the camera does not know, is answered NAK (0x15).
// - Picture size (type 1, 0x0C): one ETX data packet holding the size of the
//   next picture (u32 LE); the host acknowledges it with ACK (0x06). With a
//   frame rate the answer waits for the next picture the camera takes.
// - Picture (type 6, 0x0E): the picture in STX data packets of `chunk` data
//   bytes and a last ETX packet; each after the host's ACK of the one before.
// - Zoom set (type 3, 0x8D, 12 bytes): ACK and the lens moves; above 100: NAK.
// - Zoom get (type 4, 0x8D): one 12-byte ETX packet (zoom u32 LE, 8 zeros),
//   acknowledged by the host.
// - One-touch auto focus (type 2, 0x19, one byte): ACK at once, ENQ when the
//   focus is done.
// - A new command while the camera waits for an ACK abandons that reply; an
//   ACK the camera does not wait for is ignored.
// - A pipe or port reset clears every reply in progress and a silence.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "emulator/camera/camera_config.h"
#include "emulator/camera/faults.h"
#include "emulator/camera/link_model.h"
#include "emulator/camera/picture_source.h"
#include "emulator/camera/wire.h"

namespace emu {

// Counts of what the camera saw, sent and dropped.
struct CameraCounters {
  uint64_t out_transfers = 0;        // OUT transfers received (failed ones included)
  uint64_t in_transfers = 0;         // packets handed to IN transfers (failed ones included)
  uint64_t commands = 0;             // command packets accepted
  uint64_t bad_commands = 0;         // packets answered NAK for failing the checks
  uint64_t unknown_commands = 0;     // well-formed commands the camera does not know
  uint64_t acks = 0;                 // ACKs the camera waited for
  uint64_t stray_acks = 0;           // ACKs it did not wait for (ignored)
  uint64_t pictures = 0;             // pictures announced (numbered)
  uint64_t pictures_sent = 0;        // pictures whose last packet the host acknowledged
  uint64_t frames_dropped = 0;       // frame ticks whose picture nobody asked for
  uint64_t replies_abandoned = 0;    // replies cut short by a new command or a reset
  uint64_t packets_flushed = 0;      // queued packets dropped unsent (new command, reset)
  uint64_t ignored_while_silent = 0; // OUT transfers ignored by a silent camera
  uint64_t resets = 0;               // pipe and port resets
  uint64_t zoom_sets = 0;
  uint64_t zoom_reads = 0;
  uint64_t focus_runs = 0;
};

// The record of a picture the camera took for the host.
struct PictureRecord {
  uint32_t number = 0;    // 1, 2, ... in the order taken
  uint64_t tick = 0;      // frame tick (fps > 0) or number (fps 0)
  int64_t capture_ns = 0; // clock time the picture was taken
  uint32_t announced = 0; // size in the size answer
  size_t sent_size = 0;   // bytes the picture command sends
};

// A packet waiting in the camera's IN FIFO.
struct InPacket {
  std::vector<uint8_t> bytes;
  int64_t ready_ns = 0;   // when it has crossed the link
  bool bus_error = false; // the IN transfer carrying it fails (read-error fault)
};

// What an IN transfer finds.
enum class InState : uint8_t {
  Ready,   // a packet is there now
  Later,   // a packet is coming; ready at the time given
  Nothing, // nothing to send: the transfer waits until something is queued or a reset
  Gone,    // the camera has been unplugged
};

// What an OUT transfer does.
enum class OutResult : uint8_t {
  Ok,    // the camera took the bytes
  Error, // the transfer failed (write-error fault): the camera never saw them
  Gone,  // the camera has been unplugged
};

// The camera's hardware state: lens, focus, the picture in hand and the
// reply in progress. Plain data, owned by CameraCore.
struct CameraState {
  enum class Phase : uint8_t {
    Idle,        // waiting for a command
    SizeSent,    // size answer sent, waiting for its ACK
    PictureSent, // a picture packet sent, waiting for its ACK
    ZoomSent,    // zoom reading sent, waiting for its ACK
  };
  Phase phase = Phase::Idle;
  uint32_t zoom = 50;         // lens position 0..100
  int64_t focus_done_ns = -1; // sharp from this time on (-1: never focused)
  bool silent = false;        // stopped answering until a reset
  bool gone = false;          // unplugged
  // The last picture taken and how far it has been sent.
  bool have_picture = false;
  PictureRecord picture;
  std::vector<uint8_t> picture_bytes; // as sent (after picture faults)
  size_t send_offset = 0;             // next byte to send
  bool last_was_etx = false;          // the packet waiting for its ACK was ETX
  int64_t last_tick = -1;             // frame tick of the last picture (-1: none)
  uint32_t focus_commands = 0;        // auto-focus commands so far
  uint32_t zoom_reads = 0;            // zoom readings so far
  std::deque<InPacket> in_fifo;       // packets on their way to the host
};

class CameraCore {
public:
  // A camera with this configuration and this source of pictures. The
  // configuration must have passed camera_config_check.
  CameraCore(const CameraConfig &config, std::unique_ptr<PictureSource> source);

  // One OUT transfer of the host at clock time `now`.
  OutResult host_write(std::span<const uint8_t> bytes, int64_t now);

  // What an IN transfer started at `now` would find; for Later, *ready_ns is
  // when the front packet arrives.
  InState in_state(int64_t now, int64_t *ready_ns) const;

  // Takes the front packet for an IN transfer (in_state said Ready).
  std::optional<InPacket> take_in(int64_t now);

  // Puts back a packet taken by take_in whose transfer had already ended
  // (cancelled by the host as the camera answered): it stays first in line.
  void put_back(InPacket packet);

  // A pipe or port reset at `now`: the reply in progress, the IN FIFO and a
  // silence are dropped. The lens, the focus and the picture count stay.
  void reset(int64_t now);

  // True once the camera has been unplugged (disconnect fault).
  bool gone() const { return state_.gone; }

  const CameraState &state() const { return state_; }
  const CameraCounters &counters() const { return counters_; }
  const FaultInjector &faults() const { return faults_; }
  // The records of the last kHistory pictures taken (number, tick, capture
  // time, sizes), oldest first.
  const std::deque<PictureRecord> &pictures() const { return history_; }
  static constexpr size_t kHistory = 1024;

private:
  // One row of the command table (camera_core.cpp).
  struct CommandRow;
  static const CommandRow kCommands[];

  void run_command(const Command &command, int64_t at);
  void on_ack(int64_t at);
  // The command handlers: each answers one well-formed command that arrived at `at`.
  void picture_size(const Command &command, int64_t at);
  void picture_send(const Command &command, int64_t at);
  void zoom_set(const Command &command, int64_t at);
  void zoom_get(const Command &command, int64_t at);
  void auto_focus(const Command &command, int64_t at);
  void send_next_chunk(int64_t at);
  void take_picture(uint64_t tick, int64_t capture_ns);
  void shape_picture(std::vector<uint8_t> &jpeg, uint32_t number, uint32_t *announced);
  void abandon_reply();
  void flush(int64_t at);
  void queue(std::vector<uint8_t> packet, int64_t produced);
  void queue_control(uint8_t byte, int64_t produced) { queue({byte}, produced); }

  CameraConfig config_;
  std::unique_ptr<PictureSource> source_;
  FaultInjector faults_;
  LinkModel link_;
  CameraState state_;
  CameraCounters counters_;
  std::deque<PictureRecord> history_;
  // The picture number the exchange in progress belongs to: the number a size
  // command will give its picture, else the last picture's. Keys the faults.
  uint32_t exchange_index_ = 0;
};

} // namespace emu
