// The command-line parser: a table of options, each with the commands it is
// valid for and a handler that checks and stores its value.
#include "tools/dscam/options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "emulator/camera/faults.h"

namespace dscam {
namespace {

// Which commands an option is valid for.
enum CommandMask : unsigned {
  kCapture = 1u << 0,
  kStream = 1u << 1,
  kInfo = 1u << 2,
  kZoom = 1u << 3,
  kFocus = 1u << 4,
  kList = 1u << 5,
  kServe = 1u << 6,
  kRuns = kCapture | kStream,
  kAll = kCapture | kStream | kInfo | kZoom | kFocus | kServe,
};

using Handler = std::string (*)(Options &options, std::string_view value);

struct OptionRule {
  const char *name; // long name without "--"
  char short_name;  // 0: none
  bool takes_value;
  unsigned commands;
  Handler handle;
};

// An integer in [low, high] that fills the whole text.
bool parse_long(std::string_view text, long low, long high, long *value) {
  long parsed = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (ec != std::errc() || end != text.data() + text.size() || parsed < low || parsed > high)
    return false;
  *value = parsed;
  return true;
}

// A finite decimal number in [low, high] that fills the whole text.
bool parse_double(std::string_view text, double low, double high, double *value) {
  if (text.empty() || text.size() > 64)
    return false;
  const std::string copy(text);
  char *end = nullptr;
  const double parsed = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || !std::isfinite(parsed) || parsed < low || parsed > high)
    return false;
  *value = parsed;
  return true;
}

// The reason for a value an option does not take.
std::string bad_value(const char *option, std::string_view value, const char *expected) {
  return "bad value '" + std::string(value) + "' for " + option + " (" + expected + ")";
}

// The option handlers: each checks one option's value and stores it; an empty
// string on success, else the reason.
std::string set_frames(Options &options, std::string_view value) {
  if (!parse_long(value, 1, 10'000'000, &options.frames))
    return bad_value("-n", value, "a number of frames, 1 or more");
  options.frames_given = true;
  return {};
}

std::string set_duration(Options &options, std::string_view value) {
  if (!parse_double(value, 0.001, 1e7, &options.duration))
    return bad_value("--duration", value, "seconds, more than 0");
  return {};
}

std::string set_output(Options &options, std::string_view value) {
  if (value.empty())
    return "empty folder name for -o";
  options.out_dir = value;
  options.out_given = true;
  return {};
}

std::string set_format(Options &options, std::string_view value) {
  if (value == "bmp")
    options.format = ImageFormat::Bmp;
  else if (value == "png")
    options.format = ImageFormat::Png;
  else if (value == "ppm")
    options.format = ImageFormat::Ppm;
  else if (value == "jpeg" || value == "jpg")
    options.format = ImageFormat::Jpeg;
  else if (value == "avi")
    options.format = ImageFormat::Avi;
  else
    return bad_value("--format", value, "bmp, png, ppm, jpeg or avi");
  return {};
}

std::string set_size(Options &options, std::string_view value) {
  if (value == "320x240") {
    options.width = 320;
    options.height = 240;
  } else if (value == "160x120") {
    options.width = 160;
    options.height = 120;
  } else {
    return bad_value("--size", value, "320x240 or 160x120");
  }
  return {};
}

std::string set_top_down(Options &options, std::string_view) {
  options.top_down = true;
  return {};
}

// "zoom=V@T" or "focus=auto@T".
std::string add_change(Options &options, std::string_view value) {
  const size_t eq = value.find('=');
  const size_t at = value.rfind('@');
  if (eq == std::string_view::npos || at == std::string_view::npos || at < eq)
    return bad_value("--set", value, "zoom=VALUE@SECONDS or focus=auto@SECONDS");
  const std::string_view name = value.substr(0, eq);
  const std::string_view setting = value.substr(eq + 1, at - eq - 1);
  ControlChange change;
  if (!parse_double(value.substr(at + 1), 0, 1e7, &change.at_seconds))
    return bad_value("--set", value, "the time is seconds, 0 or more");
  if (name == "zoom") {
    if (!parse_long(setting, -1'000'000, 1'000'000, &change.value))
      return bad_value("--set", value, "the zoom is a whole number");
    change.control = ControlChange::Control::Zoom;
  } else if (name == "focus" && setting == "auto") {
    change.control = ControlChange::Control::FocusAuto;
  } else {
    return bad_value("--set", value, "zoom=VALUE@SECONDS or focus=auto@SECONDS");
  }
  options.changes.push_back(change);
  std::stable_sort(
      options.changes.begin(), options.changes.end(),
      [](const ControlChange &a, const ControlChange &b) { return a.at_seconds < b.at_seconds; });
  return {};
}

std::string set_watchdog(Options &options, std::string_view value) {
  if (!parse_double(value, 0.1, 3600, &options.watchdog))
    return bad_value("--watchdog", value, "seconds, 0.1 to 3600");
  return {};
}

// "HOST:PORT", "[IPV6]:PORT" or ":PORT" (loopback).
std::string set_listen(Options &options, std::string_view value) {
  const size_t colon = value.rfind(':');
  long port = 0;
  if (colon == std::string_view::npos || !parse_long(value.substr(colon + 1), 0, 65535, &port))
    return bad_value("--listen", value, "HOST:PORT, the port 0 to 65535 (0: any free port)");
  std::string_view host = value.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  options.listen_host = host.empty() ? "127.0.0.1" : std::string(host);
  options.listen_port = static_cast<int>(port);
  return {};
}

std::string set_skip_damaged(Options &options, std::string_view) {
  options.skip_damaged = true;
  return {};
}

std::string set_retries(Options &options, std::string_view value) {
  if (!parse_long(value, 0, 1000, &options.retries))
    return bad_value("--retries", value, "a number of retries, 0 to 1000");
  return {};
}

std::string set_frames_info(Options &options, std::string_view) {
  options.frames_info = true;
  return {};
}

std::string set_overwrite(Options &options, std::string_view) {
  options.overwrite = true;
  return {};
}

std::string set_json(Options &options, std::string_view) {
  options.json = true;
  return {};
}

std::string set_quiet(Options &options, std::string_view) {
  options.quiet = true;
  return {};
}

std::string set_pictures(Options &options, std::string_view value) {
  if (value.empty())
    return "empty path for --pictures";
  options.camera.pictures = emu::PictureMode::Files;
  options.camera.picture_path = value;
  return {};
}

std::string set_camera_fps(Options &options, std::string_view value) {
  // The driver waits at most 2 s for the camera's next picture.
  if (!parse_double(value, 0, 1000, &options.camera.fps) || (options.camera.fps > 0 && options.camera.fps < 0.5))
    return bad_value("--camera-fps", value, "pictures per second, 0.5 to 1000; 0 = as fast as asked");
  return {};
}

std::string set_link(Options &options, std::string_view value) {
  if (!emu::link_speed_by_name(value, &options.camera.link_bytes_per_second))
    return bad_value("--link", value, "full, high or unlimited");
  return {};
}

std::string set_chunk(Options &options, std::string_view value) {
  long chunk = 0;
  if (!parse_long(value, 1, 65530, &chunk))
    return bad_value("--chunk", value, "bytes per picture packet, 1 to 65530");
  options.camera.chunk = static_cast<size_t>(chunk);
  return {};
}

std::string add_fault(Options &options, std::string_view value) {
  if (value == "help") {
    options.fault_help = true;
    return {};
  }
  return emu::fault_plan_apply(&options.camera.faults, value);
}

std::string set_seed(Options &options, std::string_view value) {
  uint64_t seed = 0;
  auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seed);
  if (ec != std::errc() || end != value.data() + value.size())
    return bad_value("--seed", value, "a whole number, 0 or more");
  options.camera.faults.seed = seed;
  return {};
}

