// Inside the stream class host: the records behind Driver, Adapter, Pin and
// Request, and the host-wide state (options, request registry, registrations,
// master clocks, accounting).
//
// Lock order (outer first): PinCore::mutex_ -> AdapterCore::mutex_ ->
// RequestSync::mutex -> the host-wide leaf locks (registry, registrations,
// clocks, options). No host lock is held while the driver is called, and none
// while a completion callback runs.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/kernel/misuse.h"
#include "platform/streamclass/host.h"

namespace streamclass {

// An exact-size block of memory, 16-byte aligned, filled with `fill` (0: zeroed).
// Exact sizes let the sanitizers catch a driver that reads or writes past what the
// host handed it.
class HostBlock {
public:
  // `ok()` is false when memory is short.
  HostBlock(size_t bytes, uint8_t fill);
  ~HostBlock();
  HostBlock(const HostBlock &) = delete;
  HostBlock &operator=(const HostBlock &) = delete;
  bool ok() const { return data_ != nullptr || size_ == 0; }
  void *data() const { return data_; }
  size_t size() const { return size_; }

private:
  void *data_ = nullptr;
  size_t size_ = 0;
};

// Where a request stands.
enum class RequestState { Created, Delivered, Completed, Abandoned };

// The completion side of a request. `mutex` protects every member; `done` is
// signalled when the request is completed or abandoned.
struct RequestSync {
  mutable std::mutex mutex;
  mutable std::condition_variable done;
  RequestState state = RequestState::Created;
  bool signalled = false; // completion fully handled: waiters may go
  int completions = 0;
  Request::Trace trace;
};

// Host-wide sequence numbers for Request::Trace.
uint64_t next_sequence();

// Accounting and misuse reports (accounting.cpp).
struct Counters {
  std::atomic<uint64_t> delivered{0};
  std::atomic<uint64_t> completed{0};
  std::atomic<uint64_t> completed_twice{0};
  std::atomic<uint64_t> wrong_notification{0};
  std::atomic<uint64_t> unknown_completion{0};
  std::atomic<uint64_t> never_completed{0};
  std::atomic<uint64_t> completed_after_removal{0};
  std::atomic<uint64_t> abandoned{0};
  std::atomic<uint64_t> timeouts{0};
  std::atomic<uint64_t> cancels{0};
};
Counters &counters();

// Reports a misuse of the stream class interface (category Request).
void report_request_misuse(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Reports a misuse by the driver of anything else the host checks (category Device).
void report_device_misuse(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Whether this thread is running a request's completion callback (request.cpp).
// A callback runs on a driver thread, or on the adapter's watchdog thread when
// the driver completes from its time-out handler: closing a pin or removing the
// adapter there would wait for that very thread (or, on the watchdog, leave it
// holding the last reference of the adapter that owns it), so both are refused.
bool in_completion_callback();
// Refuses, with a misuse report naming `what`, a call made from a completion
// callback: true when refused.
bool refuse_in_completion_callback(const char *what);

// The live requests by block address (request.cpp): what a notification's block
// pointer is looked up in. Registered at creation, removed at destruction. Any
// thread; the registry's lock is a leaf.
void registry_add(const std::shared_ptr<Request> &request);
// The live request whose block is `srb`, or NULL (unknown, or being destroyed).
std::shared_ptr<Request> registry_find(const HW_STREAM_REQUEST_BLOCK *srb);

// Operations on requests that only the host performs (request.cpp).
struct RequestOps {
  // A new request of `kind` for `command`, with its extension (`extension_bytes`,
  // not cleared: a fill pattern) and an IRP of `stack_size` locations; NULL when
  // memory is short. Registered in the request registry.
  static std::shared_ptr<Request> create(RequestKind kind, SRB_COMMAND command, ULONG extension_bytes,
                                         CCHAR stack_size);
  // Marks the request delivered (before the driver's entry is called).
  static void mark_delivered(Request &request);
  static void mark_returned(Request &request);
  // Handles a completion notification for `request`, given as `notified_as`
  // (Device for DeviceRequestComplete) with the device extension or stream object
  // the driver passed: the first completion of a delivered request counts, marks
  // the request completed, tells its adapter, wakes waiters and runs the callback.
  // Later completions, and completions of requests that are not outstanding, are
  // misuse (counted and reported). A completion through the wrong notification is
  // misuse but still completes the request. Runs on the driver's thread with no
  // host lock held on entry.
  static void complete(Request &request, RequestKind notified_as, const void *notified_owner);
  // Marks a still outstanding request abandoned; true when it was outstanding (it is
  // counted and reported). The adapter's lock is held; the callback is run later by
  // finish_abandoned.
  static bool abandon(Request &request, const char *why);
  static void finish_abandoned(Request &request);
  // Makes a completed request deliverable again: its block as the host made it
  // (the submitter's CommandData cleared), the extension refilled, the IRP
  // re-initialised, no completion counted. Its blocks keep their contents.
  // False (and nothing changed) unless it is completed and signalled. The
  // caller must be the only holder of the request.
  static bool rearm(Request &request);
  static RequestState state(const Request &request);
  static std::weak_ptr<AdapterCore> adapter(const Request &request) { return request.adapter_; }
  static void set_owner(Request &request, std::weak_ptr<AdapterCore> adapter, std::weak_ptr<PinCore> pin) {
    request.adapter_ = std::move(adapter);
    request.pin_ = std::move(pin);
  }
  static std::weak_ptr<PinCore> pin(const Request &request) { return request.pin_; }
  static void set_frame(Request &request, KSSTREAM_HEADER *header, ULONG media_specific, const uint8_t *data,
                        ULONG extent) {
    request.frame_header_ = header;
    request.frame_media_specific_ = media_specific;
    request.frame_data_ = data;
    request.frame_extent_ = extent;
  }
};

// Master clocks by handle (master_clock.cpp).
HANDLE clock_register(std::shared_ptr<MasterClock> clock);
void clock_unregister(HANDLE handle);

// Registrations by driver object (registration.cpp).
bool registration_find(PDRIVER_OBJECT driver, HW_INITIALIZATION_DATA &data);
void registration_remove(PDRIVER_OBJECT driver);

// A loaded driver: its driver object, deleted with the last holder.
class DriverCore {
public:
  DriverCore(PDRIVER_OBJECT driver, const HW_INITIALIZATION_DATA &init) : driver_(driver), init_(init) {}
  ~DriverCore();
  PDRIVER_OBJECT driver_object() const { return driver_; }
  const HW_INITIALIZATION_DATA &init() const { return init_; }

private:
  PDRIVER_OBJECT driver_;
  HW_INITIALIZATION_DATA init_;
};

// The record at the start of the class device object's extension; the driver's
// device extension follows it.
struct CLASS_DEVICE_HEADER {
  ULONG Signature; // 'SCdx'
  ULONG Reserved;
  AdapterCore *Adapter;
};
inline constexpr size_t kClassHeaderSize = 16;
static_assert(sizeof(CLASS_DEVICE_HEADER) <= kClassHeaderSize);

using DriverEntryPoint = VOID (*)(PHW_STREAM_REQUEST_BLOCK);

// One device of a driver (see Adapter in host.h).
class AdapterCore : public std::enable_shared_from_this<AdapterCore> {
public:
  enum class State { Added, Starting, Started, StartFailed, Removing, Removed };

  // Creates the class device object over `pdo`: the host's header and the driver's
  // zero-filled device extension behind it, attached above `pdo`. The watchdog
  // starts with it. Passive level.
  static NTSTATUS create(std::shared_ptr<DriverCore> driver, PDEVICE_OBJECT pdo,
                         std::shared_ptr<AdapterCore> &out);
  ~AdapterCore();

  NTSTATUS start();
  NTSTATUS remove(RemovalKind kind);
  State state() const;

  // Who delivers a request; it decides whether the adapter takes the request now.
  enum class Admission {
    Application, // only while the device is added or started
    Sequence,    // the start and removal sequences' own adapter requests
    PinClose,    // a pin's SRB_CLOSE_STREAM: also while removal closes the pins, never later
  };

  // A request of `kind` for this adapter (and `pin` for a stream request); NULL when
  // memory is short.
  std::shared_ptr<Request> make_request(RequestKind kind, SRB_COMMAND command, PinCore *pin);
  // Hands the request to `entry` (HwReceivePacket when NULL) on this thread.
  // STATUS_PENDING once delivered; STATUS_DEVICE_REMOVED / STATUS_INVALID_DEVICE_STATE
  // when the adapter does not take requests now (`internal` requests of the start and
  // removal sequences are taken while starting and removing).
  NTSTATUS deliver(const std::shared_ptr<Request> &request, DriverEntryPoint entry = nullptr,
                   bool internal = false);
  // deliver, then wait for completion (sync_wait_limit): the request's status, or
  // STATUS_IO_TIMEOUT, or why it was not delivered.
  NTSTATUS call(const std::shared_ptr<Request> &request, DriverEntryPoint entry = nullptr,
                bool internal = false);
  // HwCancelPacket for an outstanding request; nothing for one that is not, for a
  // request of a pin that is closing (SRB_CLOSE_STREAM ends those), or once removal
  // has drained the driver (the device is being deleted). Any thread; takes the
  // pin's and then this adapter's lock briefly.
  void cancel(const std::shared_ptr<Request> &request);
  // A completed request leaves the outstanding set.
  void completed(const Request &request);

  // Pins.
  NTSTATUS open_pin(ULONG stream, std::span<const uint8_t> format, std::shared_ptr<PinCore> &pin,
                    bool checked);
  // The close of `pin` (called once per pin, by PinCore::close): SRB_CLOSE_STREAM
  // (the request reserved at the open), then the pin's outstanding requests
  // abandoned and its instance freed. Refused (STATUS_DEVICE_REMOVED) once removal
  // has passed its close step. Passive level; blocks.
  NTSTATUS close_stream(PinCore &pin);

  // A property request of the device (pin NULL) or of a stream. For an item the
  // descriptor publishes, sizes below its MinProperty / MinData are refused with
  // STATUS_BUFFER_TOO_SMALL before the driver sees them; requests for sets or items
  // that are not published go to the driver as they are (it answers them). A Get
  // copies back the bytes the driver reports (ActualBytesTransferred, at most the
  // buffer). Passive level; blocks.
  NTSTATUS property(PinCore *pin, bool set, std::span<const uint8_t> property, std::span<uint8_t> data,
                    ULONG *returned);
  // One SRB_GET_DATA_INTERSECTION: the caller's range (its FormatSize bytes,
  // exactly) and a zero-filled result buffer of `buffer_size` bytes (none for 0).
  // On success `format` holds the bytes the driver reports. Passive level; blocks.
  NTSTATUS intersect_once(ULONG stream, std::span<const uint8_t> range, ULONG buffer_size,
                          std::vector<uint8_t> &format, ULONG *actual);

  // Descriptor (descriptor.cpp).
  ULONG stream_count() const;
  const HW_STREAM_HEADER *stream_header() const;
  const HW_STREAM_INFORMATION *stream_information(ULONG stream) const;
  NTSTATUS stream_info_status() const;

  const HW_INITIALIZATION_DATA &init() const { return driver_->init(); }
  PDEVICE_OBJECT fdo() const { return fdo_; }
  PDEVICE_OBJECT pdo() const { return pdo_; }
  PVOID device_extension() const { return hw_ext_; }

  // Whether `format` (a KSDATAFORMAT and what follows, FormatSize bytes) can be
  // handed to the driver: at least a KSDATAFORMAT, FormatSize within the bytes given.
  static bool format_ok(std::span<const uint8_t> format);

private:
  explicit AdapterCore(std::shared_ptr<DriverCore> driver) : driver_(std::move(driver)) {}
  bool accepts(Admission admission) const;
  NTSTATUS deliver_as(const std::shared_ptr<Request> &request, DriverEntryPoint entry, Admission admission);
  NTSTATUS call_as(const std::shared_ptr<Request> &request, DriverEntryPoint entry, Admission admission);
  NTSTATUS open_counted(ULONG stream, std::span<const uint8_t> format, std::shared_ptr<PinCore> &out,
                        bool checked);
  void close_pins();
  void pin_closed(PinCore &pin);
  NTSTATUS removal_sequence(RemovalKind kind);
  void call_entry(DriverEntryPoint entry, PHW_STREAM_REQUEST_BLOCK srb);
  void leave_driver(size_t calls);
  void watchdog_loop(std::chrono::milliseconds tick);
  void stop_watchdog();
  void abandon_outstanding(const PinCore *pin, const char *why);
  NTSTATUS start_stream_info(ULONG size);
  NTSTATUS send_internal(SRB_COMMAND command);
  bool reserve_removal_requests();
  NTSTATUS send_reserved(std::shared_ptr<Request> &reserved);
  void release_removal_requests();
  bool descriptor_valid(const HostBlock &block) const;

  std::shared_ptr<DriverCore> driver_;
  PDEVICE_OBJECT fdo_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr; // the device the FDO is attached to
  PVOID hw_ext_ = nullptr;
  CCHAR stack_size_ = 1; // of the FDO's stack: the IRPs of requests

  // Protects every member below (but not the driver's memory).
  mutable std::mutex mutex_;
  State state_ = State::Added;
  // Delivered requests not yet completed, by block address.
  std::unordered_map<const HW_STREAM_REQUEST_BLOCK *, std::shared_ptr<Request>> outstanding_;
  // Requests abandoned at pin close or removal; kept, since the driver may still
  // hold their blocks.
  std::vector<std::shared_ptr<Request>> abandoned_;
  // Calls into the driver that have not returned; `drained_` signals 0.
  size_t in_flight_ = 0;
  std::condition_variable drained_;
  // Every pin ever opened (their stream objects and extensions must outlive any
  // driver call that may still look at them), and the open instances per stream.
  std::vector<std::shared_ptr<PinCore>> pins_;
  std::vector<ULONG> open_instances_;
  // Opens between their state check and the end of their SRB_OPEN_STREAM (the pin
  // open or failed); `opens_done_` signals 0. Removal waits for them before it
  // takes its list of pins to close.
  size_t opening_ = 0;
  std::condition_variable opens_done_;
  // Removal has closed every pin: no pin close reaches the driver any more.
  bool pins_closed_ = false;
  // Removal has drained the driver: nothing more is called (no cancel either).
  bool quiet_ = false;
  // `removed_` signals the end of the removal (state Removed), for a second remover.
  std::condition_variable removed_;
  // The removal sequence's requests, made when the device starts so that a
  // removal never fails for lack of memory; each is let go when sent, or unused
  // at the end of the removal (or of a failed start).
  std::shared_ptr<Request> uninitialize_request_;
  std::shared_ptr<Request> surprise_request_;
  // The stream descriptor of the start (set once, while starting).
  std::unique_ptr<HostBlock> descriptor_;
  NTSTATUS stream_info_status_ = STATUS_PENDING;
  // The time-out watchdog; `watchdog_wake_` wakes it to stop.
  std::thread watchdog_;
  bool watchdog_stop_ = false;
  std::condition_variable watchdog_wake_;

  // Serialises calls into a driver that registered with TurnOffSynchronization FALSE.
  std::recursive_mutex serial_;
  bool serialise_ = false;
};

// One open stream (see Pin in host.h).
class PinCore : public std::enable_shared_from_this<PinCore> {
public:
  enum class State { Opening, Open, Closing, Closed };
  PinCore(std::weak_ptr<AdapterCore> adapter, ULONG stream, ULONG extension_bytes, PVOID device_extension);
  bool ok() const { return object_block_.ok() && extension_block_.ok(); }

  HW_STREAM_OBJECT &object() const { return *static_cast<HW_STREAM_OBJECT *>(object_block_.data()); }
  PVOID extension() const { return extension_block_.data(); }
  ULONG stream() const { return stream_; }
  std::shared_ptr<AdapterCore> adapter() const { return adapter_.lock(); }

  // Called by the adapter once SRB_OPEN_STREAM has succeeded, or when it failed, was
  // refused or was not answered in time (the pin is then closed without ever having
  // been open, and the reserved close request is let go unused).
  void opened();
  void open_failed();
  bool is_open() const;

  // The pin's SRB_CLOSE_STREAM request, made before the open is delivered so that
  // the close never fails for lack of memory. Kept until the close takes it (it is
  // then the caller's; NULL once taken); let go unused when the open fails. Any
  // thread; takes mutex_.
  void reserve_close(std::shared_ptr<Request> request);
  std::shared_ptr<Request> take_close();

  std::shared_ptr<Request> make_request(RequestKind kind, SRB_COMMAND command);
  // Delivers a stream request to the entry point the driver set in the stream object,
  // while the pin is open (STATUS_INVALID_DEVICE_STATE otherwise).
  // STATUS_NOT_IMPLEMENTED when the driver set no entry point for the request's
  // kind. Any thread.
  NTSTATUS deliver(const std::shared_ptr<Request> &request);
  NTSTATUS call(const std::shared_ptr<Request> &request);
  NTSTATUS close();

  NTSTATUS set_state(KSSTATE state);
  NTSTATUS get_state(KSSTATE &state);
  NTSTATUS send_format(SRB_COMMAND command, std::span<const uint8_t> format);
  NTSTATUS get_format(ULONG size, std::vector<uint8_t> &format);
  NTSTATUS set_master_clock(std::shared_ptr<MasterClock> clock);
  NTSTATUS submit(ULONG bytes, std::unique_ptr<FrameBuffer> &buffer, FrameCallback callback);
  void cancel(const std::shared_ptr<Request> &request);

  std::shared_ptr<Request> make_read(ULONG bytes, ULONG media_specific);
  std::shared_ptr<Request> reuse_read(const FrameBuffer &buffer, ULONG bytes, ULONG media_specific);

  // A call into the driver on behalf of this pin (a delivery, a cancel): counted
  // while the pin is open so that close waits for it; enter is false once the
  // pin is closing. Any thread; takes mutex_.
  bool enter_driver_call();
  void leave_driver_call();

private:
  std::weak_ptr<AdapterCore> adapter_;
  ULONG stream_;
  HostBlock object_block_;    // the HW_STREAM_OBJECT
  HostBlock extension_block_; // the driver's stream extension

  // Protects the members below.
  mutable std::mutex mutex_;
  State state_ = State::Opening;
  size_t calls_ = 0; // deliveries and cancel calls in the driver; `idle_` signals 0
  std::condition_variable idle_;
  // Signals the end of a close (state Closed), for other closes waiting on it.
  std::condition_variable closed_;
  NTSTATUS close_status_ = STATUS_SUCCESS; // what the close returned
  ULONG media_specific_ = 0;               // StreamHeaderMediaSpecific as the open left it
  std::vector<HANDLE> clocks_;             // clock handles given to the driver, unregistered at close
  std::shared_ptr<Request> close_request_; // reserved SRB_CLOSE_STREAM (see reserve_close)
};

} // namespace streamclass
