#include "publish/mqtt_publisher.h"

#include <mosquitto.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "acquisition/outlet_names.h"
#include "device/printable_text.h"
#include "device/protocol.h"

namespace kvx::publish {

namespace {

using SteadyClock = std::chrono::steady_clock;

// A number as JSON, with at most `decimals` decimals and no trailing zeros.
std::string Number(double value, int decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, std::isfinite(value) ? value : 0.0);
  std::string out = text;
  if (out.find('.') != std::string::npos) {
    while (out.back() == '0') out.pop_back();
    if (out.back() == '.') out.pop_back();
  }
  return out == "-0" ? "0" : out;
}

// The members of a JSON object, each "\"key\":value", in order.
class Object {
 public:
  Object& Text(const std::string& key, const std::string& value) { return Raw(key, JsonString(value)); }
  Object& Value(const std::string& key, double value, int decimals) { return Raw(key, Number(value, decimals)); }
  Object& Raw(const std::string& key, const std::string& json) {
    text_ += (text_.empty() ? "" : ",") + JsonString(key) + ":" + json;
    return *this;
  }
  std::string Json() const { return "{" + text_ + "}"; }

 private:
  std::string text_;
};

// One sensor's discovery config.
Object Sensor(const LiveState& state, const std::string& key, const std::string& name, const char* deviceClass,
              const char* stateClass, const char* unit) {
  const std::string node = "kvx_" + protocol::FormatSerialText(state.identity.connectionSerial);
  Object device;
  device.Raw("identifiers", "[" + JsonString(node) + "]")
      .Text("manufacturer", "KVX")
      .Text("model", "KVX metering power strip")
      .Text("name", "KVX strip " + protocol::FormatSerialText(state.identity.connectionSerial))
      .Text("serial_number", protocol::FormatSerialText(state.identity.connectionSerial))
      .Text("sw_version", state.identity.firmwareText);
  Object config;
  config.Text("availability_topic", TopicOf(state.identity.connectionSerial, "availability"))
      .Raw("device", device.Json());
  if (deviceClass) config.Text("device_class", deviceClass);
  config.Text("name", name);
  if (stateClass) config.Text("state_class", stateClass);
  config.Text("state_topic", TopicOf(state.identity.connectionSerial, "state")).Text("unique_id", node + "_" + key);
  if (unit) config.Text("unit_of_measurement", unit);
  config.Text("value_template", "{{ value_json." + key + " }}");
  return config;
}

}  // namespace

std::string TopicOf(std::uint32_t serial, const std::string& leaf) {
  return "kvx/" + protocol::FormatSerialText(serial) + "/" + leaf;
}

std::vector<std::pair<std::string, std::string>> DiscoveryMessages(const LiveState& state) {
  const std::string node = "kvx_" + protocol::FormatSerialText(state.identity.connectionSerial);
  const std::string sensors = "homeassistant/sensor/" + node + "/";
  std::vector<std::pair<std::string, std::string>> messages;
  for (int outlet = 1; outlet <= 4; ++outlet) {
    const std::string n = std::to_string(outlet);
    const std::string label = OutletNameOr(state.identity.outletNames, outlet, "Outlet " + n);
    // The quantity measured is announced; the other one's config is emptied (removed).
    messages.emplace_back(
        sensors + "power_" + n + "/config",
        state.power ? Sensor(state, "power_" + n, label + " power", "power", "measurement", "W").Json() : "");
    messages.emplace_back(
        sensors + "current_" + n + "/config",
        state.power ? "" : Sensor(state, "current_" + n, label + " current", "current", "measurement", "mA").Json());
    messages.emplace_back(sensors + "energy_" + n + "/config",
                          Sensor(state, "energy_" + n, label + " energy", "energy", "total_increasing", "Wh").Json());
  }
  messages.emplace_back(sensors + "voltage/config",
                        Sensor(state, "voltage", "Supply voltage", "voltage", "measurement", "V").Json());
  messages.emplace_back(sensors + "frequency/config",
                        Sensor(state, "frequency", "Mains frequency", "frequency", "measurement", "Hz").Json());
  messages.emplace_back(
      sensors + "temperature/config",
      Sensor(state, "temperature", "Internal temperature", "temperature", "measurement", "\u00B0C").Json());
  Object on = Sensor(state, "on", "Outlets on", "power", nullptr, nullptr);
  on.Text("payload_off", "OFF").Text("payload_on", "ON");
  messages.emplace_back("homeassistant/binary_sensor/" + node + "/on/config", on.Json());
  return messages;
}

