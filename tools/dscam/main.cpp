// dscam: capture frames from the camera, query and set its controls, trace its traffic.
#include <cstdio>
#include <cstring>

namespace {

void print_usage(FILE *out) {
  std::fputs("Usage: dscam [--help] [--version] COMMAND [OPTIONS]\n"
             "\n"
             "Capture video from the USB still camera (by default the emulated one).\n"
             "\n"
             "Commands:\n"
             "  capture   capture frames to image files\n"
             "  stream    write raw BGR24 frames to standard output\n"
             "  info      show the device, its formats and its controls\n"
             "  zoom      get or set the zoom\n"
             "  focus     run the one-touch auto focus\n"
             "\n"
             "Run 'dscam COMMAND --help' for the options of a command.\n",
             out);
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    print_usage(stderr);
    return 2;
  }
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    print_usage(stdout);
    return 0;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("dscam %s\n", DSCAM_VERSION);
    return 0;
  }
  std::fprintf(stderr, "dscam: '%s' is not available yet\n", argv[1]);
  return 2;
}
