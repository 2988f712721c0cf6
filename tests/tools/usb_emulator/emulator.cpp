#include "emulator.h"

#include <glib-unix.h>
#include <sys/wait.h>

#include <csignal>
#include <cstring>

#include "device/usb/usb_options.h"

namespace kvx::usbemu {

namespace {

struct PendingEvent {
  class Emulator* emulator;
  device::DeviceEvent event;
};

bool IsFallback(const std::string& guid) { return g_ascii_strcasecmp(guid.c_str(), device::fallbackInterfaceGuid.data()) == 0; }

// The IDs the scenario gives a strip, else the test IDs of its class.
std::vector<UsbId> IdsOf(const sim::Scenario& scenario) {
  std::vector<UsbId> ids;
  for (const sim::StripSpec& strip : scenario.strips) {
    UsbId id = IsFallback(strip.interfaceGuid) ? FALLBACK_TEST_ID : PRIMARY_TEST_ID;
    if (const auto given = usb::ParseUsbId(strip.usbId)) id = {given->vendor, given->product};
    ids.push_back(id);
  }
  return ids;
}

}  // namespace

// The interface class of a strip becomes its USB IDs on the emulated bus.
Emulator::Emulator(const sim::Scenario& scenario) : sim_(scenario) {
  const std::vector<UsbId> ids = IdsOf(scenario);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    Strip strip;
    strip.id = ids[i];
    strip.record.port = static_cast<int>(i) + 1;
    strips_.push_back(std::move(strip));
  }
}

Emulator::~Emulator() {
  for (device::Driver::SubscriptionId id : subscriptions_) sim_.Unsubscribe(id);
  for (Strip& strip : strips_) strip.device.reset();
  gone_.clear();
  if (testbed_ != nullptr) g_object_unref(testbed_);
  if (loop_ != nullptr) g_main_loop_unref(loop_);
}

bool Emulator::Start(std::string& error) {
  testbed_ = umockdev_testbed_new();
  for (std::string_view guid : {device::primaryInterfaceGuid, device::fallbackInterfaceGuid})
    subscriptions_.push_back(sim_.Subscribe(guid, [this](const device::DeviceEvent& event) { OnSimEvent(event); }));
  for (std::size_t i = 0; i < strips_.size(); ++i)
    if (sim_.Status(i).present && !PlugIn(i, error)) return false;
  return true;
}

bool Emulator::PlugIn(std::size_t index, std::string& error) {
  Strip& strip = strips_[index];
  if (strip.device) return true;
  strip.record.id = strip.id;
  strip.record.address = nextAddress_++;
  // The handler first: the device's "add" uevent goes out with the record,
  // and a client that opens the node at once must already reach the handler.
  auto device = std::make_unique<EmulatedDevice>(sim_, index, DevNode(strip.record));
  if (strip.held) device->Hold();
  if (!device->Attach(testbed_, error)) return false;
  GError* gerror = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, UmockdevRecord(strip.record).c_str(), &gerror)) {
    error = gerror != nullptr ? gerror->message : "cannot add an emulated device";
    if (gerror != nullptr) g_error_free(gerror);
    return false;
  }
  strip.device = std::move(device);
  return true;
}

void Emulator::Unplug(std::size_t index) {
  Strip& strip = strips_[index];
  if (!strip.device) return;
  strip.device->Unplugged();
  const std::string syspath = "/sys" + SysfsPath(strip.record);
  // Removing a device sends no uevent by itself.
  umockdev_testbed_uevent(testbed_, syspath.c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, syspath.c_str());
  gone_.push_back(std::move(strip.device));
}

void Emulator::OnSimEvent(const device::DeviceEvent& event) {
  g_idle_add(&Emulator::ApplyEvent, new PendingEvent{this, event});
}

gboolean Emulator::ApplyEvent(gpointer data) {
  std::unique_ptr<PendingEvent> pending(static_cast<PendingEvent*>(data));
  Emulator& self = *pending->emulator;
  for (std::size_t i = 0; i < self.strips_.size(); ++i) {
    if (self.sim_.DevicePath(i) != pending->event.path) continue;
    // Applies the strip's state now, not the event's: a later plug or unplug
    // (of the control channel) may already have overtaken it.
    if (!self.sim_.Status(i).present) {
      self.Unplug(i);
    } else {
      std::string error;
      if (!self.PlugIn(i, error)) std::fprintf(stderr, "kvx-usb-emulator: %s\n", error.c_str());
    }
  }
  return G_SOURCE_REMOVE;
}

int Emulator::Run(const std::vector<std::string>& command, std::string& error) {
  std::vector<gchar*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<gchar*>(word.c_str()));
  argv.push_back(nullptr);
  // The command inherits the preload library (the emulator runs with it) and
  // UMOCKDEV_DIR, which the testbed set: so /sys, /dev and the usbdevfs
  // ioctls of the command go to the testbed.
  gchar** env = g_get_environ();
  if (control_) env = g_environ_setenv(env, CONTROL_ENV, control_->path().c_str(), TRUE);
  GError* gerror = nullptr;
  const auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                              G_SPAWN_CHILD_INHERITS_STDIN);
  const bool spawned = g_spawn_async(nullptr, argv.data(), env, flags, nullptr, nullptr, &child_, &gerror);
  g_strfreev(env);
  if (!spawned) {
    error = gerror != nullptr ? gerror->message : "cannot start the command";
    if (gerror != nullptr) g_error_free(gerror);
    return -1;
  }
  loop_ = g_main_loop_new(nullptr, FALSE);
  g_child_watch_add(
      child_,
      [](GPid, gint status, gpointer data) {
        auto& self = *static_cast<Emulator*>(data);
        self.status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        g_main_loop_quit(self.loop_);
      },
      this);
  // A stop request for the emulator is meant for the command: pass it on and
  // keep serving its strips until it has exited.
  forwards_ = {Forward{this, SIGTERM}, Forward{this, SIGINT}, Forward{this, SIGHUP}};
  for (Forward& forward : forwards_) {
    g_unix_signal_add(
        forward.signal,
        [](gpointer data) -> gboolean {
          const auto* f = static_cast<const Forward*>(data);
          kill(f->emulator->child_, f->signal);
          return G_SOURCE_CONTINUE;
        },
        &forward);
  }
  g_main_loop_run(loop_);
  g_spawn_close_pid(child_);
  return status_;
}

}  // namespace kvx::usbemu
