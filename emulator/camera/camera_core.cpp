// The camera's protocol engine.
#include "emulator/camera/camera_core.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace emu {

namespace {

// Bytes of picture data an oversized picture has in all.
constexpr size_t kOversizedLength = 65536 + 4096;
// Most a picture may be so that its size still counts as announced.
constexpr size_t kPictureBufferLength = 65536;
// The reading a zoom-high fault gives.
constexpr uint32_t kZoomHighReading = 150;
// Bytes a damaged picture has overwritten.
constexpr int kDamagedBytes = 16;

bool is_command(const Command &c, uint8_t type, uint8_t address) {
  return c.type == type && c.address == address;
}

// Spoils a data packet's checksum, as a corrupted transfer would.
void spoil_checksum(std::vector<uint8_t> &packet) {
  packet.back() = static_cast<uint8_t>(packet.back() ^ 0x5A);
}

std::vector<uint8_t> u32_bytes(uint32_t value, size_t total) {
  std::vector<uint8_t> bytes(total, 0);
  for (int i = 0; i < 4; ++i)
    bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

} // namespace

CameraCore::CameraCore(const CameraConfig &config, std::unique_ptr<PictureSource> source)
    : config_(config), source_(std::move(source)), faults_(config.faults),
      link_(config.link_bytes_per_second, config.latency_ns) {}

OutResult CameraCore::host_write(std::span<const uint8_t> bytes, int64_t now) {
  ++counters_.out_transfers;
  if (state_.gone)
    return OutResult::Gone;
  // The camera has the command once its bytes have crossed the link.
  const int64_t at = now + link_.duration(bytes.size());
  const std::optional<Command> command = wire_parse_command(bytes);
  const bool is_ack = bytes.size() == 1 && bytes[0] == kAck;
  if (command && is_command(*command, kTypeNoArgument, kAddrPictureSize))
    exchange_index_ = static_cast<uint32_t>(counters_.pictures + 1);
  else if (!is_ack)
    exchange_index_ = static_cast<uint32_t>(counters_.pictures);

  if (faults_.trial(Fault::WriteError, exchange_index_))
    return OutResult::Error;
  if (faults_.trial(Fault::Disconnect, exchange_index_)) {
    state_.gone = true;
    flush(at);
    return OutResult::Gone;
  }
  if (state_.silent) {
    ++counters_.ignored_while_silent;
    return OutResult::Ok;
  }
  if (faults_.trial(Fault::StopAnswering, exchange_index_)) {
    state_.silent = true;
    if (state_.phase != CameraState::Phase::Idle)
      abandon_reply();
    flush(at);
    return OutResult::Ok;
  }
  if (is_ack) {
    on_ack(at);
    return OutResult::Ok;
  }
  // Anything but an ACK starts over: the reply in progress is abandoned.
  if (state_.phase != CameraState::Phase::Idle)
    abandon_reply();
  flush(at);
  if (!command) {
    ++counters_.bad_commands;
    queue_control(kNak, at);
    return OutResult::Ok;
  }
  run_command(*command, at);
  return OutResult::Ok;
}

// One command the camera knows: its type and address, the argument it takes,
// its name, and the handler that answers it.
struct CameraCore::CommandRow {
  enum class Argument : uint8_t {
    None,    // no argument bytes
    OneByte, // exactly one byte
    Checked, // any length: the handler checks it and answers NAK itself
  };
  uint8_t type;
  uint8_t address;
  Argument argument;
  const char *name;
  void (CameraCore::*handler)(const Command &command, int64_t at);

