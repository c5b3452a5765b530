// The page's files, built into the program from tools/dscam/serve/web/ (the
// build turns each file into bytes of web_files.cpp).
#pragma once

#include <cstddef>
#include <span>

namespace dscam {

struct WebFile {
  const char *path;       // as requested: "/", "/app.js"
  const char *media_type; // its media type ("text/html"), served as UTF-8
  const unsigned char *data;
  size_t size;
};

// Every file of the page.
std::span<const WebFile> web_files();

} // namespace dscam
