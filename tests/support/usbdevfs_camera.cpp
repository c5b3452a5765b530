// The emulated camera behind a umockdev usbdevfs node.
#include "tests/support/usbdevfs_camera.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <linux/usbdevice_fs.h>
#include <mutex>
#include <optional>
#include <sys/ioctl.h>
#include <umockdev.h>
#include <vector>

#include "emulator/usb/usb_identity.h"

namespace rig {
namespace {

constexpr const char *kSysPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
constexpr const char *kNode = "/dev/bus/usb/001/002";
constexpr size_t kSetupSize = 8;
constexpr guint kHoldMs = 2;

// The device as umockdev's record describes it: sysfs attributes and the
// descriptors libusb reads from sysfs, with the device node.
std::string device_record() {
  std::string hex;
  char byte[3];
  for (const std::span<const uint8_t> part :
       {emu::usb_device_descriptor(), emu::usb_configuration_descriptor(emu::UsbIdentityVariant::Camera)})
    for (uint8_t b : part) {
      std::snprintf(byte, sizeof(byte), "%02X", b);
      hex += byte;
    }
  return std::string("P: ") + (kSysPath + 4) + "\nN: " + (kNode + 5) +
         "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + kNode +
         "\nE: BUSNUM=001\nE: DEVNUM=002\nE: PRODUCT=1209/1/100\n"
         "A: busnum=1\nA: devnum=2\nA: speed=12\nA: bConfigurationValue=1\nA: idVendor=1209\nA: "
         "idProduct=0001\n"
         "H: descriptors=" +
         hex + "\n";
}

// The URB status a device model's outcome gives in usbdevfs.
int urb_status(usbbus::TransferOutcome outcome) {
  switch (outcome) {
  case usbbus::TransferOutcome::Success:
    return 0;
  case usbbus::TransferOutcome::Stall:
    return -EPIPE;
  case usbbus::TransferOutcome::NoResponse:
    return -EPROTO;
  case usbbus::TransferOutcome::DataOverrun:
    return -EOVERFLOW;
  case usbbus::TransferOutcome::Cancelled:
    return -ENOENT;
  case usbbus::TransferOutcome::DeviceGone:
    return -ESHUTDOWN;
  case usbbus::TransferOutcome::Timeout:
    return -ETIMEDOUT;
  default:
    return -EIO;
  }
}

// A resolved block of the client's memory, or NULL.
UMockdevIoctlData *resolve(UMockdevIoctlData *data, size_t offset, size_t length) {
  return umockdev_ioctl_data_resolve(data, offset, length, nullptr);
}

void complete(UMockdevIoctlClient *client, int error) {
  umockdev_ioctl_client_complete(client, error != 0 ? -1 : 0, error);
}

} // namespace

// One submitted URB: the client's record and buffer (referenced), and how it
// ended, written into them only on the worker thread when it is reaped.
struct Urb {
  Urb(UMockdevIoctlClient *owner, UMockdevIoctlData *record, UMockdevIoctlData *data)
      : client(owner), urb(record), buffer(data) {
    for (gpointer object : {gpointer(client), gpointer(urb), gpointer(buffer)})
      if (object != nullptr)
        g_object_ref(object);
  }
  ~Urb() {
    for (gpointer object : {gpointer(client), gpointer(urb), gpointer(buffer)})
      if (object != nullptr)
        g_object_unref(object);
  }
  usbdevfs_urb &record() const { return *reinterpret_cast<usbdevfs_urb *>(urb->data); }

  UMockdevIoctlClient *const client;
  UMockdevIoctlData *const urb;
  UMockdevIoctlData *const buffer;
  std::weak_ptr<usbbus::Transfer> transfer; // the camera's handle, for a discard
  // Guarded by the handler's lock.
  bool ended = false;
  int status = 0;
  uint32_t actual = 0;
  std::vector<uint8_t> in; // IN data
};
using UrbPtr = std::shared_ptr<Urb>;

struct UsbdevfsCamera::Handler {
  explicit Handler(std::shared_ptr<emu::UsbCamera> model) : camera(std::move(model)) {}
  ~Handler() {
    if (context != nullptr)
      g_main_context_unref(context);
  }

