// The last resort against a page that cannot end: when the main thread has not finished by the
// time set (a call into the library that never returns, a script that catches its own
// interruption forever), the watchdog writes its message to standard error and ends the process
// at once with _exit(status), without running anything of the library or of the process's exit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace host {

class watchdog {
 public:
  typedef std::chrono::steady_clock clock;

  explicit watchdog(int status);
  // Stops the watch.
  ~watchdog();
  watchdog(const watchdog&) = delete;
  watchdog& operator=(const watchdog&) = delete;

  // (Re)sets the time and the message.
  void arm(clock::time_point when, const std::string& message);

 private:
  void watch();

  const int m_status;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  clock::time_point m_when = clock::time_point::max();
  std::string m_message;
  bool m_stop = false;
  std::thread m_thread;
};

}  // namespace host
