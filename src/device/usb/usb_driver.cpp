#include "device/usb/usb_driver.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>

namespace kvx::usb {

using namespace kvx::protocol;
using device::Handle;
using device::INVALID_HANDLE_VALUE;

namespace {

// The longest round of event handling. A round ends early for everything
// the thread is there for: a completed or timed-out transfer, a hotplug
// event, a Pass wanted or a stop (libusb_interrupt_event_handler); so with
// nothing open the thread sleeps. How often the device lists are compared
// where libusb has no hotplug.
constexpr timeval EVENT_ROUND{60, 0};
constexpr std::chrono::seconds POLL_INTERVAL{1};

std::string PathOf(libusb_device* device, const UsbId& id) {
  std::uint8_t ports[8];
  const int n = libusb_get_port_numbers(device, ports, sizeof ports);
  return FormatPath(id, libusb_get_bus_number(device), std::span<const std::uint8_t>(ports, n > 0 ? n : 0));
}

std::optional<UsbId> IdOf(libusb_device* device) {
  libusb_device_descriptor descriptor{};
  if (libusb_get_device_descriptor(device, &descriptor) != 0) return std::nullopt;
  return UsbId{descriptor.idVendor, descriptor.idProduct};
}

// The first IN endpoint of interface 0 (or the one the user named), with its
// type and packet size as the active configuration describes it.
EndpointInfo FindEndpoint(libusb_device* device, std::optional<std::uint8_t> wanted) {
  EndpointInfo info;
  if (wanted) info.address = *wanted;
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != 0) return info;
  if (config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0) {
    const libusb_interface_descriptor& alt = config->interface[0].altsetting[0];
    for (int i = 0; i < alt.bNumEndpoints; ++i) {
      const libusb_endpoint_descriptor& ep = alt.endpoint[i];
      const int type = ep.bmAttributes & 0x03;
      const bool usable = (ep.bEndpointAddress & 0x80) != 0 &&
                          (type == LIBUSB_TRANSFER_TYPE_BULK || type == LIBUSB_TRANSFER_TYPE_INTERRUPT);
      if (!usable || (wanted && ep.bEndpointAddress != *wanted)) continue;
      info.address = ep.bEndpointAddress;
      info.interrupt = type == LIBUSB_TRANSFER_TYPE_INTERRUPT;
      info.packetSize = std::max<std::uint16_t>(ep.wMaxPacketSize & 0x7FF, 1);
      break;
    }
  }
  libusb_free_config_descriptor(config);
  return info;
}

}  // namespace

UsbDriver::Strip::~Strip() {
  EventGate::Pass pass(gate);
  if (claims > 0) libusb_release_interface(handle, 0);
  libusb_close(handle);
}

UsbDriver::UsbDriver(libusb_context* context, UsbOptions options)
    : context_(context), options_(std::move(options)), gate_(context) {
  hotplug_ = libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
  if (hotplug_) {
    for (const std::vector<UsbId>* ids : {&options_.primaryIds, &options_.fallbackIds}) {
      for (const UsbId& id : *ids) {
        libusb_hotplug_callback_handle handle = 0;
        const auto events = static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
        if (libusb_hotplug_register_callback(context_, events, static_cast<libusb_hotplug_flag>(0), id.vendor,
                                             id.product, LIBUSB_HOTPLUG_MATCH_ANY, &UsbDriver::OnHotplug, this,
                                             &handle) == LIBUSB_SUCCESS)
          hotplugHandles_.push_back(handle);
      }
    }
  }
  eventThread_ = std::thread(&UsbDriver::EventLoop, this);
  deliveryThread_ = std::thread(&UsbDriver::DeliveryLoop, this);
  // Named for top -H, a debugger and the CPU benchmark, which counts the event thread apart.
  pthread_setname_np(eventThread_.native_handle(), "kvx-usb-events");
  pthread_setname_np(deliveryThread_.native_handle(), "kvx-usb-deliver");
}

UsbDriver::~UsbDriver() {
  // Cancel and drain the streams while the event thread still runs, then
  // release and close the strips, stop the arrival and removal news, and
  // only then stop the event thread and leave libusb.
  std::map<Handle, HandleState> handles;
  {
    std::lock_guard lock(mutex_);
    handles.swap(handles_);
  }
  for (auto& [id, state] : handles)
    if (state.stream) state.stream->Stop();
  handles.clear();
  {
    EventGate::Pass pass(gate_);
    for (libusb_hotplug_callback_handle handle : hotplugHandles_) libusb_hotplug_deregister_callback(context_, handle);
  }
  {
    std::lock_guard lock(eventsMutex_);
    stopDelivery_ = true;
  }
  eventsCv_.notify_all();
  deliveryThread_.join();
  eventsStopped_ = true;
  gate_.Stop();
  eventThread_.join();
  libusb_exit(context_);
}

