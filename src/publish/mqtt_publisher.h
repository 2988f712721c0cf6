// Home Assistant over MQTT (libmosquitto, its own network thread): for the
// strip of the current connection, retained discovery configs under
// "homeassistant/" (each outlet's power or current, whichever the strip
// measures; each outlet's energy from the ledger; voltage, frequency,
// temperature; the on/off state), one device per strip, a state message on
// "kvx/<serial>/state" every interval (never per reading) and the
// availability "kvx/<serial>/availability": "online" only while readings
// arrive, "offline" during a gap and, as the last will, when the process
// ends. Reconnects with a growing delay and sends discovery again after each
// connect. A broker that is slow, down or gone costs at most a dropped
// update: publishing only queues for the network thread.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "publish/live_values.h"

struct mosquitto;

namespace kvx::publish {

struct MqttOptions {
  std::string url;           // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; empty: none
  std::string user;          // --mqtt-user
  std::string passwordFile;  // --mqtt-password-file: its first line is the password
  std::string caFile;        // --mqtt-ca (mqtts: else the system's certificates)
  int intervalS = 10;        // --mqtt-interval
};

// The ledger's energy per outlet in Wh, for a strip (none: no ledger yet).
using EnergySource = std::function<std::optional<std::array<double, 4>>(std::uint32_t serial)>;

// The discovery configs of a strip as (topic, JSON) pairs; the quantity the
// strip measures decides which of power and current is announced (the other
// gets an empty payload, which removes it).
std::vector<std::pair<std::string, std::string>> DiscoveryMessages(const LiveState& state);
// The state message's JSON (values as the CSV records hold them).
std::string StateMessage(const LiveState& state, const std::optional<std::array<double, 4>>& energyWh);
std::string TopicOf(std::uint32_t serial, const std::string& leaf);

class MqttPublisher {
 public:
  MqttPublisher(MqttOptions options, const LiveValues& live, EnergySource energy);
  ~MqttPublisher();  // Stop()
  MqttPublisher(const MqttPublisher&) = delete;
  MqttPublisher& operator=(const MqttPublisher&) = delete;

  // Checks the options (the URL, the password file, the CA file) and starts
  // the thread; the broker is connected to once a strip is known. False with
  // `error` for options it cannot use.
  bool Start(std::string& error);
  // Says "offline", disconnects, ends the threads. Idempotent.
  void Stop();
  std::uint64_t statesPublished() const;

 private:
  void Run();
  void Connect(const LiveState& state);
  void OnConnected();
  void Publish(const std::string& topic, const std::string& payload, bool retain);

  const MqttOptions options_;
  const LiveValues& live_;
  const EnergySource energy_;
  std::string host_, password_;
  int port_ = 1883;
  bool tls_ = false;
  mosquitto* client_ = nullptr;
  std::uint32_t serial_ = 0;  // the strip the connection's will is for
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool connected_ = false;
  bool announce_ = false;     // discovery is due (after each connect)
  std::string availability_;  // what was said last ("online", "offline")
  bool announcedPower_ = false, announcedAny_ = false;
  std::uint64_t states_ = 0;
  std::thread thread_;
};

}  // namespace kvx::publish
