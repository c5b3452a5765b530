// The stream class host: loads a minidriver, starts and removes its devices, and
// turns what a capture application asks of one filter with its capture pin into
// request blocks (SRBs) for the driver. It keeps account of every request it
// delivers and of every completion, and reports (platform misuse, category
// Request) a request completed twice, completed through the wrong notification,
// completed when it was not outstanding, or never completed.
//
// The driver-facing services (StreamClassRegisterAdapter, the notifications,
// StreamClassQueryMasterClockSync) are declared in strmini.h.
//
// Thread safety: every call below may be made from any thread, several at once,
// except that an object must not be destroyed while another thread uses it.
// Requests are delivered to the driver on the calling thread, without host locks
// held and without serialisation (the driver registers with TurnOffSynchronization
// TRUE; a driver that does not is called under a per-adapter lock instead).
// Blocking calls wait for the request's completion at most HostOptions::
// sync_wait_limit. Completion callbacks run on the thread that completes the
// request (a driver thread) with no host lock held; they may submit requests but
// must not close a pin, remove an adapter or wait for another request (a close or
// removal there is refused: misuse, STATUS_INVALID_DEVICE_STATE).
//
// Ownership: the application owns its Driver, Adapter and Pin handles and
// destroys them on its own threads. An adapter owns one thread, its time-out
// watchdog; the removal (at the latest in ~Adapter) joins it before the handle
// lets go of the adapter. Pins and requests refer to their adapter without owning
// it, holding it only for the length of one call, so the watchdog can never hold
// the last reference of the adapter that owns it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "platform/kernel/io.h"
#include "platform/kernel/ntdef.h"
#include "platform/kernel/ntstatus.h"
#include "platform/streamclass/ks.h"
#include "platform/streamclass/ksmedia.h"
#include "platform/streamclass/strmini.h"

namespace streamclass {

// ---------------------------------------------------------------------------
// Settings and accounting

// Host-wide settings; they apply to requests created after they are set.
struct HostOptions {
  // Period of the time-out tick: every tick the host counts down the TimeoutCounter
  // of each outstanding request and calls HwRequestTimeoutHandler for a request whose
  // counter reaches 0 (once; a handler may set the counter again).
  std::chrono::milliseconds tick{1000};
  // Time limits, in ticks, given to new requests (0: none).
  ULONG device_request_timeout = 15;
  ULONG control_request_timeout = 15;
  ULONG data_request_timeout = 0;
  // How long a blocking host call waits for its request to complete.
  std::chrono::milliseconds sync_wait_limit{30000};
};

// Replaces / returns the host-wide settings.
void set_host_options(const HostOptions &options);
HostOptions host_options();

// What the host has counted since the last reset.
struct HostAccounting {
  uint64_t delivered = 0;               // requests handed to the driver
  uint64_t completed = 0;               // first completions of delivered requests
  uint64_t completed_twice = 0;         // further completions of a completed request
  uint64_t wrong_notification = 0;      // adapter request completed as a stream request, or the reverse
  uint64_t unknown_completion = 0;      // completions of a block that is no live request of the host
  uint64_t never_completed = 0;         // requests still outstanding when their pin or adapter went away
  uint64_t completed_after_removal = 0; // completions of such abandoned requests
  uint64_t timeouts = 0;                // calls of HwRequestTimeoutHandler
  uint64_t cancels = 0;                 // calls of HwCancelPacket
  uint64_t outstanding = 0;             // delivered, neither completed nor abandoned
  // True when nothing went wrong: no double, wrong, unknown, late or missing completion.
  bool clean() const {
    return completed_twice == 0 && wrong_notification == 0 && unknown_completion == 0 &&
           never_completed == 0 && completed_after_removal == 0;
  }
};

// The counts so far.
HostAccounting host_accounting();

// Starts counting afresh (outstanding requests stay outstanding).
void host_accounting_reset();

// ---------------------------------------------------------------------------
// Requests

class AdapterCore;
class PinCore;
class HostBlock;
struct RequestSync;

// Which driver entry a request goes to.
enum class RequestKind {
  Device,        // HwReceivePacket; completed with DeviceRequestComplete
  StreamControl, // the stream object's ReceiveControlPacket; StreamRequestComplete
  StreamData,    // the stream object's ReceiveDataPacket; StreamRequestComplete
};

// One request block with everything it points at: its request extension, its IRP,
// and the memory its CommandData refers to. Shared by the host (while it is
// outstanding) and its submitter, so that it outlives whichever lets go first.
class Request : public std::enable_shared_from_this<Request> {
public:
  using Callback = std::function<void(Request &)>;
  ~Request();
  Request(const Request &) = delete;
  Request &operator=(const Request &) = delete;

