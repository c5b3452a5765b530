// The libusb device model's bulk and interrupt transfers: submission, cancellation and the
// completion libusb calls back on the event thread.
#include "platform/usbbus/libusb_internal.h"

#include <algorithm>

namespace usbbus {

void LibusbDevice::submit(const TransferHandle &transfer) {
  auto flight = std::make_unique<InFlight>();
  flight->owner = this;
  flight->transfer = transfer;
  flight->usb = libusb_alloc_transfer(0);
  if (flight->usb == nullptr) {
    transfer->fail(TransferOutcome::NoMemory);
    return;
  }
  const uint8_t endpoint = transfer->endpoint_address();
  const int length = static_cast<int>(transfer->length());
  if (transfer->is_in())
    flight->buffer.resize(transfer->length() + 1u);
  else
    flight->buffer.assign(transfer->out_data().begin(), transfer->out_data().end());
  std::unique_lock guard(lock_);
  if (removed_) {
    guard.unlock();
    libusb_free_transfer(flight->usb);
    transfer->fail(TransferOutcome::DeviceGone);
    return;
  }
  const auto type = endpoints_.find(endpoint);
  if (type != endpoints_.end() && type->second == LIBUSB_TRANSFER_TYPE_INTERRUPT)
    libusb_fill_interrupt_transfer(flight->usb, handle_, endpoint, flight->buffer.data(), length,
                                   LibusbCallbacks::transfer_done, flight.get(), 0);
  else
    libusb_fill_bulk_transfer(flight->usb, handle_, endpoint, flight->buffer.data(), length,
                              LibusbCallbacks::transfer_done, flight.get(), 0);
  const int r = libusb_submit_transfer(flight->usb);
  if (r == LIBUSB_SUCCESS) {
    in_flight_.push_back(flight.release());
    return;
  }
  guard.unlock();
  libusb_free_transfer(flight->usb);
  transfer->fail(outcome_from_libusb_error(r));
}

// The transfer has ended for the bus already; libusb's cancellation only releases it.
void LibusbDevice::cancel(const TransferHandle &transfer) {
  std::lock_guard guard(lock_);
  for (InFlight *flight : in_flight_)
    if (flight->transfer == transfer)
      (void)libusb_cancel_transfer(flight->usb); // NOT_FOUND: it is ending anyway
}

void LibusbDevice::cancel_all_locked() {
  for (InFlight *flight : in_flight_)
    (void)libusb_cancel_transfer(flight->usb);
}

// Ends the bus's transfer as libusb reports it. IN data is copied only from a transfer that
// completed: a babble shows as one byte past the length (DataOverrun, the length copied), as
// a device model reports one; bytes that came before an error are not counted.
void LIBUSB_CALL LibusbCallbacks::transfer_done(libusb_transfer *usb) {
  std::unique_ptr<LibusbDevice::InFlight> flight(static_cast<LibusbDevice::InFlight *>(usb->user_data));
  LibusbDevice &self = *flight->owner;
  {
    std::lock_guard guard(self.lock_);
    std::erase(self.in_flight_, flight.get());
    if (self.in_flight_.empty())
      self.idle_.notify_all();
  }
  Transfer &transfer = *flight->transfer;
  const uint32_t moved = static_cast<uint32_t>(std::max(usb->actual_length, 0));
  const TransferOutcome outcome = outcome_from_libusb_transfer(usb->status);
  if (outcome == TransferOutcome::DataOverrun && transfer.is_in())
    transfer.complete_in(flight->buffer);
  else if (outcome != TransferOutcome::Success)
    transfer.fail(outcome, transfer.is_in() ? 0 : moved);
  else if (transfer.is_in())
    transfer.complete_in(std::span<const uint8_t>(flight->buffer.data(), std::min(moved, transfer.length())));
  else
    transfer.complete_out(moved);
  libusb_free_transfer(usb);
}

} // namespace usbbus