std::string set_usb(Options &options, std::string_view value) {
  options.usb = true;
  return usbbus::usb_selector_parse(value, &options.usb_device);
}

std::string set_wait(Options &options, std::string_view) {
  options.wait = true;
  return {};
}

std::string set_log(Options &options, std::string_view value) {
  options.log_file = value;
  return value.empty() ? "empty file name for --log" : "";
}

std::string set_verbose(Options &options, std::string_view) {
  options.verbose = true;
  return {};
}

std::string set_trace(Options &options, std::string_view value) {
  options.trace_file = value;
  return value.empty() ? "empty file name for --trace" : "";
}

std::string set_pcap(Options &options, std::string_view value) {
  options.pcap_file = value;
  return value.empty() ? "empty file name for --pcap" : "";
}

std::string set_help(Options &options, std::string_view) {
  options.help = true;
  return {};
}

// Every option: long name, short name, whether it takes a value, the commands
// it is valid for, its handler.
constexpr OptionRule kOptions[] = {
    {"frames", 'n', true, kRuns, set_frames},
    {"duration", 0, true, kStream, set_duration},
    {"output", 'o', true, kCapture, set_output},
    {"format", 0, true, kCapture, set_format},
    {"size", 0, true, kRuns | kServe, set_size},
    {"listen", 0, true, kServe, set_listen},
    {"top-down", 0, false, kCapture, set_top_down},
    {"overwrite", 0, false, kCapture, set_overwrite},
    {"set", 0, true, kRuns, add_change},
    {"watchdog", 0, true, kRuns, set_watchdog},
    {"skip-damaged", 0, false, kRuns, set_skip_damaged},
    {"retries", 0, true, kRuns, set_retries},
    {"frames-info", 0, false, kRuns, set_frames_info},
    {"json", 0, false, kRuns | kInfo, set_json},
    {"quiet", 'q', false, kRuns, set_quiet},
    {"pictures", 0, true, kAll, set_pictures},
    {"camera-fps", 0, true, kAll, set_camera_fps},
    {"link", 0, true, kAll, set_link},
    {"chunk", 0, true, kAll, set_chunk},
    {"fault", 0, true, kAll, add_fault},
    {"seed", 0, true, kAll, set_seed},
    {"usb", 0, true, kAll, set_usb},
    {"wait", 0, false, kAll, set_wait},
    {"log", 0, true, kAll, set_log},
    {"verbose", 'v', false, kAll, set_verbose},
    {"trace", 0, true, kAll, set_trace},
    {"pcap", 0, true, kAll, set_pcap},
    {"help", 'h', false, kAll | kList, set_help},
};

