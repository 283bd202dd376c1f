#include "core/studio/task.h"

namespace vocle {
namespace audio {

studio::task::task(std::int32_t id, std::int32_t timeout, const task_table_ptr& table)
    : m_id(id), m_status(task_created), m_table(table), m_timeout(timeout) {}

studio::task::~task() {
  if (m_table) {
    boost::mutex::scoped_lock lock(m_table->mutex);
    auto it = m_table->tasks.find(m_id);
    if (it != m_table->tasks.end() && it->second == this) {
      m_table->tasks.erase(it);
    }
  }
}

std::uint32_t studio::task::status() const {
  boost::mutex::scoped_lock lock(m_mutex);
  return m_status;
}

void studio::task::set_status(std::uint32_t status) {
  boost::mutex::scoped_lock lock(m_mutex);
  m_status = status;
}

bool studio::task::exchange_status(std::uint32_t expected, std::uint32_t desired) {
  boost::mutex::scoped_lock lock(m_mutex);
  if (m_status != expected) {
    return false;
  }
  m_status = desired;
  return true;
}

}  // namespace audio
}  // namespace vocle
