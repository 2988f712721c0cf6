// The publishers a run was asked for (--nut-file, --mqtt): one listener of
// the acquisition events (LiveValues) and a thread of their own each, so a
// slow disk, a broker that is down or a reader that is gone costs at most a
// dropped update, never a reading or a record.
#pragma once

#include <memory>
#include <string>

#include "publish/live_values.h"
#include "publish/mqtt_publisher.h"

namespace kvx::publish {

class NutFileWriter;

struct PublishOptions {
  std::string nutFile;  // --nut-file=FILE.dev; empty: none
  MqttOptions mqtt;     // --mqtt and its options; url empty: none
};

class Publishers {
 public:
  explicit Publishers(PublishOptions options);
  ~Publishers();  // Stop()

  bool any() const { return !options_.nutFile.empty() || !options_.mqtt.url.empty(); }
  // Where the state messages take each outlet's energy from (the ledger); before Start.
  void SetEnergySource(EnergySource energy) { energy_ = std::move(energy); }
  // The listener to register with the client before its thread starts.
  AcquisitionListener& listener() { return live_; }
  // Starts each publisher; false with `error` when one cannot (the file's
  // directory is not writable, ...): the run should not start then.
  bool Start(std::string& error);
  // Ends them (the NUT file then says the client stopped). Idempotent.
  void Stop();

 private:
  const PublishOptions options_;
  LiveValues live_;
  EnergySource energy_;
  std::unique_ptr<NutFileWriter> nut_;
  std::unique_ptr<MqttPublisher> mqtt_;
};

}  // namespace kvx::publish
