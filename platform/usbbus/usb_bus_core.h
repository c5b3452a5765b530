// Inside the USB bus driver: the shared state of one bus (BusCore), the record of a request
// that is being carried out (BusRequest), and the routines of the bus's files.
//
// A request is received by the dispatch routine, carried out (at once, by the device model, or
// after the control delay) and finished: its URB and IoStatus are written and its packet is
// completed. Every request that is not finished in its dispatch call is in `BusCore::pending`
// and has the bus's cancel routine. It ends exactly once, under `BusCore::lock`, by whichever
// comes first (the device's answer, a cancel, a reset, the removal, its timer); whoever ends it
// while its dispatch call still runs leaves the finishing to that call; a device model's thread
// that collects its completions (ThreadCompletions) finishes it itself once it holds no lock;
// anyone else queues it for the host-controller thread.
#pragma once

#include "platform/usbbus/usb_bus.h"
#include "platform/usbbus/usb_trace.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace usbbus {

class BusRequest;
using BusRequestPtr = std::shared_ptr<BusRequest>;

// One open pipe of the selected configuration.
struct Pipe {
  USBD_PIPE_HANDLE handle = nullptr;
  uint8_t interface_number = 0;
  uint8_t endpoint = 0; // address with direction bit
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  uint16_t max_packet = 0;
  uint8_t interval = 0;
  uint32_t max_transfer = 0;
  bool halted = false; // a stall ended a transfer; cleared by a pipe reset
};

// A test fault: the next `remaining` URBs of `function` fail at once.
struct RequestFault {
  USHORT function = 0;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  int remaining = 0;
};

enum class RequestKind { Transfer, Control };
enum class RequestState { Active, Ended };

// The bookkeeping of one bus. Ownership: shared by the UsbBus and by every request it carries
// (a request may outlive the bus in a device model's hands or on a thread that finishes it), so
// any thread may drop the last reference; it therefore owns no thread and no device model, and
// its destruction only frees memory. The model belongs to the UsbBus and is reached through
// `device` only inside a DeviceCall, which the removal ends for good.
struct BusCore : std::enable_shared_from_this<BusCore> {
  BusCore(UsbDeviceModel &model, UsbBus::Options options)
      : device(&model), trace(options.bus_number, options.device_address) {}

  UsbDeviceModel *const device; // not owned; call it only inside a DeviceCall
  UsbTrace trace;               // thread-safe on its own

  mutable std::mutex lock;                   // guards every field below and each request's state
  std::condition_variable hc_wake;           // signals the host-controller thread: work, timer or stop
  mutable std::condition_variable changed;   // signals waiters: a request finished, a device call ended
  std::map<uint64_t, BusRequestPtr> pending; // by id, until finished
  std::deque<BusRequestPtr> finish_queue;    // ended, for the HC thread
  std::multimap<std::chrono::steady_clock::time_point, uint64_t> timers; // delayed control requests
  uint64_t next_id = 1;
  bool present = true;
  bool stop = false;
  size_t device_calls = 0; // calls into the model in progress
  size_t removals = 0;     // remove_device calls in progress; the UsbBus outlives them
  std::thread::id hc_thread_id;

  std::vector<Pipe> pipes; // of the selected configuration
  uint8_t configuration_value = 0;
  uint32_t generation = 0; // of the pipe handles; increases with each configuration
  std::chrono::milliseconds control_delay{0};
  std::vector<RequestFault> faults;
  UsbBus::Counters counters;
};

// A request being carried out. As a Transfer it is the model's handle of a bulk or interrupt
// transfer. Ownership: shared by the bus's bookkeeping (pending, the finish queue), the model
// and a thread finishing it; it keeps the BusCore alive, and with it nothing but memory.
class BusRequest final : public Transfer, public std::enable_shared_from_this<BusRequest> {
public:
  BusRequest(std::shared_ptr<BusCore> core, RequestKind kind, PIRP irp, PURB urb);

  // Transfer
  uint8_t endpoint_address() const override { return endpoint; }
  uint32_t length() const override { return requested; }
  std::span<const uint8_t> out_data() const override { return out_copy; }
  uint64_t id() const override { return request_id; }
  bool complete_in(std::span<const uint8_t> data) override;
  bool complete_out(uint32_t accepted) override;
  bool fail(TransferOutcome outcome, uint32_t bytes) override;
  bool is_active() const override;

  const std::shared_ptr<BusCore> core;
  const RequestKind kind;
  const PIRP irp;
  const PURB urb; // NULL for a port reset
  uint64_t request_id = 0;