struct CommandInfo {
  Command command;
  const char *name;
  unsigned mask;
};

constexpr CommandInfo kCommands[] = {
    {Command::Capture, "capture", kCapture}, {Command::Stream, "stream", kStream},
    {Command::Info, "info", kInfo},          {Command::Zoom, "zoom", kZoom},
    {Command::Focus, "focus", kFocus},       {Command::List, "list", kList},
    {Command::Serve, "serve", kServe},
};

// The option of a long name ("frames") or a short one ('n'); NULL when none.
const OptionRule *find_long(std::string_view name) {
  for (const OptionRule &rule : kOptions)
    if (name == rule.name)
      return &rule;
  return nullptr;
}

const OptionRule *find_short(char name) {
  for (const OptionRule &rule : kOptions)
    if (rule.short_name != 0 && rule.short_name == name)
      return &rule;
  return nullptr;
}

// The command's positional arguments: zoom [VALUE], focus auto.
std::string take_positional(Options &options, std::string_view arg, int index) {
  if (options.command == Command::Zoom && index == 0) {
    if (!parse_long(arg, -1'000'000, 1'000'000, &options.zoom))
      return bad_value("zoom", arg, "a whole number");
    options.zoom_given = true;
    return {};
  }
  if (options.command == Command::Focus && index == 0) {
    if (arg != "auto")
      return "focus takes 'auto' (the one-touch auto focus), not '" + std::string(arg) + "'";
    return {};
  }
  return "unexpected argument '" + std::string(arg) + "'";
}

// One option at argv[*index] (which starts with '-'); advances *index past its
// value when it takes one.
std::string take_option(Options &options, unsigned mask, int argc, const char *const *argv, int *index) {
  const std::string_view arg = argv[*index];
  const OptionRule *rule = nullptr;
  std::string_view value;
  bool inline_value = false;
  if (arg.starts_with("--")) {
    const size_t eq = arg.find('=');
    rule = find_long(arg.substr(2, eq == std::string_view::npos ? std::string_view::npos : eq - 2));
    if (eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
      inline_value = true;
    }
  } else {
    // "-n 3", or its value attached: "-n3".
    rule = find_short(arg[1]);
    if (arg.size() > 2 && rule != nullptr && rule->takes_value) {
      value = arg.substr(2);
      inline_value = true;
    } else if (arg.size() > 2) {
      rule = nullptr;
    }
  }
  if (rule == nullptr || (rule->commands & mask) == 0)
    return "unknown option '" + std::string(arg) + "' for " + command_name(options.command);
  if (!rule->takes_value && inline_value)
    return "option '--" + std::string(rule->name) + "' takes no value";
  if (rule->takes_value && !inline_value) {
    if (*index + 1 >= argc)
      return "option '" + std::string(arg) + "' needs a value";
    value = argv[++*index];
  }
  return rule->handle(options, value);
}

