#include "emulated_device.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/protocol.h"
#include "usb_records.h"

namespace kvx::usbemu {

namespace {

// The strip's pace is the SimDriver's; this only bounds how long the pump
// waits before it looks again at what changed.
constexpr std::chrono::milliseconds PUMP_WAIT{500};
// The longest a scenario's slow or hanging reply holds a control request; the
// client's own time-out (a discard) ends it sooner.
constexpr std::chrono::milliseconds CONTROL_WAIT{60000};

// Held for every ioctl, for connecting a handler and at the start of its
// end: the devices reach umockdev's thread through GLib, which
// ThreadSanitizer cannot see, so this lock (outside the objects) is what
// orders a device's construction before its first ioctl and its last ioctl
// before its destruction. umockdev runs all handlers on one thread anyway.
std::mutex& IoctlMutex() {
  static std::mutex mutex;
  return mutex;
}

bool Debugging() {
  static const bool on = std::getenv("KVX_USB_EMULATOR_DEBUG") != nullptr;
  return on;
}

UMockdevIoctlData* Resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length) {
  GError* error = nullptr;
  UMockdevIoctlData* child = umockdev_ioctl_data_resolve(data, offset, length, &error);
  if (error != nullptr) {
    if (Debugging()) std::fprintf(stderr, "kvx-usb-emulator: resolve: %s\n", error->message);
    g_error_free(error);
    return nullptr;
  }
  return child;
}

template <typename T>
void Put(UMockdevIoctlData* data, std::size_t offset, T value) {
  umockdev_ioctl_data_update(data, offset, reinterpret_cast<guint8*>(&value), sizeof value);
}

}  // namespace

EmulatedDevice::EmulatedDevice(sim::SimDriver& sim, std::size_t strip, std::string devnode)
    : sim_(sim), strip_(strip), devnode_(std::move(devnode)) {
  const std::string path = sim_.DevicePath(strip_);
  pipe_ = sim_.Open(path + device::PIPE_SEPARATOR + protocol::PIPE_NAME);
  pump_ = std::thread(&EmulatedDevice::Pump, this);
  controlThread_ = std::thread(&EmulatedDevice::AnswerControls, this);
}

EmulatedDevice::~EmulatedDevice() {
  {
    std::lock_guard ioctls(IoctlMutex());
    if (handler_ != nullptr) g_signal_handlers_disconnect_by_data(handler_, this);
  }
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    sim_.Close(answeringHandle_);  // ends a held reply
  }
  pumpCv_.notify_all();
  controlCv_.notify_all();
  sim_.CancelRead(pipe_);
  pump_.join();
  controlThread_.join();
  for (Urb& urb : waiting_) Release(urb);
  for (Urb& urb : completed_) Release(urb);
  for (Urb& urb : controls_) Release(urb);
  if (answering_) Release(*answering_);
  sim_.Close(pipe_);
  if (handler_ != nullptr) g_object_unref(handler_);
}

bool EmulatedDevice::Attach(UMockdevTestbed* testbed, std::string& error) {
  {
    // Not held across the attach below: that may wait for umockdev's thread,
    // which may be waiting for this lock in an ioctl of another device.
    std::lock_guard ioctls(IoctlMutex());
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedDevice::OnIoctl), this);
  }
  GError* gerror = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed, devnode_.c_str(), handler_, &gerror)) {
    error = gerror != nullptr ? gerror->message : "cannot attach the ioctl handler";
    if (gerror != nullptr) g_error_free(gerror);
    return false;
  }
  return true;
}

void EmulatedDevice::Unplugged() {
  {
    std::lock_guard lock(mutex_);
    present_ = false;
    armed_ = false;
    while (!waiting_.empty()) {
      Urb urb = std::move(waiting_.front());
      waiting_.pop_front();
      urb.status = -ESHUTDOWN;
      CompleteLocked(std::move(urb));
    }
    while (!controls_.empty()) {
      Urb urb = std::move(controls_.front());
      controls_.pop_front();
      urb.status = -ESHUTDOWN;
      CompleteLocked(std::move(urb));
    }
    if (answering_) {
      answering_->status = -ESHUTDOWN;
      CompleteLocked(std::move(*answering_));
      answering_.reset();
    }
  }
  pumpCv_.notify_all();
}

void EmulatedDevice::Hold() {
  std::lock_guard lock(mutex_);
  held_ = true;
  offered_ = 0;
}

void EmulatedDevice::Offer() {
  {
    std::lock_guard lock(mutex_);
    ++offered_;
  }
  pumpCv_.notify_all();
}

int EmulatedDevice::PendingControls() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(controls_.size()) + (answering_ ? 1 : 0);
}

void EmulatedDevice::Release(Urb& urb) {
  if (urb.buffer != nullptr) g_object_unref(urb.buffer);
  if (urb.urb != nullptr) g_object_unref(urb.urb);
  urb.buffer = urb.urb = nullptr;
}

