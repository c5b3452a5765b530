// Fuzz target: arbitrary camera replies.
//
// Input: byte 0 holds the checksum flag (bits 0-1: 0..3, only 1 verifies) and
// the mode (bit 2).
// - Mode 0: the rest is one bulk IN read, handed to the reply parser in a
//   buffer of exactly its size, so that any read past the received bytes is
//   caught.
// - Mode 1: bytes 1-2 are a capacity (u16 LE; bit 3 of byte 0 makes it
//   65,536), the rest a script of packets, each a u16 LE length and its bytes,
//   that a scripted endpoint hands out one per bulk IN transfer through the
//   USB bus driver; when the script runs out, reads fail. The script is fed to
//   VELTRA_GetVarLenReceive with a destination of exactly the capacity.
// The promises of both are checked on every input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "adapter/adapter.h"
#include "emulator/usb/usb_identity.h"
#include "platform/kernel/pool.h"
#include "platform/usbbus/usb_bus.h"
#include "protocol/packet_exchange.h"
#include "protocol/packet_format.h"
#include "usb/qrnusb.h"

namespace {

// A camera-shaped USB device whose bulk IN endpoint answers from a script,
// at once, and whose bulk OUT endpoint takes everything and counts ACKs.
// Thread-safe: lock_ guards the script and the counts.
class ScriptedEndpoint final : public usbbus::UsbDeviceModel {
public:
  void load(std::deque<std::vector<uint8_t>> script) {
    std::lock_guard guard(lock_);
    script_ = std::move(script);
    acks_ = 0;
    reads_ = 0;
  }
  size_t acks() const {
    std::lock_guard guard(lock_);
    return acks_;
  }
  size_t reads() const {
    std::lock_guard guard(lock_);
    return reads_;
  }
  std::span<const uint8_t> descriptor(uint8_t type, uint8_t, uint16_t) override {
    if (type == 1)
      return emu::usb_device_descriptor();
    if (type == 2)
      return emu::usb_configuration_descriptor(emu::UsbIdentityVariant::Camera);
    return {};
  }
  void submit(const usbbus::TransferHandle &transfer) override {
    std::lock_guard guard(lock_);
    if (!transfer->is_in()) {
      const auto data = transfer->out_data();
      if (data.size() == 1 && data[0] == CAM_PACKET_ACK)
        ++acks_;
      transfer->complete_out(static_cast<uint32_t>(data.size()));
      return;
    }
    ++reads_;
    if (script_.empty()) {
      transfer->fail(usbbus::TransferOutcome::NoResponse);
      return;
    }
    transfer->complete_in(script_.front());
    script_.pop_front();
  }

private:
  mutable std::mutex lock_;
  std::deque<std::vector<uint8_t>> script_;
  size_t acks_ = 0;
  size_t reads_ = 0;
};

// The device extension on a bus with the scripted endpoint, set up once.
struct Link {
  std::shared_ptr<ScriptedEndpoint> endpoint = std::make_shared<ScriptedEndpoint>();
  std::unique_ptr<usbbus::UsbBus> bus;
  HW_DEVICE_EXTENSION *ext = nullptr;

  Link() {
    bus = std::make_unique<usbbus::UsbBus>(endpoint);
    ext = static_cast<HW_DEVICE_EXTENSION *>(::operator new(sizeof(HW_DEVICE_EXTENSION)));
    std::memset(ext, 0, sizeof(HW_DEVICE_EXTENSION));
    ext->pRealPhysicalDeviceObject = bus->physical_device_object();
    PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
    if (QRNUSB_GetConfigurationDescriptor(ext->pRealPhysicalDeviceObject, 0, &config, nullptr) !=
            STATUS_SUCCESS ||
        QRNUSB_SelectInterface(ext->pRealPhysicalDeviceObject, config, CAM_BUFFER_SIZE,
                               &ext->pInterfaceInformation) != STATUS_SUCCESS)
      std::abort();
    ExFreePool(config);
    for (ULONG i = 0; i < ext->pInterfaceInformation->NumberOfPipes; ++i) {
      const USBD_PIPE_INFORMATION *pipe = ext->pInterfaceInformation->Pipes + i;
      if (pipe->PipeType == UsbdPipeTypeBulk) {
        if (pipe->EndpointAddress & 0x80)
          ext->InPipeIndex = i;
        else
          ext->OutPipeIndex = i;
      }
    }
  }
};

void fuzz_parser(const uint8_t *data, size_t size, ULONG verify) {
  std::vector<UCHAR> received(data, data + size);
  static auto *reply = new CAM_PACKET;
  const ULONG accepted =
      VELTRA_ParseCAMtoAPIPacket(received.data(), static_cast<ULONG>(received.size()), verify, reply);
  if (received.empty()) {
    if (accepted != 0)
      std::abort();
    return;
  }
  if (reply->PacketType != received[0])
    std::abort();
  if (!accepted && (reply->Length != 0 || reply->Extra != 0))
    std::abort();
  if (accepted && (received[0] == CAM_PACKET_STX || received[0] == CAM_PACKET_ETX)) {
    if (received.size() < CAM_DATA_PACKET_MIN || reply->Length + 6u > received.size())
      std::abort();
    if (std::memcmp(reply->Data, received.data() + 4, reply->Length) != 0)
      std::abort();
  }
}

void fuzz_exchange(const uint8_t *data, size_t size, ULONG verify, bool full_capacity) {
  if (size < 2)
    return;
  static Link *link = new Link;
  const ULONG capacity = full_capacity ? CAM_BUFFER_SIZE : static_cast<ULONG>(data[0] | (data[1] << 8));
  std::deque<std::vector<uint8_t>> script;
  size_t at = 2;
  while (at + 2 <= size && script.size() < 64) {
    const size_t n = std::min<size_t>(data[at] | (data[at + 1] << 8), size - at - 2);
    script.emplace_back(data + at + 2, data + at + 2 + n);
    at += 2 + n;
  }
  const size_t packets = script.size();
  link->endpoint->load(std::move(script));
  std::vector<UCHAR> destination(capacity);
  ULONG received = 0;
  const ULONG result = VELTRA_GetVarLenReceive(link->ext, verify, destination.data(), capacity, &received);
  // Every ACK answers a data packet that was read; a success ends on ETX and
  // holds what it counted.
  if (link->endpoint->acks() > link->endpoint->reads() || link->endpoint->reads() > packets + 1)
    std::abort();
  if (result == 1 && (link->ext->CamPacket.PacketType != CAM_PACKET_ETX || received > capacity))
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0)
    return 0;
  const ULONG verify = data[0] & 3;
  if (data[0] & 4)
    fuzz_exchange(data + 1, size - 1, verify, (data[0] & 8) != 0);
  else
    fuzz_parser(data + 1, size - 1, verify);
  return 0;
}