  static gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self);
  void answer(UMockdevIoctlClient *client, gulong request, UMockdevIoctlData *arg);
  void submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
  void control(const UrbPtr &urb);
  void reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
  void discard(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
  bool end(Urb &urb, int status, std::span<const uint8_t> in, uint32_t out_bytes);
  bool end_locked(Urb &urb, int status, std::span<const uint8_t> in, uint32_t out_bytes);
  bool deliver_locked(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
  static gboolean finish_held(gpointer self);
  void unplug();

  const std::shared_ptr<emu::UsbCamera> camera;
  GMainContext *context = nullptr; // the testbed's worker's, where every reply is written

  mutable std::mutex lock;  // guards every field below and each Urb's result
  std::vector<UrbPtr> urbs; // submitted, not reaped, oldest first
  struct Fault {
    uint8_t endpoint;
    int status;
    uint32_t bytes;
    bool hold;
  };
  std::deque<Fault> faults;
  bool gone = false;
  size_t discarded = 0;
  uint64_t next_id = 1;
  int empty_reaps = 0;                 // in a row
  UMockdevIoctlClient *held = nullptr; // an empty reap held back, with its argument
  UMockdevIoctlData *held_arg = nullptr;
  GSource *held_timer = nullptr;
};

namespace {

// The camera's handle of a bulk URB.
class UrbTransfer final : public usbbus::Transfer {
public:
  UrbTransfer(UsbdevfsCamera::Handler &handler, UrbPtr urb, uint64_t id)
      : handler_(handler), urb_(std::move(urb)), id_(id) {
    const usbdevfs_urb &r = urb_->record();
    if ((r.endpoint & 0x80) == 0 && urb_->buffer != nullptr)
      out_.assign(urb_->buffer->data, urb_->buffer->data + r.buffer_length);
    endpoint_ = r.endpoint;
    length_ = static_cast<uint32_t>(r.buffer_length);
  }
  uint8_t endpoint_address() const override { return endpoint_; }
  uint32_t length() const override { return length_; }
  std::span<const uint8_t> out_data() const override { return out_; }
  uint64_t id() const override { return id_; }
  bool complete_in(std::span<const uint8_t> data) override {
    return handler_.end(*urb_, data.size() > length_ ? -EOVERFLOW : 0, data, 0);
  }
  bool complete_out(uint32_t accepted) override { return handler_.end(*urb_, 0, {}, accepted); }
  bool fail(usbbus::TransferOutcome outcome, uint32_t bytes) override {
    return handler_.end(*urb_, urb_status(outcome), {}, bytes);
  }
  bool is_active() const override {
    std::lock_guard guard(handler_.lock);
    return !urb_->ended;
  }

private:
  UsbdevfsCamera::Handler &handler_;
  const UrbPtr urb_;
  const uint64_t id_;
  uint8_t endpoint_ = 0;
  uint32_t length_ = 0;
  std::vector<uint8_t> out_;
};

} // namespace

gboolean UsbdevfsCamera::Handler::on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
  auto &handler = *static_cast<Handler *>(self);
  {
    std::lock_guard guard(handler.lock);
    if (handler.context == nullptr)
      handler.context = g_main_context_ref_thread_default();
  }
  handler.answer(client, umockdev_ioctl_client_get_request(client), umockdev_ioctl_client_get_arg(client));
  return TRUE;
}

// Everything but the URBs: what libusb asks when it opens, configures and
// resets the device. The camera is called without the lock.
void UsbdevfsCamera::Handler::answer(UMockdevIoctlClient *client, gulong request, UMockdevIoctlData *arg) {
  if (request == USBDEVFS_SUBMITURB)
    return submit(client, arg);
  if (request == USBDEVFS_REAPURBNDELAY)
    return reap(client, arg);
  if (request == USBDEVFS_DISCARDURB)
    return discard(client, arg);
  int error = 0;
  UMockdevIoctlData *value = nullptr;
  if (std::lock_guard guard(lock); gone) {
    error = ENODEV;
  } else if (request == USBDEVFS_GET_CAPABILITIES && (value = resolve(arg, 0, 4)) != nullptr) {
    const uint32_t caps =
        USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER;
    std::memcpy(value->data, &caps, sizeof(caps));
  } else if (request == USBDEVFS_CLEAR_HALT && (value = resolve(arg, 0, 4)) != nullptr) {
    unsigned endpoint;
    std::memcpy(&endpoint, value->data, sizeof(endpoint));
    camera->reset_pipe(static_cast<uint8_t>(endpoint));
  } else if (request == USBDEVFS_RESET) {
    camera->reset_port();
  } else if (request == USBDEVFS_GETDRIVER || request == USBDEVFS_IOCTL) {
    error = ENODATA; // no kernel driver is bound to the interface
  } else if (request != USBDEVFS_SETCONFIGURATION && request != USBDEVFS_CLAIMINTERFACE &&
             request != USBDEVFS_RELEASEINTERFACE && request != USBDEVFS_DISCONNECT_CLAIM &&
             request != USBDEVFS_SETINTERFACE) {
    error = ENOTTY;
  }
  complete(client, error);
}

// A URB is taken at once; it ends by a fault, the camera or a discard.
void UsbdevfsCamera::Handler::submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
  UMockdevIoctlData *record = resolve(arg, 0, sizeof(usbdevfs_urb));
  if (record == nullptr)
    return complete(client, EFAULT);
  const usbdevfs_urb &r = *reinterpret_cast<usbdevfs_urb *>(record->data);
  const bool is_control = r.type == USBDEVFS_URB_TYPE_CONTROL;
  if ((r.type != USBDEVFS_URB_TYPE_BULK && !is_control) || r.buffer_length < 0 ||
      (is_control && r.buffer_length < static_cast<int>(kSetupSize)))
    return complete(client, EINVAL);
  UMockdevIoctlData *buffer =
      r.buffer_length > 0 ? resolve(record, offsetof(usbdevfs_urb, buffer), r.buffer_length) : nullptr;
  auto urb = std::make_shared<Urb>(client, record, buffer);
  std::optional<Fault> fault;
  uint64_t id;
  {
    std::lock_guard guard(lock);
    if (gone)
      return complete(client, ENODEV);
    const uint8_t endpoint = is_control ? 0 : r.endpoint;
    auto it =
        std::find_if(faults.begin(), faults.end(), [&](const Fault &f) { return f.endpoint == endpoint; });
    if (it != faults.end()) {
      fault = *it;
      faults.erase(it);
    }
    urbs.push_back(urb);
    id = next_id++;
  }
  complete(client, 0);
  if (fault) {
    if (!fault->hold)
      end(*urb, fault->status, std::vector<uint8_t>(r.endpoint & 0x80 ? fault->bytes : 0, 0xA5),
          fault->bytes);
  } else if (is_control) {
    control(urb);
  } else {
    auto transfer = std::make_shared<UrbTransfer>(*this, urb, id);
    urb->transfer = transfer;
    camera->submit(transfer);
  }
}