gboolean EmulatedDevice::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  std::lock_guard ioctls(IoctlMutex());
  return static_cast<EmulatedDevice*>(self)->HandleIoctl(client);
}

gboolean EmulatedDevice::HandleIoctl(UMockdevIoctlClient* client) {
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      // No optional features: libusb then uses the plain URB interface only.
      UMockdevIoctlData* caps = Resolve(arg, 0, sizeof(std::uint32_t));
      if (caps == nullptr) return FALSE;
      Put<std::uint32_t>(caps, 0, 0);
      g_object_unref(caps);
      umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:  // libusb's claim with the kernel driver detached
    case USBDEVFS_RELEASEINTERFACE:
      ClaimChanged(request != USBDEVFS_RELEASEINTERFACE);
      umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
      // No kernel driver is bound to the interface: nothing to detach or reattach.
      umockdev_ioctl_client_complete(client, -1, ENODATA);
      return TRUE;
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_SETINTERFACE:
      umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    case USBDEVFS_SUBMITURB: Submit(client); return TRUE;
    case USBDEVFS_REAPURBNDELAY: Reap(client); return TRUE;
    case USBDEVFS_DISCARDURB: Discard(client); return TRUE;
    default:
      if (Debugging()) std::fprintf(stderr, "kvx-usb-emulator: unhandled ioctl %#lx\n", request);
      umockdev_ioctl_client_complete(client, -1, ENOTTY);
      return TRUE;
  }
}

void EmulatedDevice::Submit(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  Urb urb;
  urb.urb = Resolve(arg, 0, sizeof(usbdevfs_urb));
  if (urb.urb == nullptr) {
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return;
  }
  const usbdevfs_urb fields = *reinterpret_cast<const usbdevfs_urb*>(urb.urb->data);
  urb.address = urb.urb->client_addr;
  if (fields.buffer_length > 0)
    urb.buffer = Resolve(urb.urb, offsetof(usbdevfs_urb, buffer), static_cast<std::size_t>(fields.buffer_length));
  std::lock_guard lock(mutex_);
  if (!present_) {
    Release(urb);
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return;
  }
  if (fields.type == USBDEVFS_URB_TYPE_CONTROL && urb.buffer != nullptr && fields.buffer_length >= 8) {
    SubmitControl(std::move(urb));
  } else if ((fields.type == USBDEVFS_URB_TYPE_BULK || fields.type == USBDEVFS_URB_TYPE_INTERRUPT) &&
             fields.endpoint == DATA_ENDPOINT && urb.buffer != nullptr) {
    if (!armed_) {
      const std::uint8_t event[4] = {1, 0, 0, 0};  // stands for the client's event handle
      std::uint32_t returned = 0;
      armed_ = sim_.Control(pipe_, protocol::IOCTL_STRIP_SET_EVENT, event, {}, returned);
    }
    waiting_.push_back(std::move(urb));
    pumpCv_.notify_all();
  } else {
    Release(urb);
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return;
  }
  umockdev_ioctl_client_complete(client, 0, 0);
}

void EmulatedDevice::SubmitControl(Urb urb) {
  controls_.push_back(std::move(urb));
  controlCv_.notify_all();
}

// Each request on a SimDriver handle of its own, so that a discard can
// withdraw it (closing the handle ends a held reply) without touching others.
void EmulatedDevice::AnswerControls() {
  std::unique_lock lock(mutex_);
  for (;;) {
    controlCv_.wait(lock, [&] { return stop_ || !controls_.empty(); });
    if (stop_) return;
    answering_ = std::move(controls_.front());
    controls_.pop_front();
    std::array<std::uint8_t, 8> packet{};
    std::copy_n(answering_->buffer->data, packet.size(), packet.begin());
    const protocol::SetupFields setup = protocol::ParseSetupPacket(packet);
    const std::size_t dataStage = static_cast<std::size_t>(answering_->buffer->data_len) - 8;
    const bool in = (setup.bmRequestType & 0x80) != 0;
    std::vector<std::uint8_t> reply(in ? std::min<std::size_t>(setup.wLength, dataStage) : 0);
    const std::string path = sim_.DevicePath(strip_);
    answeringHandle_ = sim_.Open(claimed_ ? path + device::PIPE_SEPARATOR + protocol::PIPE_NAME : path);
    const device::Handle handle = answeringHandle_;
    lock.unlock();
    std::uint32_t returned = 0;
    const device::ControlStatus status =
        sim_.Control(handle, protocol::IOCTL_STRIP_CONTROL_TRANSFER, packet, reply, returned, CONTROL_WAIT);
    sim_.Close(handle);
    lock.lock();
    answeringHandle_ = device::INVALID_HANDLE_VALUE;
    if (!answering_) continue;  // discarded, or failed by the strip's removal
    Urb urb = std::move(*answering_);
    answering_.reset();
    const bool ok = status == device::ControlStatus::Ok;
    if (ok && protocol::ChangesSelection(setup)) ++selects_;
    urb.status = ok ? 0 : status == device::ControlStatus::Gone ? -ESHUTDOWN : -EPIPE;
    reply.resize(ok ? returned : 0);
    urb.data = std::move(reply);
    urb.offset = 8;
    CompleteLocked(std::move(urb));
  }
}