  bool matches(const Command &command) const {
    if (command.type != type || command.address != address)
      return false;
    switch (argument) {
    case Argument::None:
      return command.argument.empty();
    case Argument::OneByte:
      return command.argument.size() == 1;
    case Argument::Checked:
      return true;
    }
    return false;
  }
};

// The commands the camera knows. A well-formed command that matches no row is
// unknown and answered NAK.
const CameraCore::CommandRow CameraCore::kCommands[] = {
    {kTypeNoArgument, kAddrPictureSize, CommandRow::Argument::None, "picture size",
     &CameraCore::picture_size},
    {kTypeLongReply, kAddrPicture, CommandRow::Argument::None, "picture", &CameraCore::picture_send},
    // A zoom record of the wrong size or out of range is answered NAK by the handler.
    {kTypeBlock, kAddrZoom, CommandRow::Argument::Checked, "zoom set", &CameraCore::zoom_set},
    {kTypeRead, kAddrZoom, CommandRow::Argument::None, "zoom get", &CameraCore::zoom_get},
    {kTypeOneByte, kOpcodeAutoFocus, CommandRow::Argument::OneByte, "one-touch auto focus",
     &CameraCore::auto_focus},
};

// Runs one well-formed command that arrived at `at`: its row's handler answers,
// unless the command is unknown or the NAK fault answers in its place.
void CameraCore::run_command(const Command &command, int64_t at) {
  ++counters_.commands;
  const CommandRow *row = std::find_if(std::begin(kCommands), std::end(kCommands),
                                       [&command](const CommandRow &each) { return each.matches(command); });
  if (row == std::end(kCommands)) {
    ++counters_.unknown_commands;
    queue_control(kNak, at);
    return;
  }
  if (faults_.trial(Fault::Nak, exchange_index_)) {
    queue_control(kNak, at);
    return;
  }
  (this->*row->handler)(command, at);
}

// The host's ACK of the packet the camera waits on.
void CameraCore::on_ack(int64_t at) {
  switch (state_.phase) {
  case CameraState::Phase::Idle:
    ++counters_.stray_acks;
    return;
  case CameraState::Phase::PictureSent:
    ++counters_.acks;
    if (!state_.last_was_etx) {
      send_next_chunk(at);
      return;
    }
    ++counters_.pictures_sent;
    break;
  case CameraState::Phase::SizeSent:
  case CameraState::Phase::ZoomSent:
    ++counters_.acks;
    break;
  }
  state_.phase = CameraState::Phase::Idle;
}

// Picture size: take the next picture (with a frame rate, the next one the
// camera shoots) and announce its size.
void CameraCore::picture_size(const Command &, int64_t at) {
  uint64_t tick = counters_.pictures + 1;
  int64_t capture = at;
  if (config_.fps > 0) {
    const int64_t period = static_cast<int64_t>(std::llround(1e9 / config_.fps));
    const int64_t tick_now = at / period;
    if (state_.last_tick < 0 || tick_now > state_.last_tick) {
      // The camera shot a picture since the last one was fetched: serve it,
      // and count the ones in between that nobody fetched.
      if (state_.last_tick >= 0)
        counters_.frames_dropped += static_cast<uint64_t>(tick_now - state_.last_tick - 1);
      tick = static_cast<uint64_t>(tick_now);
    } else {
      tick = static_cast<uint64_t>(state_.last_tick + 1);
    }
    capture = static_cast<int64_t>(tick) * period;
    state_.last_tick = static_cast<int64_t>(tick);
  }
  take_picture(tick, capture);
  std::vector<uint8_t> packet = wire_data_packet(kEtx, u32_bytes(state_.picture.announced, 4));
  if (faults_.trial(Fault::SizeChecksum, state_.picture.number))
    spoil_checksum(packet);
  queue(std::move(packet), std::max(at, capture));
  state_.phase = CameraState::Phase::SizeSent;
}

// Shoots and encodes picture number counters_.pictures + 1 at `capture`.
void CameraCore::take_picture(uint64_t tick, int64_t capture) {
  const uint32_t number = static_cast<uint32_t>(++counters_.pictures);
  SceneView view;
  view.tick = tick;
  view.number = number;
  view.zoom = state_.zoom;
  view.focused = state_.focus_done_ns >= 0 && state_.focus_done_ns <= capture;
  std::vector<uint8_t> jpeg;
  if (faults_.trial(Fault::OddSize, number)) {
    view.width = config_.odd_width;
    view.height = config_.odd_height;
    jpeg = scene_picture(view, config_.jpeg_quality);
  } else {
    jpeg = source_->take(view);
  }
  uint32_t announced = 0;
  shape_picture(jpeg, number, &announced);

  state_.picture = PictureRecord{number, tick, capture, announced, jpeg.size()};
  state_.picture_bytes = std::move(jpeg);
  state_.have_picture = true;
  state_.send_offset = 0;
  history_.push_back(state_.picture);
  if (history_.size() > kHistory)
    history_.pop_front();
}

// Applies the picture faults to a picture and decides the size it announces.
void CameraCore::shape_picture(std::vector<uint8_t> &jpeg, uint32_t number, uint32_t *announced) {
  if (faults_.trial(Fault::Truncated, number) && jpeg.size() > 1)
    jpeg.resize(jpeg.size() / 2);
  if (faults_.trial(Fault::Damaged, number) && jpeg.size() > 8) {
    // Overwrite bytes past the headers, inside the image data.
    const size_t from = jpeg.size() / 3;
    const size_t span = jpeg.size() - 2 - from;
    for (int i = 0; i < kDamagedBytes; ++i) {
      const double where = faults_.draw(Fault::Damaged, number, static_cast<uint32_t>(2 * i));
      const double what = faults_.draw(Fault::Damaged, number, static_cast<uint32_t>(2 * i + 1));
      jpeg[from + static_cast<size_t>(where * static_cast<double>(span))] =
          static_cast<uint8_t>(what * 256.0);
    }
  }
  if (faults_.trial(Fault::Oversized, number) && jpeg.size() < kOversizedLength)
    jpeg.resize(kOversizedLength, 0x00); // filler after the end-of-image marker
  const size_t size = jpeg.size();
  size_t told = size;
  if (faults_.trial(Fault::SizeZero, number))
    told = 0;
  if (faults_.trial(Fault::SizeSmaller, number))
    told = size - std::max<size_t>(1, size / 4);
  if (faults_.trial(Fault::SizeLarger, number))
    told = size < kPictureBufferLength ? std::min(size + std::max<size_t>(1, size / 4), kPictureBufferLength)
                                       : size + 1;
  *announced = static_cast<uint32_t>(told);
}

// Picture: the picture in hand (one is shot now if there is none), from its
// first packet on.
void CameraCore::picture_send(const Command &, int64_t at) {
  if (!state_.have_picture) {
    const uint64_t tick =
        config_.fps > 0 ? static_cast<uint64_t>(++state_.last_tick) : counters_.pictures + 1;
    take_picture(tick, at);
  }
  exchange_index_ = state_.picture.number;
  state_.send_offset = 0;
  send_next_chunk(at);
}

// Sends the next packet of the picture: STX while more follows, ETX last.
void CameraCore::send_next_chunk(int64_t at) {
  const std::vector<uint8_t> &bytes = state_.picture_bytes;
  const size_t offset = std::min(state_.send_offset, bytes.size());
  const size_t n = std::min(config_.chunk, bytes.size() - offset);
  const bool last = offset + n == bytes.size();
  std::vector<uint8_t> packet =
      wire_data_packet(last ? kEtx : kStx, std::span<const uint8_t>(bytes).subspan(offset, n));
  if (faults_.trial(Fault::PictureChecksum, state_.picture.number))
    spoil_checksum(packet);
  state_.send_offset = offset + n;
  state_.last_was_etx = last;
  state_.phase = CameraState::Phase::PictureSent;
  queue(std::move(packet), at);
}

// Zoom set: the 12-byte zoom record; the lens moves to a position 0..100.
void CameraCore::zoom_set(const Command &command, int64_t at) {
  const uint32_t value = wire_u32(command.argument);
  if (command.argument.size() != kZoomRecordSize || value > 100) {
    queue_control(kNak, at);
    return;
  }
  ++counters_.zoom_sets;
  state_.zoom = value;
  queue_control(kAck, at);
}

// Zoom get: the 12-byte zoom record in one ETX packet.
void CameraCore::zoom_get(const Command &, int64_t at) {
  ++counters_.zoom_reads;
  const uint32_t reading =
      faults_.trial(Fault::ZoomHigh, ++state_.zoom_reads) ? kZoomHighReading : state_.zoom;
  queue(wire_data_packet(kEtx, u32_bytes(reading, kZoomRecordSize)), at);
  state_.phase = CameraState::Phase::ZoomSent;
}

// One-touch auto focus: ACK now, ENQ when the lens has focused.
void CameraCore::auto_focus(const Command &, int64_t at) {
  ++counters_.focus_runs;
  const uint32_t run = ++state_.focus_commands;
  const bool slow = faults_.trial(Fault::FocusSlow, run);
  const bool fail = faults_.trial(Fault::FocusFail, run);
  const int64_t done = at + (slow ? config_.slow_focus_ns : config_.focus_ns);
  queue_control(kAck, at);
  if (fail) {
    queue_control(kAck, done);
    return;
  }
  if (state_.focus_done_ns < 0)
    state_.focus_done_ns = done;
  queue_control(kEnq, done);
}

void CameraCore::abandon_reply() {
  ++counters_.replies_abandoned;
  state_.phase = CameraState::Phase::Idle;
}

// Drops the packets not yet taken by the host; the link is free again.
void CameraCore::flush(int64_t at) {
  if (state_.in_fifo.empty())
    return;
  counters_.packets_flushed += state_.in_fifo.size();
  state_.in_fifo.clear();
  link_.reset(at);
}

// Puts a packet produced at `produced` on its way to the host, through the
// lost-packet and read-error faults.
void CameraCore::queue(std::vector<uint8_t> packet, int64_t produced) {
  const uint32_t index = exchange_index_;
  if (faults_.trial(Fault::LostPacket, index))
    return; // the camera believes it sent it
  InPacket in;
  in.bus_error = faults_.trial(Fault::ReadError, index);
  in.ready_ns = link_.transfer(produced, packet.size());
  in.bytes = std::move(packet);
  state_.in_fifo.push_back(std::move(in));
}

InState CameraCore::in_state(int64_t now, int64_t *ready_ns) const {
  if (state_.gone)
    return InState::Gone;
  if (state_.in_fifo.empty())
    return InState::Nothing;
  *ready_ns = state_.in_fifo.front().ready_ns;
  return *ready_ns <= now ? InState::Ready : InState::Later;
}

std::optional<InPacket> CameraCore::take_in(int64_t now) {
  if (state_.gone || state_.in_fifo.empty() || state_.in_fifo.front().ready_ns > now)
    return std::nullopt;
  InPacket packet = std::move(state_.in_fifo.front());
  state_.in_fifo.pop_front();
  ++counters_.in_transfers;
  return packet;
}

void CameraCore::put_back(InPacket packet) {
  --counters_.in_transfers;
  state_.in_fifo.push_front(std::move(packet));
}

void CameraCore::reset(int64_t now) {
  ++counters_.resets;
  if (state_.phase != CameraState::Phase::Idle)
    abandon_reply();
  flush(now);
  link_.reset(now);
  state_.silent = false;
}

} // namespace emu