std::string StateMessage(const LiveState& state, const std::optional<std::array<double, 4>>& energyWh) {
  Object message;
  if (energyWh)
    for (std::size_t k = 0; k < 4; ++k) message.Value("energy_" + std::to_string(k + 1), (*energyWh)[k], 3);
  message.Value("frequency", state.line.lineFrequencyHz, 2).Text("on", state.isOn ? "ON" : "OFF");
  // As the CSV records hold them: whole W, or whole mA.
  for (std::size_t k = 0; k < 4; ++k)
    message.Value((state.power ? "power_" : "current_") + std::to_string(k + 1), state.values[k], 0);
  message.Value("temperature", state.line.temperatureC, 2).Value("voltage", state.line.supplyVolts, 0);
  return message.Json();
}

MqttPublisher::MqttPublisher(MqttOptions options, const LiveValues& live, EnergySource energy)
    : options_(std::move(options)), live_(live), energy_(std::move(energy)) {}

MqttPublisher::~MqttPublisher() { Stop(); }

bool MqttPublisher::Start(std::string& error) {
  std::string rest;
  if (options_.url.rfind("mqtt://", 0) == 0) {
    rest = options_.url.substr(7);
  } else if (options_.url.rfind("mqtts://", 0) == 0) {
    rest = options_.url.substr(8);
    tls_ = true;
    port_ = 8883;
  } else {
    error = "--mqtt needs mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not " + options_.url;
    return false;
  }
  if (rest.find('@') != std::string::npos || rest.find('/') != std::string::npos) {
    error = "--mqtt takes no user, password or path in its URL: use --mqtt-user and --mqtt-password-file";
    return false;
  }
  const std::size_t close = rest.rfind(']');
  const std::size_t colon = rest.rfind(':');
  if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
    char* end = nullptr;
    const long port = std::strtol(rest.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port < 1 || port > 65535) {
      error = "--mqtt: the port of " + options_.url + " is not 1 to 65535";
      return false;
    }
    port_ = static_cast<int>(port);
    rest.resize(colon);
  }
  if (rest.size() > 2 && rest.front() == '[' && rest.back() == ']') rest = rest.substr(1, rest.size() - 2);
  host_ = rest;
  if (host_.empty()) {
    error = "--mqtt: no host in " + options_.url;
    return false;
  }
  if (!options_.passwordFile.empty()) {
    std::ifstream in(options_.passwordFile);
    if (!in || !std::getline(in, password_)) {
      error = "--mqtt-password-file: cannot read " + options_.passwordFile;
      return false;
    }
    if (!password_.empty() && password_.back() == '\r') password_.pop_back();
  }
  if (!options_.caFile.empty() && !std::ifstream(options_.caFile)) {
    error = "--mqtt-ca: cannot read " + options_.caFile;
    return false;
  }
  static std::once_flag initialised;
  std::call_once(initialised, [] { mosquitto_lib_init(); });
  thread_ = std::thread([this] { Run(); });
  return true;
}