bool EmulatedDevice::DiscardQueuedLocked(std::deque<Urb>& queue, std::uint64_t address) {
  const auto it = std::find_if(queue.begin(), queue.end(), [&](const Urb& urb) { return urb.address == address; });
  if (it == queue.end()) return false;
  Urb urb = std::move(*it);
  queue.erase(it);
  urb.status = -ENOENT;
  CompleteLocked(std::move(urb));
  return true;
}

bool EmulatedDevice::DiscardControlLocked(std::uint64_t address) {
  if (DiscardQueuedLocked(controls_, address)) return true;
  if (!answering_ || answering_->address != address) return false;
  answering_->status = -ENOENT;
  CompleteLocked(std::move(*answering_));
  answering_.reset();
  sim_.Close(answeringHandle_);  // the simulated strip's call ends now
  return true;
}

void EmulatedDevice::CompleteLocked(Urb urb) { completed_.push_back(std::move(urb)); }

void EmulatedDevice::Reap(UMockdevIoctlClient* client) {
  std::unique_lock lock(mutex_);
  if (completed_.empty()) {
    // What the kernel says once a removed device has nothing left to hand back.
    umockdev_ioctl_client_complete(client, -1, present_ ? EAGAIN : ENODEV);
    return;
  }
  Urb urb = std::move(completed_.front());
  completed_.pop_front();
  lock.unlock();
  const std::size_t room = urb.buffer != nullptr ? static_cast<std::size_t>(urb.buffer->data_len) : 0;
  urb.data.resize(std::min(urb.data.size(), room > urb.offset ? room - urb.offset : 0));
  if (!urb.data.empty())
    umockdev_ioctl_data_update(urb.buffer, urb.offset, urb.data.data(), static_cast<gint>(urb.data.size()));
  Put<int>(urb.urb, offsetof(usbdevfs_urb, status), urb.status);
  Put<int>(urb.urb, offsetof(usbdevfs_urb, actual_length), static_cast<int>(urb.data.size()));
  UMockdevIoctlData* slot = Resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*));
  if (slot == nullptr) {
    Release(urb);
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return;
  }
  umockdev_ioctl_data_set_ptr(slot, 0, urb.urb);
  umockdev_ioctl_client_complete(client, 0, 0);
  g_object_unref(slot);
  Release(urb);
}

void EmulatedDevice::Discard(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::uint64_t address = 0;
  if (arg->data_len >= static_cast<gint>(sizeof address)) std::memcpy(&address, arg->data, sizeof address);
  std::lock_guard lock(mutex_);
  if (DiscardControlLocked(address)) {
    umockdev_ioctl_client_complete(client, 0, 0);
    return;
  }
  if (DiscardQueuedLocked(waiting_, address)) {
    if (waiting_.empty() && armed_) {
      // The client cancelled its last read: the pipe stops as it does on STOP.
      std::uint32_t returned = 0;
      sim_.Control(pipe_, protocol::IOCTL_STRIP_STOP, {}, {}, returned);
      armed_ = false;
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    return;
  }
  umockdev_ioctl_client_complete(client, -1, EINVAL);  // already completed
}

void EmulatedDevice::ClaimChanged(bool claimed) {
  std::lock_guard lock(mutex_);
  claimed_ = claimed;
}

void EmulatedDevice::Pump() {
  std::unique_lock lock(mutex_);
  for (;;) {
    pumpCv_.wait(lock, [&] { return stop_ || (present_ && armed_ && !waiting_.empty() && (!held_ || offered_ > 0)); });
    if (stop_) return;
    const std::uint64_t selects = selects_;
    lock.unlock();
    protocol::ReadingBytes reading{};
    const device::ReadResult result = sim_.Read(pipe_, reading, PUMP_WAIT);
    lock.lock();
    if (result.status == device::ReadStatus::Completed && selects != selects_) {
      // Perhaps of the selection before: a real strip's next reading would follow the request.
    } else if (result.status == device::ReadStatus::Completed && !waiting_.empty()) {
      Urb urb = std::move(waiting_.front());
      waiting_.pop_front();
      urb.data.assign(reading.begin(), reading.begin() + std::min<std::size_t>(result.bytes, reading.size()));
      CompleteLocked(std::move(urb));
      if (held_) --offered_;
    } else if (result.status == device::ReadStatus::Failed) {
      armed_ = false;  // stopped or gone: the next submit arms it again
    }
  }
}

}  // namespace kvx::usbemu
