// The fault table, the knob parser and the seeded trials.
#include "emulator/camera/faults.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace emu {

const std::array<FaultInfo, kFaultCount> kFaultTable = {{
    {Fault::SizeChecksum, "size-checksum", FaultUnit::Picture,
     "the picture-size answer has a wrong checksum"},
    {Fault::PictureChecksum, "picture-checksum", FaultUnit::Transfer,
     "a picture packet has a wrong checksum"},
    {Fault::LostPacket, "lost-packet", FaultUnit::Transfer,
     "a reply packet is never sent: the host's read waits until a pipe or port reset or removal"},
    {Fault::Nak, "nak", FaultUnit::Transfer, "a command is answered with NAK instead of its reply"},
    {Fault::SizeZero, "size-zero", FaultUnit::Picture, "the picture-size answer says 0"},
    {Fault::SizeSmaller, "size-smaller", FaultUnit::Picture,
     "the announced size is smaller than the picture"},
    {Fault::SizeLarger, "size-larger", FaultUnit::Picture, "the announced size is larger than the picture"},
    {Fault::Truncated, "truncated", FaultUnit::Picture, "the picture is cut to half its length"},
    {Fault::Damaged, "damaged", FaultUnit::Picture, "bytes inside the picture's image data are overwritten"},
    {Fault::Oversized, "oversized", FaultUnit::Picture, "the picture is longer than 65,536 bytes"},
    {Fault::OddSize, "odd-size", FaultUnit::Picture, "the picture is not 320 x 240"},
    {Fault::StopAnswering, "stop-answering", FaultUnit::Transfer,
     "the camera stops answering until a pipe or port reset or removal"},
    {Fault::Disconnect, "disconnect", FaultUnit::Transfer, "the camera is unplugged"},
    {Fault::WriteError, "write-error", FaultUnit::Transfer, "an OUT transfer fails"},
    {Fault::ReadError, "read-error", FaultUnit::Transfer, "an IN transfer fails on the bus, its packet lost"},
    {Fault::FocusSlow, "focus-slow", FaultUnit::Focus, "the auto focus takes the slow focus time"},
    {Fault::FocusFail, "focus-fail", FaultUnit::Focus, "the auto focus is answered ACK then ACK, no ENQ"},
    {Fault::ZoomHigh, "zoom-high", FaultUnit::ZoomRead, "the zoom reading is above 100"},
}};

namespace {

// splitmix64: a well-mixed 64-bit hash, so that neighbouring keys draw
// independent values.
uint64_t mix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Parses a rate: a number in 0..1, or a percentage "N%".
bool parse_rate(std::string_view text, double *rate) {
  bool percent = !text.empty() && text.back() == '%';
  if (percent)
    text.remove_suffix(1);
  if (text.empty())
    return false;
  std::string copy(text);
  char *end = nullptr;
  double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size())
    return false;
  if (percent)
    value /= 100.0;
  if (!(value >= 0.0 && value <= 1.0))
    return false;
  *rate = value;
  return true;
}

} // namespace

bool fault_by_name(std::string_view name, Fault *fault) {
  for (const FaultInfo &info : kFaultTable) {
    if (name == info.name) {
      *fault = info.fault;
      return true;
    }
  }
  return false;
}

std::string fault_plan_apply(FaultPlan *plan, std::string_view setting) {
  const size_t sep = setting.find_first_of("=@");
  const std::string_view name = setting.substr(0, sep);
  Fault fault;
  if (!fault_by_name(name, &fault))
    return "unknown fault '" + std::string(name) + "' (--fault help lists them)";
  FaultKnob &knob = plan->knobs[static_cast<size_t>(fault)];
  if (sep == std::string_view::npos) {
    knob.rate = 1.0;
    return {};
  }
  const std::string_view value = setting.substr(sep + 1);
  if (setting[sep] == '=') {
    if (!parse_rate(value, &knob.rate))
      return "bad rate '" + std::string(value) + "' for fault " + std::string(name) + " (0..1 or N%)";
    return {};
  }
  uint32_t at = 0;
  auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), at);
  if (ec != std::errc() || ptr != value.data() + value.size() || at == 0)
    return "bad number '" + std::string(value) + "' for fault " + std::string(name) + " (1 or more)";
  knob.at.push_back(at);
  return {};
}

std::string fault_help_text() {
  static const char *const kUnitText[] = {"per picture", "per transfer", "per focus command",
                                          "per zoom reading"};
  std::string text = "Faults of the emulated camera: --fault NAME[=RATE|@N] (repeatable), --seed N\n"
                     "  NAME alone fires every time; RATE is a probability (0..1 or N%);\n"
                     "  @N fires at picture N (focus and zoom faults: at the Nth such command).\n";
  for (const FaultInfo &info : kFaultTable) {
    std::string line = "  ";
    line += info.name;
    line.resize(20, ' ');
    line += kUnitText[static_cast<size_t>(info.unit)];
    line.resize(40, ' ');
    line += info.help;
    text += line + "\n";
  }
  return text;
}

double FaultInjector::draw(Fault fault, uint32_t index, uint32_t salt) const {
  uint64_t key = mix64(plan_.seed);
  key = mix64(key ^ (static_cast<uint64_t>(fault) << 56) ^ index);
  key = mix64(key ^ salt);
  return static_cast<double>(key >> 11) * 0x1.0p-53;
}

bool FaultInjector::trial(Fault fault, uint32_t index) {
  const size_t f = static_cast<size_t>(fault);
  const FaultKnob &knob = plan_.knobs[f];
  TrialCursor &cursor = cursors_[f];
  if (cursor.index != index) {
    cursor.index = index;
    cursor.count = 0;
  }
  const uint32_t attempt = cursor.count++;
  ++trials_[f];
  bool fire = false;
  if (std::find(knob.at.begin(), knob.at.end(), index) != knob.at.end() &&
      std::find(cursor.fired_at.begin(), cursor.fired_at.end(), index) == cursor.fired_at.end()) {
    cursor.fired_at.push_back(index);
    fire = true;
  } else if (knob.rate > 0.0) {
    fire = draw(fault, index, attempt) < knob.rate;
  }
  if (fire)
    ++injected_[f];
  return fire;
}

uint64_t FaultInjector::injected_total() const {
  uint64_t total = 0;
  for (uint64_t n : injected_)
    total += n;
  return total;
}

} // namespace emu