const std::vector<UsbId>* UsbDriver::IdsOf(std::string_view classGuid) const {
  if (classGuid == device::primaryInterfaceGuid) return &options_.primaryIds;
  if (classGuid == device::fallbackInterfaceGuid) return &options_.fallbackIds;
  return nullptr;
}

std::string UsbDriver::ClassOf(const UsbId& id) const {
  if (std::find(options_.primaryIds.begin(), options_.primaryIds.end(), id) != options_.primaryIds.end())
    return std::string(device::primaryInterfaceGuid);
  return std::string(device::fallbackInterfaceGuid);
}

// ---------------------------------------------------------------- enumeration and handles

std::unique_ptr<device::InterfaceSet> UsbDriver::GetClassDevs(std::string_view classGuid) {
  const std::vector<UsbId>* ids = IdsOf(classGuid);
  std::vector<std::optional<std::string>> paths;
  if (ids == nullptr || ids->empty()) return std::make_unique<device::ListedInterfaceSet>(std::move(paths));
  EventGate::Pass pass(gate_);
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context_, &list);
  if (count < 0) return nullptr;
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(list[i], &descriptor) != 0) {
      paths.emplace_back(std::nullopt);
      continue;
    }
    const UsbId id{descriptor.idVendor, descriptor.idProduct};
    if (std::find(ids->begin(), ids->end(), id) != ids->end()) paths.emplace_back(PathOf(list[i], id));
  }
  libusb_free_device_list(list, 1);
  // libusb's list order is its own; sorted paths keep the list the same from
  // one snapshot to the next (an unreadable device sorts first).
  std::sort(paths.begin(), paths.end());
  return std::make_unique<device::ListedInterfaceSet>(std::move(paths));
}

std::shared_ptr<UsbDriver::Strip> UsbDriver::OpenStripLocked(const std::string& path) {
  if (auto it = strips_.find(path); it != strips_.end())
    if (auto strip = it->second.lock(); strip && !strip->gone) return strip;
  if (!ParsePath(path)) return nullptr;
  EventGate::Pass pass(gate_);
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context_, &list);
  if (count < 0) return nullptr;
  libusb_device_handle* handle = nullptr;
  EndpointInfo endpoint;
  for (ssize_t i = 0; i < count; ++i) {
    const std::optional<UsbId> id = IdOf(list[i]);
    if (!id || PathOf(list[i], *id) != path) continue;
    const int rc = libusb_open(list[i], &handle);
    if (rc == LIBUSB_ERROR_ACCESS && deniedPaths_.insert(path).second) {
      std::fprintf(stderr,
                   "kvxclient: no permission to open the strip %s (/dev/bus/usb/%03u/%03u): install the udev rule "
                   "of the README (section \"Real strips\") and plug it in again, or add the user to group plugdev\n",
                   path.c_str(), unsigned{libusb_get_bus_number(list[i])}, unsigned{libusb_get_device_address(list[i])});
    }
    if (rc != 0) handle = nullptr;
    if (handle != nullptr) {
      libusb_set_auto_detach_kernel_driver(handle, 1);
      endpoint = FindEndpoint(list[i], options_.endpoint);
    }
    break;
  }
  libusb_free_device_list(list, 1);
  if (handle == nullptr) return nullptr;
  auto strip = std::make_shared<Strip>(gate_);
  strip->handle = handle;
  strip->path = path;
  strip->endpoint = endpoint;
  strips_[path] = strip;
  return strip;
}

Handle UsbDriver::Open(const std::string& path) {
  const OpenTarget target = SplitPipe(path);
  // Opens and closes are serialised among themselves, not against the other
  // calls: a Read or CancelRead never waits for a device being opened.
  std::lock_guard open(openMutex_);
  std::shared_ptr<Strip> strip = OpenStripLocked(target.path);
  if (!strip) return INVALID_HANDLE_VALUE;
  HandleState state;
  state.strip = strip;
  state.pipe = target.pipe;
  if (target.pipe) {
    if (strip->claims == 0) {
      EventGate::Pass pass(gate_);
      if (libusb_claim_interface(strip->handle, 0) != 0) return INVALID_HANDLE_VALUE;
    }
    ++strip->claims;
    state.stream = std::make_shared<UsbStream>(gate_, strip->handle, strip->endpoint);
  }
  std::lock_guard lock(mutex_);
  const Handle handle = nextHandle_++;
  handles_.emplace(handle, std::move(state));
  return handle;
}