// GET_DESCRIPTOR from the camera's descriptors; any other request stalls.
void UsbdevfsCamera::Handler::control(const UrbPtr &urb) {
  const uint8_t *setup = urb->buffer->data;
  const size_t asked = static_cast<size_t>(setup[6] | setup[7] << 8);
  std::span<const uint8_t> bytes;
  if (setup[0] == 0x80 && setup[1] == 0x06)
    bytes = camera->descriptor(setup[3], setup[2], static_cast<uint16_t>(setup[4] | setup[5] << 8));
  if (bytes.empty())
    end(*urb, -EPIPE, {}, 0);
  else
    end(*urb, 0, bytes.first(std::min({bytes.size(), asked, urb->record().buffer_length - kSetupSize})), 0);
}

bool UsbdevfsCamera::Handler::end(Urb &urb, int status, std::span<const uint8_t> in, uint32_t out_bytes) {
  std::lock_guard guard(lock);
  return end_locked(urb, status, in, out_bytes);
}

// Records how the URB ended and wakes a held reap on the worker thread.
bool UsbdevfsCamera::Handler::end_locked(Urb &urb, int status, std::span<const uint8_t> in,
                                         uint32_t out_bytes) {
  if (urb.ended)
    return false;
  const bool is_in = (urb.record().endpoint & 0x80) != 0 || urb.record().type == USBDEVFS_URB_TYPE_CONTROL;
  const size_t room = static_cast<size_t>(urb.record().buffer_length) -
                      (urb.record().type == USBDEVFS_URB_TYPE_CONTROL ? kSetupSize : 0);
  urb.ended = true;
  urb.status = status;
  urb.in.assign(in.begin(), in.begin() + static_cast<ptrdiff_t>(std::min(in.size(), room)));
  urb.actual = static_cast<uint32_t>(is_in ? urb.in.size() : std::min<size_t>(out_bytes, room));
  if (held != nullptr && context != nullptr) {
    GSource *idle = g_idle_source_new();
    g_source_set_callback(idle, finish_held, this, nullptr);
    g_source_attach(idle, context);
    g_source_unref(idle);
  }
  return true;
}

