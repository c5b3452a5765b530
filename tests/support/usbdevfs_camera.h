// The emulated camera behind the kernel's USB file interface, for the tests
// and benchmark of the libusb device model: a umockdev testbed holds the node
// /dev/bus/usb/001/002 with the camera's descriptors in sysfs, and an ioctl
// handler answers the usbdevfs requests libusb makes on it (bulk and control
// URBs, their reaping and discarding, claims, clear halt, reset) from the
// emulated camera's device model: real libusb, real ioctl round trips, the
// camera and its faults behind. The process runs under umockdev's preload
// (umockdev-wrapper); programs it starts inherit the testbed.
//
// Threads: the handler runs on the testbed's worker thread, the camera ends
// transfers on its own; lock_ guards the URBs and is never held while the
// camera is called. Plugged, unplugged and faulted from one test thread.
//
// Ownership: it owns the testbed (and its worker thread) and the camera (and
// its thread); the test thread destroys it, after every program using the
// node has closed it. The camera's transfers refer to it: the camera goes
// first. One at a time in a process: a testbed's end unsets the preload's
// directory.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "emulator/camera/usb_camera.h"

struct _UMockdevTestbed;
struct _UMockdevIoctlBase;
struct _UMockdevIoctlClient;
struct _UMockdevIoctlData;

namespace rig {

class UsbdevfsCamera {
public:
  // The testbed with a camera made from `config`, plugged in unless `plugged`
  // is false; ok() is false (error() says why) when either cannot be made.
  explicit UsbdevfsCamera(const emu::CameraConfig &config, bool plugged = true);
  ~UsbdevfsCamera();
  UsbdevfsCamera(const UsbdevfsCamera &) = delete;
  UsbdevfsCamera &operator=(const UsbdevfsCamera &) = delete;

  bool ok() const { return error_.empty(); }
  const std::string &error() const { return error_; }
  emu::UsbCamera &camera() const { return *camera_; }

  // Plugs the camera in (an "add" uevent) when it was made unplugged.
  void plug();
  // A surprise removal: the URBs in flight end with -ESHUTDOWN, a "remove"
  // uevent goes out and the device leaves the testbed; later requests on an
  // open node fail with ENODEV.
  void unplug();
  // The next URB on `endpoint` (0: a control URB) ends with `status` (0 or a
  // negative errno) and `bytes` moved (IN: bytes of 0xA5), without reaching
  // the camera; with `hold` it waits until discarded.
  void fail_next_urb(uint8_t endpoint, int status, uint32_t bytes = 0, bool hold = false);
  // URBs submitted and not reaped yet.
  size_t urbs_in_flight();

  // One submitted URB; the camera's transfer of one ends it with end() (false
  // when it had ended) and asks active() whether it has not.
  struct Urb;
  bool end(Urb &urb, int status, std::span<const uint8_t> in, uint32_t out);
  bool active(const Urb &urb);

private:
  struct Fault {
    uint8_t endpoint;
    int status;
    uint32_t bytes;
    bool hold;
  };
  static int on_ioctl(void *, _UMockdevIoctlClient *client, void *self);
  void submit(_UMockdevIoctlClient *client, _UMockdevIoctlData *arg);
  void reap(_UMockdevIoctlClient *client, _UMockdevIoctlData *arg);
  void discard(_UMockdevIoctlClient *client, uint64_t address);
  bool end_locked(Urb &urb, int status, std::span<const uint8_t> in, uint32_t out);

  std::string error_;
  std::shared_ptr<emu::UsbCamera> camera_;
  _UMockdevTestbed *testbed_ = nullptr;
  _UMockdevIoctlBase *ioctl_ = nullptr;
  bool plugged_ = false;
  std::mutex lock_;                        // guards the fields below and each URB's result
  std::condition_variable ended_;          // signals a held reap: a URB ended
  std::vector<std::shared_ptr<Urb>> urbs_; // submitted, not reaped, oldest first
  std::vector<Fault> faults_;
  std::atomic<bool> gone_{false}; // set under lock_, so that submit and reap see it with the URBs
  int empty_reaps_ = 0;           // in a row
};

} // namespace rig