void MqttPublisher::Connect(const LiveState& state) {
  serial_ = state.identity.connectionSerial;
  client_ = mosquitto_new(("kvxclient-" + protocol::FormatSerialText(serial_)).c_str(), true, this);
  if (!client_) return;
  mosquitto_connect_callback_set(client_, [](mosquitto*, void* self, int rc) {
    if (rc == 0)
      static_cast<MqttPublisher*>(self)->OnConnected();
    else
      std::cerr << "kvxclient: the MQTT broker refused the connection: " << mosquitto_connack_string(rc) << '\n';
  });
  mosquitto_disconnect_callback_set(client_, [](mosquitto*, void* self, int) {
    auto* me = static_cast<MqttPublisher*>(self);
    std::lock_guard lock(me->mutex_);
    me->connected_ = false;
  });
  if (!options_.user.empty())
    mosquitto_username_pw_set(client_, options_.user.c_str(), password_.empty() ? nullptr : password_.c_str());
  if (tls_)
    mosquitto_tls_set(client_, options_.caFile.empty() ? nullptr : options_.caFile.c_str(),
                      options_.caFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
  const std::string will = TopicOf(serial_, "availability");
  mosquitto_will_set(client_, will.c_str(), 7, "offline", 1, true);
  mosquitto_reconnect_delay_set(client_, 1, 60, true);
  mosquitto_connect_async(client_, host_.c_str(), port_, 30);
  mosquitto_loop_start(client_);
}

void MqttPublisher::OnConnected() {
  {
    std::lock_guard lock(mutex_);
    connected_ = true;
    announce_ = true;
    availability_.clear();
  }
  wake_.notify_all();
}

void MqttPublisher::Publish(const std::string& topic, const std::string& payload, bool retain) {
  // Queued for the network thread; while there is no connection it is dropped.
  mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
}

void MqttPublisher::Run() {
  auto nextState = SteadyClock::now();
  std::unique_lock lock(mutex_);
  while (!stop_) {
    wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_ || announce_; });
    if (stop_) break;
    lock.unlock();
    const LiveState state = live_.Read();
    const auto now = SteadyClock::now();
    if (!client_ && state.identity.connectionSerial != 0) Connect(state);
    if (client_ && state.identity.connectionSerial != 0 && state.identity.connectionSerial != serial_) {
      // Another strip: the old one's entities go offline, the will follows the new one.
      Publish(TopicOf(serial_, "availability"), "offline", true);
      serial_ = state.identity.connectionSerial;
      const std::string will = TopicOf(serial_, "availability");
      mosquitto_will_set(client_, will.c_str(), 7, "offline", 1, true);
      mosquitto_reconnect_async(client_);
    }
    lock.lock();
    if (!connected_ || !client_) continue;
    const bool fresh = state.Fresh(now);
    const bool announce = announce_ || (state.haveReading && (!announcedAny_ || announcedPower_ != state.power));
    const std::string availability = fresh ? "online" : "offline";
    const bool say = availability != availability_;
    announce_ = false;
    availability_ = availability;
    lock.unlock();
    if (announce && state.haveReading) {
      for (const auto& [topic, payload] : DiscoveryMessages(state)) Publish(topic, payload, true);
      announcedAny_ = true;
      announcedPower_ = state.power;
    }
    if (say) Publish(TopicOf(serial_, "availability"), availability, true);
    if (fresh && now >= nextState) {
      Publish(TopicOf(serial_, "state"), StateMessage(state, energy_ ? energy_(serial_) : std::nullopt), false);
      nextState = now + std::chrono::seconds(options_.intervalS);
      lock.lock();
      ++states_;
      continue;
    }
    lock.lock();
  }
}

void MqttPublisher::Stop() {
  {
    std::lock_guard lock(mutex_);
    if (stop_) return;
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (!client_) return;
  bool connected = false;
  {
    std::lock_guard lock(mutex_);
    connected = connected_;
  }
  if (connected) {
    int mid = 0;
    mosquitto_publish(client_, &mid, TopicOf(serial_, "availability").c_str(), 7, "offline", 1, true);
    // A moment for the network thread to send it before the clean disconnect (which sends no will).
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, false);
  mosquitto_destroy(client_);
  client_ = nullptr;
}

std::uint64_t MqttPublisher::statesPublished() const {
  std::lock_guard lock(mutex_);
  return states_;
}

}  // namespace kvx::publish