  // The block. Before delivery the submitter may set CommandData and the fields the
  // command needs; after completion it holds the driver's answer.
  HW_STREAM_REQUEST_BLOCK &srb() { return srb_; }
  const HW_STREAM_REQUEST_BLOCK &srb() const { return srb_; }
  RequestKind kind() const { return kind_; }

  // Zero-filled memory owned by the request, for what CommandData points at; stays at
  // its address for the life of the request. NULL when memory is short.
  void *add_block(size_t bytes);
  template <typename T> T *add_record() { return static_cast<T *>(add_block(sizeof(T))); }

  // Called once, when the request is completed (or abandoned), on the completing
  // thread. Set before delivery.
  void on_complete(Callback callback) { callback_ = std::move(callback); }

  // Waits until the request is completed or abandoned, at most `timeout`; true when it is.
  bool wait(std::chrono::milliseconds timeout) const;
  bool finished() const;
  // The Status the driver completed it with; STATUS_DEVICE_REMOVED for a request
  // abandoned at removal; STATUS_PENDING before.
  NTSTATUS status() const;
  // How many times the driver completed it (2 or more is misuse).
  int completions() const;
  bool abandoned() const;

  // Where and in which order things happened, for tests of ordering. Sequence
  // numbers are host-wide and increasing.
  struct Trace {
    std::thread::id delivered_on;
    std::thread::id completed_on;
    uint64_t delivery_started = 0;  // before the driver's entry was called
    uint64_t delivery_returned = 0; // after it returned
    uint64_t completed = 0;         // at the first completion
  };
  Trace trace() const;

private:
  friend class AdapterCore;
  friend class PinCore;
  friend class Frame;
  friend struct RequestOps;
  explicit Request(RequestKind kind);

