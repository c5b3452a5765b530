// The emulated camera behind a umockdev usbdevfs node.
#include "tests/support/usbdevfs_camera.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include "emulator/usb/usb_identity.h"

namespace rig {
namespace {

constexpr const char *kSysPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
constexpr const char *kNode = "/dev/bus/usb/001/002";

// The URB status of each usbbus::TransferOutcome, in its order.
constexpr int kUrbStatus[] = {0, -EPIPE, -EPROTO, -EOVERFLOW, -ENOENT, -ESHUTDOWN, -ETIMEDOUT, -ENOMEM, -EIO};

// umockdev's record of the device: the node, sysfs attributes, and the
// descriptors libusb reads from sysfs.
std::string device_record() {
  std::string record = std::string("P: ") + (kSysPath + 4) + "\nN: " + (kNode + 5) +
                       "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + kNode +
                       "\nA: busnum=1\nA: devnum=2\nA: speed=12\nA: bConfigurationValue=1\nH: descriptors=";
  char hex[3];
  for (auto part :
       {emu::usb_device_descriptor(), emu::usb_configuration_descriptor(emu::UsbIdentityVariant::Camera)})
    for (uint8_t b : part)
      record.append(hex, static_cast<size_t>(std::snprintf(hex, sizeof(hex), "%02X", b)));
  return record + "\n";
}

using Data = std::shared_ptr<UMockdevIoctlData>;

// The client's memory that the pointer at `offset` of `data` points to.
Data resolve(UMockdevIoctlData *data, size_t offset, size_t length) {
  UMockdevIoctlData *block = umockdev_ioctl_data_resolve(data, offset, length, nullptr);
  return block != nullptr ? Data(static_cast<UMockdevIoctlData *>(g_object_ref(block)), g_object_unref)
                          : nullptr;
}

void complete(UMockdevIoctlClient *client, int error) {
  umockdev_ioctl_client_complete(client, error != 0 ? -1 : 0, error);
}

} // namespace

// The client's record and buffer, and how the URB ended: written into them on
// the worker thread when it is reaped.
struct UsbdevfsCamera::Urb {
  UMockdevIoctlClient *client = nullptr;
  Data record;
  Data buffer;
  std::weak_ptr<usbbus::Transfer> transfer; // the camera's handle, for a discard
  bool ended = false;                       // guarded by lock_ from here
  int status = 0;
  std::vector<uint8_t> in;
  uint32_t out = 0;

