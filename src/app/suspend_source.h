// Where the notice that the system is about to suspend comes from. On Linux
// it is systemd-logind (LogindSleepWatcher, built with Qt); a build without Qt
// or a machine without a system bus runs without one.
#pragma once

#include <functional>
#include <string>

namespace kvx {

class SuspendSource {
 public:
  virtual ~SuspendSource() = default;
  // Starts watching; `onSuspend` runs on the caller's thread (from Poll or the
  // event loop) before the system sleeps. False with `whyNot` when there is
  // nothing to watch; the client then runs without the notice.
  virtual bool Start(std::function<void()> onSuspend, std::string& whyNot) = 0;
  // Delivers pending notices (for a caller without a Qt event loop).
  virtual void Poll() = 0;
  // Whether notices come only through Poll; false when they come on a
  // thread of the source's own, so the caller need not look for them.
  virtual bool NeedsPoll() const { return true; }
  // No notice comes after this returns (the receiver of `onSuspend` may go).
  virtual void Stop() {}
};

}  // namespace kvx
