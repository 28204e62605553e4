// Work that a thread runs inside its own waits, in the spirit of an alertable wait: while a
// thread waits (WaitForMultipleObjects and the waits built on it), the wait also polls its
// driver's descriptors and stops at its timer, lets the driver run what became due, and goes
// on waiting for its objects.
//
// Threads: a driver belongs to the thread that installed it and runs only inside that thread's
// waits. It never runs inside itself: a wait made by its own work waits without it.
#ifndef ZVNET_PLATFORM_WIN32_WAITDRIVER_LINUX_H_
#define ZVNET_PLATFORM_WIN32_WAITDRIVER_LINUX_H_

#include <poll.h>

#include <span>

class CWaitDriver {
 public:
  virtual ~CWaitDriver() = default;

  // Installs `driver` as the calling thread's (null removes it).
  static void Install(CWaitDriver* driver);
  // The calling thread's driver; null when there is none or it is running now.
  static CWaitDriver* Current();

  // The descriptors to poll and their events; valid until the driver runs next.
  virtual std::span<const pollfd> Fds() const = 0;
  // How long a wait may block before the driver has work due; -1 for no limit.
  virtual int TimeoutMs() const = 0;
  // Runs what is due: `fds` are Fds() as the poll returned them (empty when not polled).
  // Marks the driver running meanwhile.
  void Run(std::span<const pollfd> fds);

 protected:
  virtual void RunDue(std::span<const pollfd> fds) = 0;
};

#endif  // ZVNET_PLATFORM_WIN32_WAITDRIVER_LINUX_H_