  HW_STREAM_REQUEST_BLOCK srb_{};
  RequestKind kind_;
  std::weak_ptr<AdapterCore> adapter_;
  std::weak_ptr<PinCore> pin_;
  std::vector<std::unique_ptr<HostBlock>> blocks_;
  std::unique_ptr<HostBlock> extension_;
  PIRP irp_ = nullptr;
  // A read request's buffers, as the host made them.
  KSSTREAM_HEADER *frame_header_ = nullptr;
  ULONG frame_media_specific_ = 0;
  const uint8_t *frame_data_ = nullptr;
  ULONG frame_extent_ = 0;
  Callback callback_;
  std::unique_ptr<RequestSync> sync_;
};

// ---------------------------------------------------------------------------
// Master clocks

// A clock the application gives a pin as its master clock; StreamClassQueryMasterClockSync
// reads it. Must be callable from any thread.
class MasterClock {
public:
  virtual ~MasterClock() = default;
  // The stream time now, in 100 ns units.
  virtual LONGLONG stream_time() = 0;
};

// The host's default clock: 100 ns units of the monotonic clock since the clock was made.
class SteadyMasterClock : public MasterClock {
public:
  SteadyMasterClock();
  LONGLONG stream_time() override;

private:
  std::chrono::steady_clock::time_point start_;
};

// A clock that shows what it is set to (for tests).
class ManualMasterClock : public MasterClock {
public:
  explicit ManualMasterClock(LONGLONG time = 0) : time_(time) {}
  LONGLONG stream_time() override { return time_.load(); }
  void set(LONGLONG time) { time_.store(time); }
  void advance(LONGLONG delta) { time_.fetch_add(delta); }

private:
  std::atomic<LONGLONG> time_;
};

// ---------------------------------------------------------------------------
// Descriptor views

// One property of a published set.
struct PropertyItemInfo {
  ULONG id = 0;
  bool get = false;
  bool set = false;
  ULONG min_property = 0;
  ULONG min_data = 0;
  const KSPROPERTY_VALUES *values = nullptr; // the driver's constant table, or NULL
};

// One published property set.
struct PropertySetInfo {
  GUID set{};
  std::vector<PropertyItemInfo> items;
};

// ---------------------------------------------------------------------------
// Frames

// A read request as the application sees it once completed: its status, stream
// header, frame information and data (none before completion; the header and the
// frame information are the driver's until then). Cheap to copy; keeps the request
// alive.
class Frame {
public:
  explicit Frame(std::shared_ptr<Request> request) : request_(std::move(request)) {}
  NTSTATUS status() const { return request_->status(); }
  const KSSTREAM_HEADER &header() const;
  // The KS_FRAME_INFO behind the header when the stream declared a 64-byte
  // media-specific header; NULL otherwise.
  const KS_FRAME_INFO *frame_info() const;
  // The frame's bytes: DataUsed of them (never more than the buffer holds).
  std::span<const uint8_t> data() const;
  ULONG capacity() const; // FrameExtent
  Request &request() const { return *request_; }

private:
  std::shared_ptr<Request> request_;
};

using FrameCallback = std::function<void(const Frame &)>;

// An empty frame buffer submitted to a pin as SRB_READ_DATA. Destroying it while the
// request is outstanding cancels it; its memory stays with the request until the
// driver completes it.
class FrameBuffer {
public:
  ~FrameBuffer();
  FrameBuffer(const FrameBuffer &) = delete;
  FrameBuffer &operator=(const FrameBuffer &) = delete;

  // Waits for completion at most `timeout`; true when completed (or abandoned).
  bool wait(std::chrono::milliseconds timeout) const { return request_->wait(timeout); }
  bool completed() const { return request_->finished(); }
  NTSTATUS status() const { return request_->status(); }
  Frame frame() const { return Frame(request_); }
  // Asks the driver to cancel the request (HwCancelPacket), if it is outstanding.
  void cancel();
  Request &request() const { return *request_; }

private:
  friend class PinCore;
  FrameBuffer(std::shared_ptr<Request> request, std::weak_ptr<PinCore> pin)
      : request_(std::move(request)), pin_(std::move(pin)) {}
  std::shared_ptr<Request> request_;
  std::weak_ptr<PinCore> pin_;
};

// ---------------------------------------------------------------------------
// Pins

// An open stream (the capture pin): SRB_OPEN_STREAM to SRB_CLOSE_STREAM.
class Pin {
public:
  ~Pin(); // closes the pin
  Pin(const Pin &) = delete;
  Pin &operator=(const Pin &) = delete;

  ULONG stream_number() const;
  // The stream object and extension the driver was given (for tests).
  HW_STREAM_OBJECT &stream_object() const;
  PVOID stream_extension() const;

  // Stream state: SRB_SET_STREAM_STATE / SRB_GET_STREAM_STATE.
  NTSTATUS set_state(KSSTATE state);
  NTSTATUS get_state(KSSTATE &state);

  // Format: SRB_PROPOSE_DATA_FORMAT, SRB_SET_DATA_FORMAT (the format's FormatSize bytes
  // are passed), SRB_GET_DATA_FORMAT (into a zero-filled buffer of `size` bytes; the
  // format is what the driver reports it wrote, ActualBytesTransferred bytes at most
  // the buffer).
  NTSTATUS propose_format(std::span<const uint8_t> format);
  NTSTATUS set_format(std::span<const uint8_t> format);
  NTSTATUS get_format(ULONG size, std::vector<uint8_t> &format);