  // Transfers: set before the request is published, constant afterwards.
  uint8_t endpoint = 0;
  uint32_t requested = 0;
  PUCHAR buffer = nullptr; // the host's buffer (written only while Active, under core->lock)
  bool short_ok = false;
  TraceTransferType trace_type = TraceTransferType::Bulk;
  std::vector<uint8_t> out_copy;

  // Guarded by core->lock.
  RequestState state = RequestState::Active;
  bool in_dispatch = true; // its dispatch call has not returned yet; it finishes the request
  USBD_STATUS status = USBD_STATUS_PENDING;
  uint32_t bytes = 0;
};

// ---- usb_bus_requests.cpp: ending, finishing, cancelling, the host-controller thread ----

// Ends `request` with `status` and `bytes` if it is still Active; unless its dispatch call
// still runs, keeps it for this thread's ThreadCompletions (a transfer ended on a model thread
// that collects) or queues it for the host-controller thread. Returns false if it had ended.
// Called with core.lock held.
bool end_request_locked(BusCore &core, BusRequest &request, USBD_STATUS status, uint32_t bytes);

// Ends every pending transfer (and, when `controls_too`, every delayed control request) with
// `status`; returns the ended transfers so the caller can tell the model (outside the lock).
// Called with core.lock held.
std::vector<BusRequestPtr> end_pending_locked(BusCore &core, USBD_STATUS status, bool controls_too,
                                              const uint8_t *only_endpoint);

// Writes the request's result into its URB and IoStatus, traces it, completes its packet and
// forgets it. `later`: on the host-controller thread (raised to DISPATCH_LEVEL around the
// completion). Called with no bus lock held. Returns the NT status the packet completed with.
NTSTATUS finish_request(BusCore &core, const BusRequestPtr &request, bool later);

// Publishes a request that may outlive its dispatch call: gives it an id and the cancel
// routine, and adds it to `pending`. When the packet was cancelled before the routine could be
// set, the request ends as cancelled at once. Called with core.lock held.
void publish_request_locked(BusCore &core, const BusRequestPtr &request);

// The bus's cancel routine (IoCancelIrp calls it with the cancel spin lock held).
VOID bus_cancel_routine(PDEVICE_OBJECT device_object, PIRP irp);

// A new request with the next id (counted as received). Takes core->lock.
BusRequestPtr make_request(const std::shared_ptr<BusCore> &core, RequestKind kind, PIRP irp, PURB urb);

// Ends a request that is still in its dispatch call with `status` and finishes it there, in the
// caller's context. Returns the NT status the packet completed with. No lock held.
NTSTATUS finish_at_once(BusCore &core, const BusRequestPtr &request, USBD_STATUS status, uint32_t bytes);

// Takes one injected fault for a URB of `function`: true, with its status, when one applies.
// Takes core.lock.
bool take_fault(BusCore &core, USHORT function, USBD_STATUS *status);

// Tells the model that `ended` transfers were cancelled (no lock held).
void notify_cancelled(BusCore &core, const std::vector<BusRequestPtr> &ended);

// Whether this thread is finishing transfers it ended itself (ThreadCompletions::finish): a
// removal made by a completion routine there does not wait for the requests still to finish.
bool finishing_on_this_thread();

// ---- usb_bus_transfers.cpp ----

// Carries out a bulk or interrupt transfer URB.
NTSTATUS submit_transfer(const std::shared_ptr<BusCore> &core, PIRP irp, PURB urb);

// ---- usb_bus_control.cpp ----

// Carries out a control request (a URB other than a transfer, or a port reset when `urb` is
// NULL): at once, or after the control delay.
NTSTATUS submit_control(const std::shared_ptr<BusCore> &core, PIRP irp, PURB urb);

// Performs a control request and sets its status and bytes. Called with no lock held, by the
// dispatch routine or the host-controller thread, once the request is no longer Active (so
// nobody else touches its URB).
void run_control(BusCore &core, BusRequest &request);

// A call into the device model: counted so that removal can wait for calls in progress.
// `ok()` is false when the device is gone (do not call it then).
class DeviceCall {
public:
  explicit DeviceCall(BusCore &core);
  ~DeviceCall();
  DeviceCall(const DeviceCall &) = delete;
  DeviceCall &operator=(const DeviceCall &) = delete;
  bool ok() const { return ok_; }

private:
  BusCore &core_;
  bool ok_;
};

} // namespace usbbus
