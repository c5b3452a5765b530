// The emulated camera behind the kernel's USB file interface, for the tests and
// benchmarks of the libusb device model: a umockdev testbed holds the device
// node /dev/bus/usb/001/002 with the camera's descriptors in sysfs, and an
// ioctl handler answers the usbdevfs requests libusb makes on it (URBs of
// bulk and control type, their reaping and discarding, configuration,
// interface claims, clear halt, reset) from the emulated camera's device
// model, so that real libusb and real ioctl round trips meet the camera and
// its faults. The process must run under umockdev's preload
// (umockdev-wrapper); programs it starts inherit the testbed.
//
// The node polls as always ready, so libusb reaps whenever it looks: a second
// empty reap in a row is held for 2 ms (or until a URB ends) so that libusb's
// event thread does not spin.
//
// Threads: the handler runs on the testbed's worker thread, the camera ends
// transfers on its own; the handler's lock guards the URBs and is never held
// while the camera is called. Used (plugged, unplugged, faulted) from one
// test thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "emulator/camera/usb_camera.h"

struct _UMockdevTestbed;
struct _UMockdevIoctlBase;

namespace rig {

class UsbdevfsCamera {
public:
  // The testbed with a camera made from `config`, plugged in unless `plugged`
  // is false; ok() is false (error() says why) when the camera or the testbed
  // cannot be made.
  explicit UsbdevfsCamera(const emu::CameraConfig &config, bool plugged = true);
  // Unplugs the camera and takes the testbed apart.
  ~UsbdevfsCamera();
  UsbdevfsCamera(const UsbdevfsCamera &) = delete;
  UsbdevfsCamera &operator=(const UsbdevfsCamera &) = delete;

  bool ok() const { return error_.empty(); }
  const std::string &error() const { return error_; }
  emu::UsbCamera &camera() const { return *camera_; }
  // The device node's file in the testbed (for its permissions).
  std::string node_file() const;

  // Plugs the camera in (an "add" uevent) when it was made unplugged.
  void plug();
  // A surprise removal: the URBs in flight end with -ESHUTDOWN, a "remove"
  // uevent is sent and the device leaves the testbed; later requests on an
  // open node fail with ENODEV. The camera stays unplugged.
  void unplug();

  // The next URB on `endpoint` (0: a control URB) ends with `status` (0 or a
  // negative errno) and `bytes` moved (IN: that many bytes of 0xA5), without
  // reaching the camera; with `hold` it is never answered until discarded.
  void fail_next_urb(uint8_t endpoint, int status, uint32_t bytes = 0, bool hold = false);
  // URBs submitted and not reaped yet, and URBs discarded, so far.
  size_t urbs_in_flight() const;
  size_t urbs_discarded() const;

  struct Handler;

private:
  std::string error_;
  std::shared_ptr<emu::UsbCamera> camera_;
  std::unique_ptr<Handler> handler_;
  _UMockdevTestbed *testbed_ = nullptr;
  _UMockdevIoctlBase *ioctl_ = nullptr;
  bool attached_ = false; // the handler answers the node's requests
  bool plugged_ = false;
};

} // namespace rig
