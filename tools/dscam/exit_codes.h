// The exit statuses of dscam: each says which stage of a run failed.
#pragma once

namespace dscam {

enum ExitCode : int {
  kExitOk = 0,            // the command did what was asked
  kExitUsage = 2,         // bad command line: unknown option, bad value
  kExitDevice = 3,        // the camera, the driver or the device did not start, or refused a request
  kExitCapture = 4,       // no frames or too few, a camera fault, a control that failed
  kExitOutput = 5,        // an output file or folder could not be written
  kExitInterrupted = 130, // stopped by SIGINT (Ctrl-C)
  kExitTerminated = 143,  // stopped by SIGTERM
};

} // namespace dscam