// Hands the client its oldest ended URB, written into its memory. Worker
// thread, lock held.
bool UsbdevfsCamera::Handler::deliver_locked(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
  auto it = std::find_if(urbs.begin(), urbs.end(),
                         [&](const UrbPtr &u) { return u->ended && u->client == client; });
  if (it == urbs.end())
    return false;
  const UrbPtr urb = *it;
  urbs.erase(it);
  usbdevfs_urb &r = urb->record();
  r.status = urb->status;
  r.actual_length = static_cast<int>(urb->actual);
  if (!urb->in.empty())
    std::memcpy(urb->buffer->data + (r.type == USBDEVFS_URB_TYPE_CONTROL ? kSetupSize : 0), urb->in.data(),
                urb->in.size());
  umockdev_ioctl_data_set_ptr(arg, 0, urb->urb);
  complete(client, 0);
  empty_reaps = 0;
  return true;
}

void UsbdevfsCamera::Handler::reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
  UMockdevIoctlData *pointer = resolve(arg, 0, sizeof(void *));
  std::lock_guard guard(lock);
  if (pointer == nullptr)
    return complete(client, EFAULT);
  if (deliver_locked(client, pointer))
    return;
  if (gone)
    return complete(client, ENODEV);
  if (++empty_reaps < 2 || held != nullptr)
    return complete(client, EAGAIN);
  held = static_cast<UMockdevIoctlClient *>(g_object_ref(client));
  held_arg = static_cast<UMockdevIoctlData *>(g_object_ref(pointer));
  held_timer = g_timeout_source_new(kHoldMs);
  g_source_set_callback(held_timer, finish_held, this, nullptr);
  g_source_attach(held_timer, context);
}

// The held reap gets a URB that ended, or (its time up) EAGAIN. Worker thread.
gboolean UsbdevfsCamera::Handler::finish_held(gpointer self) {
  auto &handler = *static_cast<Handler *>(self);
  std::lock_guard guard(handler.lock);
  if (handler.held == nullptr)
    return G_SOURCE_REMOVE;
  const bool expired = g_main_current_source() == handler.held_timer;
  if (!handler.deliver_locked(handler.held, handler.held_arg)) {
    if (!expired && !handler.gone)
      return G_SOURCE_REMOVE; // not this client's URB: keep holding
    complete(handler.held, handler.gone ? ENODEV : EAGAIN);
  }
  g_source_destroy(handler.held_timer);
  g_source_unref(handler.held_timer);
  g_object_unref(handler.held_arg);
  g_object_unref(handler.held);
  handler.held = nullptr;
  handler.held_arg = nullptr;
  handler.held_timer = nullptr;
  return G_SOURCE_REMOVE;
}

