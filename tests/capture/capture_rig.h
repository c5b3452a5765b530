// Transition only: tests/tool still names the reference decode through this
// header; it goes once that test includes tests/support/pictures.h.
#pragma once

#include "tests/support/pictures.h"

namespace captest {
using rig::reference_frame;
using rig::scene_jpeg;
} // namespace captest
