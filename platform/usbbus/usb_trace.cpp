// The USB trace: text lines and a usbmon pcap capture.
#include "platform/usbbus/usb_trace.h"

#include "platform/usbbus/usb_status.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>

namespace usbbus {
namespace {

constexpr size_t kTextDataBytes = 32;
constexpr uint32_t kPcapLinkTypeUsbLinuxMmapped = 220;
constexpr uint32_t kPcapSnapLength = 0x40000;

// The 64-byte header of a usbmon event (the mmapped binary layout).
struct UsbmonHeader {
  uint64_t id;
  uint8_t type;
  uint8_t xfer_type;
  uint8_t epnum;
  uint8_t devnum;
  uint16_t busnum;
  int8_t flag_setup;
  int8_t flag_data;
  int64_t ts_sec;
  int32_t ts_usec;
  int32_t status;
  uint32_t length;
  uint32_t len_cap;
  uint8_t setup[8];
  int32_t interval;
  int32_t start_frame;
  uint32_t xfer_flags;
  uint32_t ndesc;
};
static_assert(sizeof(UsbmonHeader) == 64);

struct PcapFileHeader {
  uint32_t magic;
  uint16_t version_major;
  uint16_t version_minor;
  int32_t thiszone;
  uint32_t sigfigs;
  uint32_t snaplen;
  uint32_t network;
};
static_assert(sizeof(PcapFileHeader) == 24);

struct PcapRecordHeader {
  uint32_t ts_sec;
  uint32_t ts_usec;
  uint32_t incl_len;
  uint32_t orig_len;
};

char type_letter(TraceTransferType type) {
  switch (type) {
  case TraceTransferType::Isochronous:
    return 'Z';
  case TraceTransferType::Interrupt:
    return 'I';
  case TraceTransferType::Control:
    return 'C';
  case TraceTransferType::Bulk:
    return 'B';
  }
  return 'B';
}

// Appends printf-style text to `out`.
__attribute__((format(printf, 2, 3))) void appendf(std::string &out, const char *format, ...) {
  char buffer[128];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  if (n > 0)
    out.append(buffer, static_cast<size_t>(n) < sizeof(buffer) ? static_cast<size_t>(n) : sizeof(buffer) - 1);
}

uint64_t now_micros() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

// The bytes of the event that a capture carries: OUT data at submission, IN data at completion.
std::span<const uint8_t> captured(const TraceEvent &event) {
  const bool in = (event.endpoint & 0x80) != 0;
  if ((event.event == 'S' && !in) || (event.event == 'C' && in))
    return event.data;
  return {};
}

} // namespace

UsbTrace::UsbTrace(uint16_t bus_number, uint8_t device_address)
    : bus_number_(bus_number), device_address_(device_address) {}

UsbTrace::~UsbTrace() {
  close();
}

void UsbTrace::set_text_sink(std::function<void(std::string_view)> sink) {
  std::lock_guard<std::mutex> guard(lock_);
  text_sink_ = std::move(sink);
}

bool UsbTrace::open_text_file(const std::string &path) {
  std::FILE *file = std::fopen(path.c_str(), "a");
  if (file == nullptr)
    return false;
  std::lock_guard<std::mutex> guard(lock_);
  if (text_file_ != nullptr)
    std::fclose(text_file_);
  text_file_ = file;
  return true;
}

bool UsbTrace::open_pcap(const std::string &path) {
  std::FILE *file = std::fopen(path.c_str(), "wb");
  if (file == nullptr)
    return false;
  const PcapFileHeader header{0xA1B2C3D4, 2, 4, 0, 0, kPcapSnapLength, kPcapLinkTypeUsbLinuxMmapped};
  if (std::fwrite(&header, sizeof(header), 1, file) != 1) {
    std::fclose(file);
    return false;
  }
  std::lock_guard<std::mutex> guard(lock_);
  if (pcap_file_ != nullptr)
    std::fclose(pcap_file_);
  pcap_file_ = file;
  return true;
}

void UsbTrace::close() {
  std::lock_guard<std::mutex> guard(lock_);
  if (text_file_ != nullptr)
    std::fclose(text_file_);
  if (pcap_file_ != nullptr)
    std::fclose(pcap_file_);
  text_file_ = nullptr;
  pcap_file_ = nullptr;
  text_sink_ = nullptr;
}

bool UsbTrace::enabled() const {
  std::lock_guard<std::mutex> guard(lock_);
  return text_sink_ || text_file_ != nullptr || pcap_file_ != nullptr;
}

void UsbTrace::record(const TraceEvent &event) {
  const uint64_t micros = now_micros();
  std::lock_guard<std::mutex> guard(lock_);
  if (text_sink_ || text_file_ != nullptr)
    write_text(event, micros);
  if (pcap_file_ != nullptr && event.note.empty())
    write_pcap(event, micros);
}

// Formats one text line and hands it to the text sinks. Called with lock_ held.
void UsbTrace::write_text(const TraceEvent &event, uint64_t micros) {
  const bool in = (event.endpoint & 0x80) != 0;
  std::string line;
  appendf(line, "%llu %llu %c %c%c:%u:%03u:%u", static_cast<unsigned long long>(event.id),
          static_cast<unsigned long long>(micros % 10000000000ULL), event.event, type_letter(event.type),
          in ? 'i' : 'o', bus_number_, device_address_, event.endpoint & 0x0F);
  if (event.setup) {
    const auto &s = *event.setup;
    appendf(line, " s %02x %02x %04x %04x %04x", s[0], s[1], s[2] | (s[3] << 8), s[4] | (s[5] << 8),
            s[6] | (s[7] << 8));
  }
  if (!event.note.empty())
    appendf(line, " %.*s", static_cast<int>(event.note.size()), event.note.data());
  if (event.event == 'S')
    appendf(line, " len=%u", event.length);
  else
    appendf(line, " status=0x%08X bytes=%u", static_cast<uint32_t>(event.usbd_status), event.length);
  const auto data = captured(event);
  if (!data.empty()) {
    line += " =";
    for (size_t i = 0; i < data.size() && i < kTextDataBytes; ++i)
      appendf(line, i % 4 == 0 ? " %02x" : "%02x", data[i]);
  }
  line += "\n";
  if (text_sink_)
    text_sink_(line);
  if (text_file_ != nullptr) {
    std::fwrite(line.data(), 1, line.size(), text_file_);
    std::fflush(text_file_);
  }
}

// Writes one usbmon record. Called with lock_ held.
void UsbTrace::write_pcap(const TraceEvent &event, uint64_t micros) {
  const bool in = (event.endpoint & 0x80) != 0;
  const auto data = captured(event);
  UsbmonHeader h;
  std::memset(&h, 0, sizeof(h));
  h.id = event.id;
  h.type = static_cast<uint8_t>(event.event);
  h.xfer_type = static_cast<uint8_t>(event.type);
  h.epnum = event.endpoint;
  h.devnum = device_address_;
  h.busnum = bus_number_;
  h.flag_setup = event.setup ? 0 : '-';
  // usbmon marks why no data follows: '<' an IN submission, '>' an OUT completion.
  h.flag_data = (event.event == 'S' && in) ? '<' : (event.event == 'C' && !in) ? '>' : 0;
  h.ts_sec = static_cast<int64_t>(micros / 1000000);
  h.ts_usec = static_cast<int32_t>(micros % 1000000);
  h.status = event.event == 'S' ? -EINPROGRESS : usbmon_status_from_usbd(event.usbd_status);
  h.length = event.length;
  h.len_cap = static_cast<uint32_t>(data.size());
  if (event.setup)
    std::memcpy(h.setup, event.setup->data(), 8);
  const PcapRecordHeader record{static_cast<uint32_t>(h.ts_sec), static_cast<uint32_t>(h.ts_usec),
                                static_cast<uint32_t>(sizeof(h) + data.size()),
                                static_cast<uint32_t>(sizeof(h) + data.size())};
  std::fwrite(&record, sizeof(record), 1, pcap_file_);
  std::fwrite(&h, sizeof(h), 1, pcap_file_);
  if (!data.empty())
    std::fwrite(data.data(), 1, data.size(), pcap_file_);
  std::fflush(pcap_file_);
}

} // namespace usbbus