  usbdevfs_urb &r() const { return *reinterpret_cast<usbdevfs_urb *>(record->data); }
  // A control URB's data follows its 8-byte setup packet.
  size_t offset() const { return r().type == USBDEVFS_URB_TYPE_CONTROL ? 8 : 0; }
};

namespace {

// The camera's handle of a bulk URB.
class UrbTransfer final : public usbbus::Transfer {
public:
  UrbTransfer(UsbdevfsCamera &owner, std::shared_ptr<UsbdevfsCamera::Urb> urb) : owner_(owner), urb_(urb) {
    if ((urb->r().endpoint & 0x80) == 0 && urb->buffer)
      out_.assign(urb->buffer->data, urb->buffer->data + urb->r().buffer_length);
  }
  uint8_t endpoint_address() const override { return urb_->r().endpoint; }
  uint32_t length() const override { return static_cast<uint32_t>(urb_->r().buffer_length); }
  std::span<const uint8_t> out_data() const override { return out_; }
  uint64_t id() const override { return reinterpret_cast<uintptr_t>(urb_.get()); }
  bool complete_in(std::span<const uint8_t> data) override {
    return owner_.end(*urb_, data.size() > length() ? -EOVERFLOW : 0, data, 0);
  }
  bool complete_out(uint32_t taken) override { return owner_.end(*urb_, 0, {}, taken); }
  bool fail(usbbus::TransferOutcome outcome, uint32_t) override {
    return owner_.end(*urb_, kUrbStatus[static_cast<size_t>(outcome)], {}, 0);
  }
  bool is_active() const override { return owner_.active(*urb_); }

private:
  UsbdevfsCamera &owner_;
  const std::shared_ptr<UsbdevfsCamera::Urb> urb_;
  std::vector<uint8_t> out_;
};

} // namespace

// What libusb asks when it opens, configures and resets the device; the URBs
// have functions of their own.
int UsbdevfsCamera::on_ioctl(void *, UMockdevIoctlClient *client, void *self) {
  auto &owner = *static_cast<UsbdevfsCamera *>(self);
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
  if (request == USBDEVFS_SUBMITURB)
    return owner.submit(client, arg), TRUE;
  if (request == USBDEVFS_REAPURBNDELAY)
    return owner.reap(client, arg), TRUE;
  uint64_t address; // DISCARDURB's argument is the URB's address itself
  std::memcpy(&address, arg->data, sizeof(address));
  if (request == USBDEVFS_DISCARDURB)
    return owner.discard(client, address), TRUE;
  const Data word = _IOC_SIZE(request) == 4 ? resolve(arg, 0, 4) : nullptr;
  const uint32_t caps =
      USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER;
  int error = 0;
  if (owner.gone_)
    error = ENODEV;
  else if (request == USBDEVFS_GET_CAPABILITIES && word)
    std::memcpy(word->data, &caps, sizeof(caps));
  else if (request == USBDEVFS_CLEAR_HALT && word)
    owner.camera_->reset_pipe(word->data[0]);
  else if (request == USBDEVFS_RESET)
    owner.camera_->reset_port();
  else if (request == USBDEVFS_GETDRIVER || request == USBDEVFS_IOCTL)
    error = ENODATA; // no kernel driver is bound to the interface
  else if (request != USBDEVFS_SETCONFIGURATION && request != USBDEVFS_CLAIMINTERFACE &&
           request != USBDEVFS_RELEASEINTERFACE && request != USBDEVFS_DISCONNECT_CLAIM)
    error = ENOTTY;
  complete(client, error);
  return TRUE;
}

// A URB is taken at once and ends by a fault, the camera or a discard; a
// control URB asks the camera's descriptors (other requests stall). The camera
// is called without lock_ (it ends transfers with its own lock held).
void UsbdevfsCamera::submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
  auto urb = std::make_shared<Urb>();
  urb->client = client;
  urb->record = resolve(arg, 0, sizeof(usbdevfs_urb));
  const bool control = urb->record && urb->r().type == USBDEVFS_URB_TYPE_CONTROL;
  if (!urb->record || (urb->r().type != USBDEVFS_URB_TYPE_BULK && !control) ||
      urb->r().buffer_length < static_cast<int>(urb->offset()))
    return complete(client, EINVAL);
  if (urb->r().buffer_length > 0)
    urb->buffer = resolve(urb->record.get(), offsetof(usbdevfs_urb, buffer), urb->r().buffer_length);
  std::unique_lock guard(lock_);
  if (gone_)
    return complete(client, ENODEV);
  urbs_.push_back(urb);
  complete(client, 0);
  const uint8_t endpoint = control ? 0 : urb->r().endpoint;
  const auto fault =
      std::find_if(faults_.begin(), faults_.end(), [&](const Fault &f) { return f.endpoint == endpoint; });
  if (fault != faults_.end()) {
    if (!fault->hold)
      end_locked(*urb, fault->status, std::vector<uint8_t>(endpoint & 0x80 ? fault->bytes : 0, 0xA5),
                 fault->bytes);
    faults_.erase(fault);
    return;
  }
  guard.unlock();
  if (!control) {
    auto transfer = std::make_shared<UrbTransfer>(*this, urb);
    urb->transfer = transfer;
    return camera_->submit(transfer);
  }
  const uint8_t *setup = urb->buffer->data;
  std::span<const uint8_t> bytes;
  if (setup[0] == 0x80 && setup[1] == 0x06) // GET_DESCRIPTOR
    bytes = camera_->descriptor(setup[3], setup[2], static_cast<uint16_t>(setup[4] | setup[5] << 8));
  end(*urb, bytes.empty() ? -EPIPE : 0, bytes.first(std::min<size_t>(bytes.size(), setup[6] | setup[7] << 8)),
      0);
}

bool UsbdevfsCamera::end(Urb &urb, int status, std::span<const uint8_t> in, uint32_t out) {
  std::lock_guard guard(lock_);
  return end_locked(urb, status, in, out);
}

bool UsbdevfsCamera::active(const Urb &urb) {
  std::lock_guard guard(lock_);
  return !urb.ended;
}

