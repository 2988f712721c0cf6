// The recount and rebuild of the device list on arrival and removal, done off
// the thread that owns the window: a worker enumerates the strips and, when
// the list differs from the one installed, the owner's thread applies it
// (tree nodes deleted, panels hidden, list swapped in, nodes added). One pass
// at a time, the apply included; the events of a burst that arrive during a
// pass cost one more pass, not one each.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "app/job_thread.h"
#include "device/device_access.h"

namespace kvx {

// A new device list, enumerated by the worker, for the owner's thread to install.
struct DeviceListUpdate {
  std::shared_ptr<const device::DeviceList> list;
  int count = 0;  // the count of the enumeration made last
};

class DeviceRecount {
 public:
  // Hands a job to the owner's thread (the window's event loop, the headless
  // main loop), from the worker; it must not run the job in the call.
  using PostToOwner = std::function<void(std::function<void()>)>;
  // Runs on the owner's thread with each new list.
  using Apply = std::function<void(const DeviceListUpdate&)>;

  DeviceRecount(device::DeviceAccess& device, PostToOwner post, Apply apply);
  ~DeviceRecount();  // Stop()

  DeviceRecount(const DeviceRecount&) = delete;
  DeviceRecount& operator=(const DeviceRecount&) = delete;

  // An arrival or removal (any thread, also the driver's): never waits for
  // the device.
  void Request();
  // Waits for an enumeration in flight; afterwards no pass starts and no
  // update is applied, even one already handed to the owner. Idempotent.
  void Stop();

  // Passes finished so far (each counted the strips once; a new list's
  // apply is part of its pass).
  int passes() const;
  // No pass queued, running or being applied, and no event waiting for one.
  bool idle() const;

 private:
  // Shared with the jobs handed to the owner, which may run (and do nothing)
  // after this object is gone.
  struct Shared {
    std::mutex mutex;
    bool stopped = false;
    bool pending = false;  // an event that no pass has begun to handle yet
    bool busy = false;     // a pass is queued, running, or its update being applied
    int passes = 0;  // finished
    Apply apply;
  };

  void Pass();                                 // worker
  void ApplyOnOwner(DeviceListUpdate update);  // worker: hands the update over
  // A pass is done: the next one starts if an event came during it.
  void Finish();
  void FinishLocked();  // with shared_->mutex held and not stopped

  device::DeviceAccess& device_;
  PostToOwner post_;
  std::shared_ptr<Shared> shared_;
  JobThread worker_;
};

}  // namespace kvx
