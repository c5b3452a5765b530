// The camera's fault knobs. Each fault has a name (the tool's --fault NAME),
// fires by probability per trial with a seed, or at given picture numbers (or,
// for the focus and zoom-reading faults, at the Nth such command), and counts
// every time it was injected. The same seed and the same host behaviour give
// the same faults: a trial's draw depends only on the seed, the fault, the
// picture it belongs to and how often that fault was tried for that picture.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

enum class Fault : uint8_t {
  SizeChecksum,    // the size answer carries a wrong checksum
  PictureChecksum, // a picture packet carries a wrong checksum
  LostPacket,      // a reply packet is never sent; the host's read waits
  Nak,             // a command is answered with NAK instead of its reply
  SizeZero,        // the size answer says 0
  SizeSmaller,     // the announced size is smaller than the picture sent
  SizeLarger,      // the announced size is larger than the picture sent
  Truncated,       // the picture is cut to half its length (announced so)
  Damaged,         // bytes in the picture's entropy data are overwritten
  Oversized,       // the picture is longer than 65,536 bytes (announced so)
  OddSize,         // the picture is not 320 x 240
  StopAnswering,   // the camera goes silent until a pipe or port reset
  Disconnect,      // the camera is unplugged
  WriteError,      // an OUT transfer fails; the camera never sees it
  ReadError,       // an IN transfer fails on the bus; its packet is lost
  FocusSlow,       // the focus ENQ comes only after the slow focus time
  FocusFail,       // the focus is answered ACK then ACK, and no ENQ
  ZoomHigh,        // the zoom reading is above 100
};
inline constexpr size_t kFaultCount = static_cast<size_t>(Fault::ZoomHigh) + 1;

// What one trial of a fault is, for its rate and for @N.
enum class FaultUnit : uint8_t {
  Picture,  // once per picture taken (at the size command); @N = picture N
  Transfer, // once per transfer of its kind; @N = the first such transfer of picture N
  Focus,    // once per auto-focus command; @N = the Nth focus command
  ZoomRead, // once per zoom reading; @N = the Nth zoom reading
};

// One row of the fault table.
struct FaultInfo {
  Fault fault;
  const char *name;
  FaultUnit unit;
  const char *help;
};

// The fault table, in Fault order.
extern const std::array<FaultInfo, kFaultCount> kFaultTable;

// The knob of one fault: a probability per trial and picture numbers (or
// command numbers) at which it fires for certain.
struct FaultKnob {
  double rate = 0.0;
  std::vector<uint32_t> at;
};

// The settings of every fault and the seed of their draws.
struct FaultPlan {
  uint64_t seed = 1;
  std::array<FaultKnob, kFaultCount> knobs{};
};

// Looks a fault up by name; false when there is no such fault.
bool fault_by_name(std::string_view name, Fault *fault);

// Applies one "NAME", "NAME=RATE" (0..1, or a percentage "0.5%") or
// "NAME@N" setting to plan. NAME alone means rate 1 (every trial). Returns an
// empty string on success, else a one-line reason.
std::string fault_plan_apply(FaultPlan *plan, std::string_view setting);

// A text listing every fault with its unit and meaning (for --fault help).
std::string fault_help_text();

// Decides trials and counts injections. Not thread-safe: the camera calls it
// under its own lock.
class FaultInjector {
public:
  explicit FaultInjector(const FaultPlan &plan) : plan_(plan) {}

  // One trial of fault for picture (or command) number `index`: true when the
  // fault fires. A fault given "@index" fires on its first trial with that
  // index; otherwise the seeded draw decides by the rate. Counts injections.
  bool trial(Fault fault, uint32_t index);

  // How often each fault has been injected, and tried.
  uint64_t injected(Fault fault) const { return injected_[static_cast<size_t>(fault)]; }
  uint64_t trials(Fault fault) const { return trials_[static_cast<size_t>(fault)]; }
  uint64_t injected_total() const;

  // A seeded draw in [0, 1) for the trial, also used for the shape of a fault
  // (which bytes to damage). Pure: the same arguments give the same value.
  double draw(Fault fault, uint32_t index, uint32_t salt) const;

  const FaultPlan &plan() const { return plan_; }

private:
  // Per fault: the index of its last trial and how many trials it had there.
  struct TrialCursor {
    uint32_t index = 0;
    uint32_t count = 0;
    std::vector<uint32_t> fired_at; // @N values already used
  };

  FaultPlan plan_;
  std::array<TrialCursor, kFaultCount> cursors_{};
  std::array<uint64_t, kFaultCount> injected_{};
  std::array<uint64_t, kFaultCount> trials_{};
};

} // namespace emu
