// The usbdevfs side of one emulated strip, for as long as it stays plugged in:
// umockdev forwards every ioctl on its /dev node here (on umockdev's own
// thread), and the answers come from the simulated strip's model in a
// SimDriver.
//
// - Control URBs are IOCTL_STRIP_CONTROL_TRANSFER calls with the URB's setup
//   packet, answered one after another by a control thread (endpoint 0 takes
//   one request at a time), so that a slow or hanging reply of the scenario
//   holds only that strip's requests and never umockdev's thread. They count
//   as calls on the pipe while interface 0 is claimed (the client claims it
//   only while a pipe handle is open) and as calls on the interface path
//   otherwise. A refused request completes with -EPIPE, as a stalled endpoint
//   0 does; a discarded one (the client's time-out) with -ENOENT, and the
//   simulated strip's call is withdrawn with it.
// - IN URBs on the data endpoint wait in order; a pump thread takes the
//   strip's paced readings (SimDriver::Read) while at least one waits and
//   completes the oldest with each. Held (Hold), it passes on only the
//   readings that Offer allows, one each. The first IN URB arms the pipe
//   (SET_EVENT); when the last one is discarded the pipe is stopped (STOP).
//   A reading the pump fetched while an outlet or quantity selection was
//   answered is dropped, so a selection's URB always completes before any
//   reading that could be of the old selection.
// - Unplugged: waiting URBs complete with -ESHUTDOWN, later submits fail
//   with ENODEV.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <umockdev.h>

#include "device/sim/sim_driver.h"

namespace kvx::usbemu {

class EmulatedDevice {
 public:
  EmulatedDevice(sim::SimDriver& sim, std::size_t strip, std::string devnode);
  ~EmulatedDevice();
  EmulatedDevice(const EmulatedDevice&) = delete;
  EmulatedDevice& operator=(const EmulatedDevice&) = delete;

  // Attaches the ioctl handler to the device's node in the testbed.
  bool Attach(UMockdevTestbed* testbed, std::string& error);
  // The strip left the bus: fail what waits, refuse what comes.
  void Unplugged();
  // Readings pass only when offered: each Offer lets one through.
  void Hold();
  void Offer();
  // Control requests submitted and not yet completed or discarded.
  int PendingControls();

  std::size_t strip() const { return strip_; }

 private:
  struct Urb {
    UMockdevIoctlData* urb = nullptr;     // the client's usbdevfs_urb (a reference we own)
    UMockdevIoctlData* buffer = nullptr;  // its data buffer (owned by `urb`)
    std::uint64_t address = 0;            // the URB's address in the client
    int status = 0;
    std::vector<std::uint8_t> data;       // bytes to hand back (IN)
    std::size_t offset = 0;               // where they go in the buffer
  };

  static gboolean OnIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
  gboolean HandleIoctl(UMockdevIoctlClient* client);
  void Submit(UMockdevIoctlClient* client);
  void SubmitControl(Urb urb);
  void Reap(UMockdevIoctlClient* client);
  void Discard(UMockdevIoctlClient* client);
  void ClaimChanged(bool claimed);
  void Pump();
  void AnswerControls();
  // Completes the URB at `address` as discarded (-ENOENT) if `queue` holds it.
  bool DiscardQueuedLocked(std::deque<Urb>& queue, std::uint64_t address);
  bool DiscardControlLocked(std::uint64_t address);
  void CompleteLocked(Urb urb);
  static void Release(Urb& urb);

  sim::SimDriver& sim_;
  const std::size_t strip_;
  const std::string devnode_;
  UMockdevIoctlBase* handler_ = nullptr;

  device::Handle pipe_ = device::INVALID_HANDLE_VALUE;

  std::mutex mutex_;
  std::condition_variable pumpCv_;
  bool present_ = true;
  bool claimed_ = false;
  bool armed_ = false;
  bool stop_ = false;
  std::deque<Urb> waiting_;    // IN URBs in submission order
  std::deque<Urb> completed_;  // ready to be reaped, in completion order
  bool held_ = false;
  int offered_ = 0;            // readings a held strip may still pass on
  std::uint64_t selects_ = 0;  // selections answered: a reading fetched across one is dropped
  std::condition_variable controlCv_;
  std::deque<Urb> controls_;   // control URBs not yet taken by the control thread
  std::optional<Urb> answering_;  // the one the control thread waits on
  device::Handle answeringHandle_ = device::INVALID_HANDLE_VALUE;  // its own SimDriver handle
  std::thread pump_;
  std::thread controlThread_;
};

}  // namespace kvx::usbemu