  // Stream properties: SRB_GET_STREAM_PROPERTY / SRB_SET_STREAM_PROPERTY. `property`
  // is the property record (a KSPROPERTY, possibly followed by more input); `data` is
  // the value buffer. Sizes are checked against the item the stream publishes.
  NTSTATUS get_property(std::span<const uint8_t> property, std::span<uint8_t> data,
                        ULONG *returned = nullptr);
  NTSTATUS set_property(std::span<const uint8_t> property, std::span<const uint8_t> data);
  // A record that starts with its KSPROPERTY serves as both property and data.
  template <typename T> NTSTATUS get_property(T &record, ULONG *returned = nullptr);
  template <typename T> NTSTATUS set_property(const T &record);

  // Master clock: SRB_INDICATE_MASTER_CLOCK with a handle the host reads the clock
  // by (NULL removes it). The clock stays readable until the pin is closed.
  NTSTATUS set_master_clock(std::shared_ptr<MasterClock> clock);
  // Gives the pin a SteadyMasterClock started now.
  NTSTATUS use_default_clock();

  // Submits an empty frame buffer of `bytes` (SRB_READ_DATA with one KSSTREAM_HEADER,
  // followed by the media-specific header the stream declared). Returns the status of
  // the submission (STATUS_PENDING once delivered); the frame arrives later, through
  // the buffer and, if given, the callback. A completed FrameBuffer of this pin passed
  // in `buffer`, of the same size and held by nothing else, is reused for the new read
  // (its data still holds the previous frame until the driver writes the next); a new
  // buffer is zero-filled. On delivery `buffer` holds the read; otherwise a reused
  // buffer is let go and any other is left as it was.
  NTSTATUS submit(ULONG bytes, std::unique_ptr<FrameBuffer> &buffer, FrameCallback callback = {});

  // Low level (tests): a stream request of any command, delivered as it stands.
  std::shared_ptr<Request> make_request(SRB_COMMAND command);
  NTSTATUS deliver(const std::shared_ptr<Request> &request);

  // Closes the pin (SRB_CLOSE_STREAM) after the stream requests being delivered have
  // returned; stream requests still outstanding afterwards are abandoned and counted.
  // A close while another is in progress (on another thread, or the removal's)
  // waits for that one to end and returns its status; a close of a closed pin
  // returns STATUS_SUCCESS at once. When it returns, the driver has answered the
  // close (or it was never sent: STATUS_DEVICE_REMOVED once the device is removed).
  // The close never fails for lack of memory: its request was made at the open.
  // Passive level; blocks; not from a completion callback.
  NTSTATUS close();
  bool is_open() const;

private:
  friend class Adapter;
  explicit Pin(std::shared_ptr<PinCore> core) : core_(std::move(core)) {}
  std::shared_ptr<PinCore> core_;
};

// ---------------------------------------------------------------------------
// Adapters and drivers

enum class RemovalKind {
  Orderly,  // the open pin is closed, then SRB_UNINITIALIZE_DEVICE
  Surprise, // SRB_SURPRISE_REMOVAL first, then as Orderly (the device's final removal)
};
// Either way the pins are closed in this order: opens in progress are waited for
// (one not yet delivered is refused with STATUS_DEVICE_REMOVED; one the driver has
// ends, and its pin is closed if it opened); closes in progress on other threads
// are waited for; every other open pin is closed by the removal. Only then is
// SRB_UNINITIALIZE_DEVICE sent, and no pin close reaches the driver after that.

// One device of a driver: the class device object (FDO) attached over a physical
// device object, and the driver's device extension.
class Adapter {
public:
  ~Adapter(); // removes the device (orderly) if it was not removed
  Adapter(const Adapter &) = delete;
  Adapter &operator=(const Adapter &) = delete;

