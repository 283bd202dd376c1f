#include "host/core/watchdog.h"

#include <unistd.h>

namespace host {

watchdog::watchdog(int status) : m_status(status), m_thread(&watchdog::watch, this) {}

watchdog::~watchdog() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_changed.notify_all();
  m_thread.join();
}

void watchdog::arm(clock::time_point when, const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_when = when;
    m_message = message;
  }
  m_changed.notify_all();
}

void watchdog::watch() {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    if (m_stop) {
      return;
    }
    if (clock::now() >= m_when) {
      const std::string line = m_message + "\n";
      // write(2) only: the process may be in any state.
      ssize_t ignored = ::write(2, line.data(), line.size());
      (void)ignored;
      _exit(m_status);
    }
    if (m_when == clock::time_point::max()) {
      m_changed.wait(lock);
    } else {
      m_changed.wait_until(lock, m_when);
    }
  }
}

}  // namespace host
