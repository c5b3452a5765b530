// The USB trace: every request the bus driver carries, at its submission and at its
// completion, as text lines and as a pcap capture in the Linux usbmon format (link type 220,
// LINKTYPE_USB_LINUX_MMAPPED: a 64-byte header per event, then the data), which Wireshark and
// tshark open.
//
// Text lines follow the usbmon text layout:
//   <id> <microseconds> S Bi:1:002:1 len=65536
//   <id> <microseconds> C Bi:1:002:1 status=0x00000000 bytes=12 = 02000800 6d000000 ...
//   <id> <microseconds> S Ci:1:002:0 s 80 06 0100 0000 0012 len=18
// (event S or C; transfer type B bulk, I interrupt, C control; i IN, o OUT; bus, device address,
// endpoint number; for control requests the setup packet; at most 32 data bytes shown.)
// Requests that have no wire form (a port reset) appear only in the text.
//
// Thread-safe: `lock_` guards the sinks; records are written whole, in the order they arrive.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace usbbus {

// usbmon transfer types.
enum class TraceTransferType : uint8_t { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3 };

// One submission or completion event.
struct TraceEvent {
  uint64_t id = 0;  // the request's number; S and C of one request share it
  char event = 'S'; // 'S' submission, 'C' completion
  TraceTransferType type = TraceTransferType::Bulk;
  uint8_t endpoint = 0;                        // endpoint address with its direction bit (0x80 = IN)
  uint32_t length = 0;                         // S: bytes asked or sent; C: bytes moved
  int32_t usbd_status = 0;                     // C: the URB's status
  std::span<const uint8_t> data;               // OUT at S, IN at C: the bytes
  std::optional<std::array<uint8_t, 8>> setup; // control S: the setup packet
  std::string_view note;                       // text only: what a request without wire form did
};

class UsbTrace {
public:
  UsbTrace(uint16_t bus_number, uint8_t device_address);
  ~UsbTrace();
  UsbTrace(const UsbTrace &) = delete;
  UsbTrace &operator=(const UsbTrace &) = delete;

  // Text lines go to `sink` (one call per line, with its "\n"); an empty function stops them.
  void set_text_sink(std::function<void(std::string_view)> sink);
  // Writes text lines to a file (appending); false when it cannot be opened.
  bool open_text_file(const std::string &path);
  // Starts a pcap capture into `path` (truncated); false when it cannot be opened.
  bool open_pcap(const std::string &path);
  // Ends the captures (flushes and closes the files).
  void close();

  // Whether any sink is set (callers skip building events otherwise).
  bool enabled() const;
  // Records one event in every sink. Any thread; blocks only on the sinks' lock and file I/O.
  void record(const TraceEvent &event);

private:
  void write_text(const TraceEvent &event, uint64_t micros);
  void write_pcap(const TraceEvent &event, uint64_t micros);

  const uint16_t bus_number_;
  const uint8_t device_address_;
  mutable std::mutex lock_; // guards the sinks below
  std::function<void(std::string_view)> text_sink_;
  std::FILE *text_file_ = nullptr;
  std::FILE *pcap_file_ = nullptr;
};

} // namespace usbbus