  // Starts the device: SRB_INITIALIZE_DEVICE alone, then SRB_GET_STREAM_INFO into a
  // buffer of the StreamDescriptorSize the driver set, then SRB_INITIALIZATION_COMPLETE.
  // A failed initialization ends the start with its status (remove() is all that is
  // left to do then). A failed stream information leaves the device started without
  // streams (see stream_info_status()). The removal's requests are made first, so
  // that no removal fails for lack of memory: when memory is short for them, the
  // start fails (STATUS_INSUFFICIENT_RESOURCES) before the driver is initialized.
  // Passive level; blocks until each request completes.
  NTSTATUS start();
  // Removes the device: see RemovalKind. Only a started device is told; then the
  // host waits for every call into the driver to return, abandons (and counts) the
  // requests still outstanding, and deletes the device objects. Returns the status of
  // SRB_SURPRISE_REMOVAL or SRB_UNINITIALIZE_DEVICE; STATUS_SUCCESS when the device
  // was already removed, or once the removal in progress on another thread has ended.
  // Passive level; blocks; not from a completion callback.
  NTSTATUS remove(RemovalKind kind = RemovalKind::Orderly);
  bool started() const;
  bool removed() const;

  PDEVICE_OBJECT class_device_object() const;
  PDEVICE_OBJECT physical_device_object() const;
  PVOID device_extension() const; // the driver's HwDeviceExtension, until removal
  // The start's SRB_GET_STREAM_INFO status (STATUS_PENDING before it was sent).
  NTSTATUS stream_info_status() const;

  // The stream descriptor (empty without one).
  ULONG stream_count() const;
  const HW_STREAM_HEADER *stream_header() const;
  const HW_STREAM_INFORMATION *stream_information(ULONG stream) const;
  std::vector<std::vector<uint8_t>> data_ranges(ULONG stream) const; // copies, FormatSize bytes each
  std::vector<PropertySetInfo> device_property_sets() const;
  std::vector<PropertySetInfo> stream_property_sets(ULONG stream) const;
  std::vector<GUID> categories() const;

  // Data intersection: asks for the size of the format first (a buffer of 0 bytes),
  // then for the format itself. `range` is passed as its FormatSize bytes.
  NTSTATUS intersect(ULONG stream, std::span<const uint8_t> range, std::vector<uint8_t> &format);
  // One SRB_GET_DATA_INTERSECTION with a buffer of `buffer_size` bytes (tests).
  NTSTATUS intersect_once(ULONG stream, std::span<const uint8_t> range, ULONG buffer_size,
                          std::vector<uint8_t> &format, ULONG *actual = nullptr);

  // Device properties: SRB_GET_DEVICE_PROPERTY / SRB_SET_DEVICE_PROPERTY (as for Pin).
  NTSTATUS get_property(std::span<const uint8_t> property, std::span<uint8_t> data,
                        ULONG *returned = nullptr);
  NTSTATUS set_property(std::span<const uint8_t> property, std::span<const uint8_t> data);
  template <typename T> NTSTATUS get_property(T &record, ULONG *returned = nullptr);
  template <typename T> NTSTATUS set_property(const T &record);

  // SRB_CHANGE_POWER_STATE.
  NTSTATUS change_power_state(DEVICE_POWER_STATE state);

  // Opens a pin on `stream` with `format` (its FormatSize bytes), SRB_OPEN_STREAM with
  // a zero-filled stream extension and a new stream object. The host refuses a stream
  // the descriptor does not list, or one with all its instances open, unless `checked`
  // is false (tests of the driver's own checks). STATUS_DEVICE_REMOVED once removal
  // has begun (see RemovalKind for an open that races the removal).
  // STATUS_INSUFFICIENT_RESOURCES, before the driver sees the open, when memory is
  // short for the open's request or for the close's, which is made now. Passive level;
  // blocks until the driver has answered.
  NTSTATUS open_pin(ULONG stream, std::span<const uint8_t> format, std::unique_ptr<Pin> &pin,
                    bool checked = true);

