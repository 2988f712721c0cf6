#include "publish/publishers.h"

#include "publish/nut_file.h"

namespace kvx::publish {

Publishers::Publishers(PublishOptions options) : options_(std::move(options)) {}

Publishers::~Publishers() { Stop(); }

bool Publishers::Start(std::string& error) {
  if (!options_.nutFile.empty()) {
    nut_ = std::make_unique<NutFileWriter>(options_.nutFile, live_);
    if (!nut_->Start(error)) {
      nut_.reset();
      return false;
    }
  }
  if (!options_.mqtt.url.empty()) {
    mqtt_ = std::make_unique<MqttPublisher>(options_.mqtt, live_, energy_);
    if (!mqtt_->Start(error)) {
      mqtt_.reset();
      return false;
    }
  }
  return true;
}

void Publishers::Stop() {
  if (mqtt_) mqtt_->Stop();
  if (nut_) nut_->Stop();
}

}  // namespace kvx::publish