// Whether the file starts with the JPEG start-of-image marker (FF D8 FF).
bool starts_as_jpeg(const std::filesystem::path &path) {
  unsigned char head[3] = {};
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char *>(head), sizeof(head));
  return in.gcount() == 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
}

// The camera plays the file at `path`, or the *.jpg and *.jpeg files of the
// folder: each must at least start as a JPEG picture, so that a wrong file is
// named now rather than showing as frames that never decode.
std::string check_pictures(const std::string &path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<fs::path> files;
  if (fs::is_directory(path, ec)) {
    for (const auto &entry : fs::directory_iterator(path, ec)) {
      std::string ext = entry.path().extension().string();
      std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
      if (entry.is_regular_file() && (ext == ".jpg" || ext == ".jpeg"))
        files.push_back(entry.path());
    }
    if (files.empty())
      return "no JPEG picture (*.jpg, *.jpeg) in the folder '" + path + "'";
  } else if (fs::exists(path, ec)) {
    files.emplace_back(path);
  } else {
    return "cannot read '" + path + "': " + std::strerror(ENOENT);
  }
  for (const fs::path &file : files) {
    if (access(file.c_str(), R_OK) != 0)
      return "cannot read '" + file.string() + "': " + std::strerror(errno);
    if (!starts_as_jpeg(file))
      return "'" + file.string() + "' is not a JPEG picture (it does not start with a JPEG marker)";
  }
  return {};
}

// Checks that depend on several options at once.
std::string check_combination(const Options &options) {
  if (options.command == Command::Stream) {
    if (options.frames_given && options.duration > 0)
      return "give either -n or --duration, not both";
  }
  if (options.wait && !options.usb)
    return "--wait needs --usb (the emulated camera is always there)";
  const std::string camera = emu::camera_config_check(options.camera);
  if (!camera.empty())
    return camera;
  if (options.camera.pictures == emu::PictureMode::Files)
    return check_pictures(options.camera.picture_path);
  return {};
}

} // namespace

const char *command_name(Command command) {
  for (const CommandInfo &info : kCommands)
    if (info.command == command)
      return info.name;
  return "dscam";
}

std::string parse_options(int argc, const char *const *argv, Options &options) {
  if (argc < 2)
    return "no command given (try 'dscam --help')";
  // The fault list needs no command: "dscam --fault help".
  if ((argc == 3 && std::strcmp(argv[1], "--fault") == 0 && std::strcmp(argv[2], "help") == 0) ||
      (argc == 2 && std::strcmp(argv[1], "--fault=help") == 0)) {
    options.fault_help = true;
    return {};
  }
  const CommandInfo *info = nullptr;
  for (const CommandInfo &candidate : kCommands)
    if (std::strcmp(argv[1], candidate.name) == 0)
      info = &candidate;
  if (info == nullptr)
    return "unknown command '" + std::string(argv[1]) + "' (try 'dscam --help')";
  options.command = info->command;
  if (options.command == Command::Stream)
    options.frames = 0;
  int positional = 0;
  bool focus_auto = false;
  for (int index = 2; index < argc; ++index) {
    const std::string_view arg = argv[index];
    std::string error;
    if (arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9')) {
      error = take_option(options, info->mask, argc, argv, &index);
    } else {
      error = take_positional(options, arg, positional++);
      focus_auto = focus_auto || (options.command == Command::Focus && error.empty());
    }
    if (!error.empty())
      return error;
  }
  if (options.help || options.fault_help)
    return {};
  if (options.command == Command::Focus && !focus_auto)
    return "focus needs 'auto': dscam focus auto";
  if (options.format == ImageFormat::Avi && !options.out_given)
    options.out_dir = "capture.avi";
  return check_combination(options);
}

} // namespace dscam