bool UsbdevfsCamera::end_locked(Urb &urb, int status, std::span<const uint8_t> in, uint32_t out) {
  if (urb.ended)
    return false;
  const size_t room = static_cast<size_t>(urb.r().buffer_length) - urb.offset();
  urb.ended = true;
  urb.status = status;
  urb.in.assign(in.begin(), in.begin() + static_cast<ptrdiff_t>(std::min(in.size(), room)));
  urb.out = static_cast<uint32_t>(std::min<size_t>(out, room));
  ended_.notify_all();
  return true;
}

// The client's oldest ended URB, written into its memory. The node polls as
// always ready (also once the device is gone): a second empty reap in a row
// waits up to 2 ms for one, or libusb's event thread would spin.
void UsbdevfsCamera::reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
  const Data pointer = resolve(arg, 0, sizeof(void *));
  std::unique_lock guard(lock_);
  const auto ready = [&] {
    return std::find_if(urbs_.begin(), urbs_.end(),
                        [&](const auto &u) { return u->ended && u->client == client; });
  };
  if (ready() == urbs_.end() && ++empty_reaps_ >= 2)
    ended_.wait_for(guard, std::chrono::milliseconds(2), [&] { return ready() != urbs_.end(); });
  const auto it = ready();
  if (!pointer || it == urbs_.end())
    return complete(client, !pointer ? EFAULT : gone_ ? ENODEV : EAGAIN);
  const std::shared_ptr<Urb> urb = *it;
  urbs_.erase(it);
  empty_reaps_ = 0;
  urb->r().status = urb->status;
  urb->r().actual_length = static_cast<int>(urb->in.empty() ? urb->out : urb->in.size());
  if (!urb->in.empty())
    std::memcpy(urb->buffer->data + urb->offset(), urb->in.data(), urb->in.size());
  umockdev_ioctl_data_set_ptr(pointer.get(), 0, urb->record.get());
  complete(client, 0);
}

void UsbdevfsCamera::discard(UMockdevIoctlClient *client, uint64_t address) {
  std::shared_ptr<usbbus::Transfer> transfer;
  bool found = false;
  {
    std::lock_guard guard(lock_);
    for (const auto &urb : urbs_)
      if (urb->client == client && urb->record->client_addr == address && end_locked(*urb, -ENOENT, {}, 0)) {
        found = true;
        transfer = urb->transfer.lock();
      }
  }
  complete(client, found ? 0 : EINVAL);
  if (transfer)
    camera_->cancel(transfer);
}

UsbdevfsCamera::UsbdevfsCamera(const emu::CameraConfig &config, bool plugged) {
  camera_ = emu::UsbCamera::create(config, &error_);
  if (!camera_)
    return;
  testbed_ = umockdev_testbed_new();
  ioctl_ = umockdev_ioctl_base_new();
  g_signal_connect(ioctl_, "handle-ioctl", G_CALLBACK(on_ioctl), this);
  GError *failure = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed_, kNode, ioctl_, &failure)) {
    error_ = failure->message;
    g_error_free(failure);
  } else if (plugged) {
    plug();
  }
}

UsbdevfsCamera::~UsbdevfsCamera() {
  if (testbed_ == nullptr)
    return;
  unplug();
  g_object_unref(testbed_); // its worker thread, and with it the handler's calls, end here
  g_object_unref(ioctl_);
  camera_.reset(); // before the lock its transfers take
}

void UsbdevfsCamera::plug() {
  GError *failure = nullptr;
  if (!plugged_ && umockdev_testbed_add_from_string(testbed_, device_record().c_str(), &failure)) {
    plugged_ = true;
    umockdev_testbed_uevent(testbed_, kSysPath, "add");
  } else if (failure != nullptr) {
    error_ = failure->message;
    g_error_free(failure);
  }
}

void UsbdevfsCamera::unplug() {
  if (!plugged_)
    return;
  plugged_ = false;
  {
    std::lock_guard guard(lock_);
    gone_ = true;
    for (const auto &urb : urbs_)
      end_locked(*urb, -ESHUTDOWN, {}, 0);
  }
  camera_->removed();
  umockdev_testbed_uevent(testbed_, kSysPath, "remove");
  umockdev_testbed_remove_device(testbed_, kSysPath);
}

void UsbdevfsCamera::fail_next_urb(uint8_t endpoint, int status, uint32_t bytes, bool hold) {
  std::lock_guard guard(lock_);
  faults_.push_back(Fault{endpoint, status, bytes, hold});
}

size_t UsbdevfsCamera::urbs_in_flight() {
  std::lock_guard guard(lock_);
  return urbs_.size();
}

} // namespace rig