// DISCARDURB names the URB by its address in the client.
void UsbdevfsCamera::Handler::discard(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
  uint64_t address;
  std::memcpy(&address, arg->data, sizeof(address));
  std::shared_ptr<usbbus::Transfer> transfer;
  bool found = false;
  {
    std::lock_guard guard(lock);
    for (const UrbPtr &urb : urbs)
      if (urb->client == client && urb->urb->client_addr == address && end_locked(*urb, -ENOENT, {}, 0)) {
        found = true;
        ++discarded;
        transfer = urb->transfer.lock();
      }
  }
  complete(client, found ? 0 : EINVAL);
  if (transfer)
    camera->cancel(transfer);
}

void UsbdevfsCamera::Handler::unplug() {
  {
    std::lock_guard guard(lock);
    gone = true;
    for (const UrbPtr &urb : urbs)
      end_locked(*urb, -ESHUTDOWN, {}, 0);
  }
  camera->removed();
}

// ---------------------------------------------------------------------------

UsbdevfsCamera::UsbdevfsCamera(const emu::CameraConfig &config, bool plugged) {
  std::unique_ptr<emu::UsbCamera> camera = emu::UsbCamera::create(config, &error_);
  if (!camera)
    return;
  camera_ = std::move(camera);
  handler_ = std::make_unique<Handler>(camera_);
  testbed_ = umockdev_testbed_new();
  ioctl_ = umockdev_ioctl_base_new();
  g_signal_connect(ioctl_, "handle-ioctl", G_CALLBACK(Handler::on_ioctl), handler_.get());
  if (plugged)
    plug();
}

UsbdevfsCamera::~UsbdevfsCamera() {
  if (testbed_ == nullptr)
    return;
  unplug();
  g_object_unref(testbed_); // stops the worker thread: no handler runs after this
  g_object_unref(ioctl_);
  camera_.reset();
  handler_.reset();
}

std::string UsbdevfsCamera::node_file() const {
  gchar *root = umockdev_testbed_get_root_dir(testbed_);
  std::string file = std::string(root) + kNode;
  g_free(root);
  return file;
}

void UsbdevfsCamera::plug() {
  if (plugged_)
    return;
  GError *failure = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, device_record().c_str(), &failure) ||
      (!attached_ && !umockdev_testbed_attach_ioctl(testbed_, kNode, ioctl_, &failure))) {
    error_ = failure != nullptr ? failure->message : "umockdev refused the device";
    g_clear_error(&failure);
    return;
  }
  {
    std::lock_guard guard(handler_->lock);
    handler_->gone = false;
  }
  attached_ = true;
  plugged_ = true;
  umockdev_testbed_uevent(testbed_, kSysPath, "add");
}

void UsbdevfsCamera::unplug() {
  if (!plugged_)
    return;
  plugged_ = false;
  handler_->unplug();
  umockdev_testbed_uevent(testbed_, kSysPath, "remove");
  umockdev_testbed_remove_device(testbed_, kSysPath);
}

void UsbdevfsCamera::fail_next_urb(uint8_t endpoint, int status, uint32_t bytes, bool hold) {
  std::lock_guard guard(handler_->lock);
  handler_->faults.push_back(Handler::Fault{endpoint, status, bytes, hold});
}

size_t UsbdevfsCamera::urbs_in_flight() const {
  std::lock_guard guard(handler_->lock);
  return handler_->urbs.size();
}

size_t UsbdevfsCamera::urbs_discarded() const {
  std::lock_guard guard(handler_->lock);
  return handler_->discarded;
}

} // namespace rig