void UsbDriver::Close(Handle handle) {
  HandleState state;
  {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return;
    state = std::move(it->second);
    handles_.erase(it);
    AbandonCallsLocked(handle);  // a control call waiting on the handle ends now
  }
  if (state.stream) {
    state.stream->Fail();  // a Read waiting on it returns at once
    state.stream->Stop();
    std::lock_guard open(openMutex_);
    if (--state.strip->claims == 0) {
      EventGate::Pass pass(gate_);
      libusb_release_interface(state.strip->handle, 0);
    }
  }
  // The libusb handle closes with the last handle of its strip (Strip's destructor).
}

// ---------------------------------------------------------------- arrival and removal

device::Driver::SubscriptionId UsbDriver::Subscribe(std::string_view classGuid, EventCallback callback) {
  return subscribers_.Add(classGuid, std::move(callback));
}

void UsbDriver::Unsubscribe(SubscriptionId id) { subscribers_.Remove(id); }

int LIBUSB_CALL UsbDriver::OnHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event, void* self) {
  auto& driver = *static_cast<UsbDriver*>(self);
  const std::optional<UsbId> id = IdOf(device);
  if (!id) return 0;
  device::DeviceEvent news;
  news.type = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? device::DeviceEventType::Arrival
                                                           : device::DeviceEventType::RemoveComplete;
  news.classGuid = driver.ClassOf(*id);
  news.path = PathOf(device, *id);
  {
    std::lock_guard lock(driver.eventsMutex_);
    driver.events_.push_back(std::move(news));
  }
  driver.eventsCv_.notify_all();
  return 0;  // stay registered
}

std::set<UsbDriver::Present> UsbDriver::PresentNow() {
  std::set<Present> present;
  for (std::string_view guid : {device::primaryInterfaceGuid, device::fallbackInterfaceGuid}) {
    std::unique_ptr<device::InterfaceSet> set = GetClassDevs(guid);
    for (std::uint32_t i = 0; set && set->EnumInterface(i) != device::EnumStatus::NoMoreItems; ++i)
      if (auto path = set->InterfaceDetailPath(i)) present.insert({std::string(guid), *path});
  }
  return present;
}

void UsbDriver::EventLoop() {
  while (!eventsStopped_) gate_.HandleEventsRound(EVENT_ROUND);
}

void UsbDriver::DeliveryLoop() {
  std::set<Present> known = hotplug_ ? std::set<Present>{} : PresentNow();
  std::unique_lock lock(eventsMutex_);
  while (!stopDelivery_) {
    if (events_.empty() && !hotplug_) {
      eventsCv_.wait_for(lock, POLL_INTERVAL, [&] { return stopDelivery_; });
      if (stopDelivery_) break;
      lock.unlock();
      const std::set<Present> now = PresentNow();
      for (const Present& p : known)
        if (!now.contains(p)) Deliver({device::DeviceEventType::RemoveComplete, p.classGuid, p.path});
      for (const Present& p : now)
        if (!known.contains(p)) Deliver({device::DeviceEventType::Arrival, p.classGuid, p.path});
      known = now;
      lock.lock();
      continue;
    }
    eventsCv_.wait(lock, [&] { return stopDelivery_ || !events_.empty(); });
    if (stopDelivery_) break;
    const device::DeviceEvent event = std::move(events_.front());
    events_.pop_front();
    lock.unlock();
    Deliver(event);
    lock.lock();
  }
}

void UsbDriver::Deliver(const device::DeviceEvent& event) {
  if (event.type == device::DeviceEventType::RemoveComplete) MarkGone(event.path);
  subscribers_.Deliver(event);  // without our lock: the client calls back into the driver
}

// ---------------------------------------------------------------- factory

std::optional<device::AccessCode> UsbDriver::UnlockCode() const { return options_.unlockCode; }

std::unique_ptr<device::Driver> MakeUsbDriver(const UsbOptions& options, std::string& error) {
  if (options.primaryIds.empty() && options.fallbackIds.empty()) {
    error = "no USB ID given: name the strip's IDs with --usb-id=VID:PID (lsusb shows them)";
    return nullptr;
  }
  libusb_context* context = nullptr;
  const int rc = libusb_init(&context);
  if (rc != 0) {
    error = std::string("cannot initialise libusb: ") + libusb_strerror(static_cast<libusb_error>(rc));
    return nullptr;
  }
  return std::make_unique<UsbDriver>(context, options);
}

}  // namespace kvx::usb
