// BM_ElementVsToolStream: CPU per frame of a stream through the dscamsrc
// element (in this process: camera, bus, driver, host, element, appsink
// pulling every frame) against the same stream through `dscam stream` (a child
// process writing the frames to /dev/null), both from start to end of a run of
// N frames, with the same camera: pictures whenever asked, from a folder of
// the camera's pre-rendered scene pictures (no encoding in either), over the
// default full-speed link. Reported: microseconds of CPU per frame of each,
// and their ratio (element / tool).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include "tests/support/pictures.h"
#include "tools/gstdscam/dscam_src.h"

namespace {

namespace fs = std::filesystem;

double process_cpu_us() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// The camera's pre-rendered pictures as files in a folder of their own.
struct PictureFolder {
  PictureFolder() : path(fs::temp_directory_path() / ("dscam-bench-" + std::to_string(::getpid()))) {
    fs::create_directories(path);
    int index = 0;
    for (const std::vector<uint8_t> &jpeg : rig::prerendered_pictures(16, 85)) {
      std::ofstream out(path / ("scene-" + std::to_string(100 + index++) + ".jpg"), std::ios::binary);
      out.write(reinterpret_cast<const char *>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
    }
  }
  ~PictureFolder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  fs::path path;
};

// GStreamer with dscamsrc and appsink registered statically, no system plugin.
bool init_gstreamer() {
  static const bool done = [] {
    setenv("GST_PLUGIN_SYSTEM_PATH_1_0", "", 1);
    setenv("GST_PLUGIN_PATH_1_0", "", 1);
    gst_registry_fork_set_enabled(FALSE);
    gst_init(nullptr, nullptr);
    return dscam_src_register(nullptr) &&
           gst_element_register(nullptr, "appsink", GST_RANK_NONE, GST_TYPE_APP_SINK);
  }();
  return done;
}

// Process CPU of `frames` frames through the element; -1 when fewer came.
double element_cpu_us(const fs::path &pictures, int frames) {
  GstElement *pipeline = gst_pipeline_new(nullptr);
  GstElement *src = gst_element_factory_make("dscamsrc", nullptr);
  GstElement *sink = gst_element_factory_make("appsink", nullptr);
  g_object_set(src, "pictures", pictures.c_str(), "camera-fps", 0.0, "num-buffers", frames, nullptr);
  g_object_set(sink, "sync", FALSE, nullptr);
  gst_bin_add_many(GST_BIN(pipeline), src, sink, nullptr);
  gst_element_link(src, sink);
  const double start = process_cpu_us();
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  int got = 0;
  while (GstSample *sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND)) {
    gst_sample_unref(sample);
    got++;
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  const double cpu = process_cpu_us() - start;
  gst_object_unref(pipeline);
  return got == frames ? cpu : -1;
}

// CPU (user and system) of `dscam stream -n frames` with the same camera; -1
// when it fails.
double tool_cpu_us(const fs::path &pictures, int frames) {
  const pid_t child = fork();
  if (child == 0) {
    const std::string count = std::to_string(frames);
    if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr))
      _exit(127);
    execl(DSCAM_TOOL_PATH, "dscam", "stream", "-n", count.c_str(), "--camera-fps", "0", "--pictures",
          pictures.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0)
    return -1;
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

void BM_ElementVsToolStream(benchmark::State &state) {
  const int frames = static_cast<int>(state.range(0));
  if (!init_gstreamer()) {
    state.SkipWithError("GStreamer did not initialise");
    return;
  }
  PictureFolder folder;
  double element = 0, tool = 0;
  int runs = 0;
  for (auto _ : state) {
    const double element_run = element_cpu_us(folder.path, frames);
    const double tool_run = tool_cpu_us(folder.path, frames);
    if (element_run < 0 || tool_run < 0) {
      state.SkipWithError(element_run < 0 ? "the element's stream failed" : "dscam stream failed");
      return;
    }
    element += element_run;
    tool += tool_run;
    runs++;
  }
  state.counters["element_us_per_frame"] = element / runs / frames;
  state.counters["tool_us_per_frame"] = tool / runs / frames;
  state.counters["element_vs_tool"] = element / tool;
}
BENCHMARK(BM_ElementVsToolStream)->Arg(300)->ArgName("frames")->Iterations(3)->Unit(benchmark::kSecond);

} // namespace
