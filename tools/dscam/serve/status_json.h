// The figures of dscam serve as the JSON of /api/status. Every count says what
// it counts in its name; a figure the driver or the camera did not give is
// null, never a guess.
#pragma once

#include <string>

#include "tools/dscam/serve/live_controls.h"
#include "tools/dscam/serve/live_feed.h"
#include "tools/dscam/serve/web_server.h"

namespace dscam {

std::string status_json(const FeedFigures &feed, const ZoomFigures &zoom, const FocusFigures &focus,
                        const ViewerFigures &viewers);

} // namespace dscam