  // Low level (tests): an adapter request of any command (NULL when memory is short),
  // delivered as it stands to HwReceivePacket (STATUS_PENDING once delivered; a
  // request is delivered once, stream requests go through Pin::deliver), and the
  // cancellation of any outstanding request of the adapter or its pins (HwCancelPacket).
  std::shared_ptr<Request> make_request(SRB_COMMAND command);
  NTSTATUS deliver(const std::shared_ptr<Request> &request);
  // Delivers, then waits for completion (at most sync_wait_limit); the request's
  // status, or STATUS_IO_TIMEOUT.
  NTSTATUS call(const std::shared_ptr<Request> &request);
  void cancel(const std::shared_ptr<Request> &request);

private:
  friend class Driver;
  explicit Adapter(std::shared_ptr<AdapterCore> core) : core_(std::move(core)) {}
  std::shared_ptr<AdapterCore> core_;
};

class DriverCore;

// A loaded driver: its driver object and what it registered.
class Driver {
public:
  ~Driver(); // forgets the registration; the driver object goes with the last adapter
  Driver(const Driver &) = delete;
  Driver &operator=(const Driver &) = delete;

  PDRIVER_OBJECT driver_object() const;
  // The registration (a copy of the driver's HW_INITIALIZATION_DATA).
  const HW_INITIALIZATION_DATA &registration() const;

  // Creates the class device object for `pdo` (a device object of the bus; any device
  // object in tests) with the driver's zero-filled device extension, attached above
  // it. No request is sent.
  NTSTATUS add_device(PDEVICE_OBJECT pdo, std::unique_ptr<Adapter> &adapter);
  // add_device and Adapter::start; on a failed start the device is removed again and
  // the start's status returned.
  NTSTATUS start_device(PDEVICE_OBJECT pdo, std::unique_ptr<Adapter> &adapter);

private:
  friend NTSTATUS load_driver(PDRIVER_INITIALIZE, std::unique_ptr<Driver> &, const char16_t *);
  explicit Driver(std::shared_ptr<DriverCore> core) : core_(std::move(core)) {}
  std::shared_ptr<DriverCore> core_;
};

// The loader: creates a driver object named `name`, calls `entry` (DriverEntry) with
// it and a registry path, and returns the loaded driver. The entry's status, when it
// fails; STATUS_INVALID_DEVICE_STATE when it succeeds without registering an adapter.
NTSTATUS load_driver(PDRIVER_INITIALIZE entry, std::unique_ptr<Driver> &driver,
                     const char16_t *name = u"\\Driver\\dscam");

// ---------------------------------------------------------------------------
// Template members

template <typename T> NTSTATUS Pin::get_property(T &record, ULONG *returned) {
  static_assert(sizeof(T) >= sizeof(KSPROPERTY));
  T input = record;
  return get_property(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(&input), sizeof(T)),
                      std::span<uint8_t>(reinterpret_cast<uint8_t *>(&record), sizeof(T)), returned);
}
template <typename T> NTSTATUS Pin::set_property(const T &record) {
  static_assert(sizeof(T) >= sizeof(KSPROPERTY));
  auto bytes = std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(&record), sizeof(T));
  return set_property(bytes, bytes);
}
template <typename T> NTSTATUS Adapter::get_property(T &record, ULONG *returned) {
  static_assert(sizeof(T) >= sizeof(KSPROPERTY));
  T input = record;
  return get_property(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(&input), sizeof(T)),
                      std::span<uint8_t>(reinterpret_cast<uint8_t *>(&record), sizeof(T)), returned);
}
template <typename T> NTSTATUS Adapter::set_property(const T &record) {
  static_assert(sizeof(T) >= sizeof(KSPROPERTY));
  auto bytes = std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(&record), sizeof(T));
  return set_property(bytes, bytes);
}

} // namespace streamclass
