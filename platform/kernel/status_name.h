// Names of the status codes this system's components return, for messages.
#pragma once

#include "platform/kernel/ntdef.h"

namespace platform {

// The status's name ("STATUS_IO_DEVICE_ERROR") when it is one the driver, the
// host or the bus returns; nullptr for any other code.
const char *status_name(NTSTATUS status);

} // namespace platform
