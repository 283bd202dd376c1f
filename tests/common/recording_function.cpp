#include "common/recording_function.h"

#include <atomic>

namespace vocle {
namespace testkit {

std::uint64_t next_sequence() {
  static std::atomic<std::uint64_t> counter{0};
  return ++counter;
}

FB::variant recording_function::call(const FB::VariantList& args) {
  record(args, false);
  return FB::variant();
}

void recording_function::call_async(const FB::VariantList& args) {
  record(args, true);
}

void recording_function::record(const FB::VariantList& args, bool async) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deliveries.push_back(delivery{args, async, next_sequence()});
  }
  m_arrived.notify_all();
}

std::vector<recording_function::delivery> recording_function::deliveries() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_deliveries;
}

std::vector<FB::VariantList> recording_function::lists() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<FB::VariantList> result;
  for (const delivery& d : m_deliveries) {
    if (d.async) {
      result.push_back(d.args);
    }
  }
  return result;
}

std::size_t recording_function::count() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_deliveries.size();
}

bool recording_function::wait_for(std::size_t n, std::chrono::milliseconds deadline) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_arrived.wait_for(lock, deadline, [&] { return m_deliveries.size() >= n; });
}

}  // namespace testkit
}  // namespace vocle
