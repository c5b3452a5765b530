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
  flight->size = transfer->is_in() ? transfer->length() + 1u : transfer->out_data().size();
  flight->buffer = std::make_unique_for_overwrite<uint8_t[]>(flight->size);
  if (!transfer->is_in())
    std::copy(transfer->out_data().begin(), transfer->out_data().end(), flight->buffer.get());
  std::unique_lock guard(lock_);
  if (removed_) {
    guard.unlock();
    libusb_free_transfer(flight->usb);
    transfer->fail(TransferOutcome::DeviceGone);
    return;
  }
  const auto type = endpoints_.find(endpoint);
  if (type != endpoints_.end() && type->second == LIBUSB_TRANSFER_TYPE_INTERRUPT)
    libusb_fill_interrupt_transfer(flight->usb, handle_, endpoint, flight->buffer.get(), length,
                                   LibusbCallbacks::transfer_done, flight.get(), 0);
  else
    libusb_fill_bulk_transfer(flight->usb, handle_, endpoint, flight->buffer.get(), length,
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

// The setup packet and the data stage share the transfer's buffer; the transfer is freed here,
// after the event thread has called back (and libusb is done with it).
TransferOutcome LibusbDevice::control_in(uint8_t request, uint16_t value, uint16_t index,
                                         std::vector<uint8_t> *data) {
  std::vector<uint8_t> buffer(LIBUSB_CONTROL_SETUP_SIZE + data->size());
  libusb_fill_control_setup(buffer.data(), LIBUSB_ENDPOINT_IN, request, value, index,
                            static_cast<uint16_t>(data->size()));
  libusb_transfer *usb = libusb_alloc_transfer(0);
  if (usb == nullptr)
    return TransferOutcome::NoMemory;
  LibusbControlWait wait;
  libusb_fill_control_transfer(usb, handle_, buffer.data(), LibusbCallbacks::control_done, &wait,
                               kLibusbControlTimeoutMs);
  TransferOutcome outcome = outcome_from_libusb_error(libusb_submit_transfer(usb));
  if (outcome == TransferOutcome::Success) {
    std::unique_lock guard(wait.lock);
    wait.done.wait(guard, [&] { return wait.ended; });
    outcome = outcome_from_libusb_transfer(usb->status);
    const size_t moved = std::min(data->size(), static_cast<size_t>(std::max(usb->actual_length, 0)));
    std::copy_n(buffer.begin() + LIBUSB_CONTROL_SETUP_SIZE, moved, data->begin());
    data->resize(moved);
  }
  libusb_free_transfer(usb);
  return outcome;
}

void LIBUSB_CALL LibusbCallbacks::control_done(libusb_transfer *usb) {
  auto &wait = *static_cast<LibusbControlWait *>(usb->user_data);
  std::lock_guard guard(wait.lock);
  wait.ended = true;
  wait.done.notify_all();
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
// completed, or that filled its whole length and babbled past it: that shows as one byte more
// (DataOverrun, the length copied), as a device model reports a babble. Bytes that came before
// any other error are not counted.
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
  if (outcome == TransferOutcome::DataOverrun && transfer.is_in() && moved == transfer.length()) {
    flight->buffer[moved] = 0; // the excess byte, never copied: the bus copies the length
    transfer.complete_in(std::span<const uint8_t>(flight->buffer.get(), moved + 1u));
  } else if (outcome != TransferOutcome::Success) {
    transfer.fail(outcome, transfer.is_in() ? 0 : moved);
  } else if (transfer.is_in()) {
    transfer.complete_in(std::span<const uint8_t>(flight->buffer.get(), std::min(moved, transfer.length())));
  } else {
    transfer.complete_out(moved);
  }
  libusb_free_transfer(usb);
}

} // namespace usbbus
