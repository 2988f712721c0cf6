#include "app/device_recount.h"

namespace kvx {

DeviceRecount::DeviceRecount(device::DeviceAccess& device, PostToOwner post, Apply apply)
    : device_(device), post_(std::move(post)), shared_(std::make_shared<Shared>()) {
  shared_->apply = std::move(apply);
}

DeviceRecount::~DeviceRecount() { Stop(); }

void DeviceRecount::Request() {
  std::lock_guard lock(shared_->mutex);
  if (shared_->stopped) return;
  shared_->pending = true;
  if (shared_->busy) return;  // the pass under way, or its apply, starts the next one
  shared_->busy = worker_.Post([this] { Pass(); });
}

void DeviceRecount::Stop() {
  {
    // Taken also by an apply on the owner's thread: once stopped is set, no
    // apply runs and none is running.
    std::lock_guard lock(shared_->mutex);
    shared_->stopped = true;
  }
  worker_.Stop();
}

int DeviceRecount::passes() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->passes;
}

bool DeviceRecount::idle() const {
  std::lock_guard lock(shared_->mutex);
  return !shared_->busy && !shared_->pending;
}

void DeviceRecount::Pass() {
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->stopped) return;
    shared_->pending = false;  // events from now on are for the next pass
  }
  // The list is enumerated anew and applied when it differs from the one
  // installed: a count alone misses a swap (one strip arrives as another
  // leaves), after which the tree would list a strip that is gone and not the
  // one that came. Not under deviceLock, so a connection is not held up.
  auto list = std::make_shared<device::DeviceList>();
  const int count = device_.Discover(*list);
  const std::shared_ptr<const device::DeviceList> installed = device_.List();
  if (count == device_.deviceCount() && installed && *installed == *list) {
    Finish();
    return;
  }
  ApplyOnOwner(DeviceListUpdate{std::move(list), count});
}

void DeviceRecount::ApplyOnOwner(DeviceListUpdate update) {
  post_([this, shared = shared_, update = std::move(update)] {
    std::lock_guard lock(shared->mutex);
    if (shared->stopped) return;  // `this` may be gone; nothing of it is used
    shared->apply(update);
    FinishLocked();
  });
}

void DeviceRecount::Finish() {
  std::lock_guard lock(shared_->mutex);
  if (!shared_->stopped) FinishLocked();
}

void DeviceRecount::FinishLocked() {
  ++shared_->passes;
  if (shared_->pending) shared_->busy = worker_.Post([this] { Pass(); });
  else shared_->busy = false;
}

}  // namespace kvx
