#include "core/studio/task.h"

#include <atomic>

namespace vocle {
namespace audio {
namespace {

std::atomic<std::uint64_t> cancel_rounds{0};

}  // namespace

studio::task::task(std::int32_t id, std::int32_t timeout, const task_table_ptr& table)
    : m_id(id),
      m_status(task_created),
      m_table(table),
      m_timeout(timeout),
      m_cancel_round(cancel_rounds.load()) {}

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

void studio::task::cancel_all() {
  ++cancel_rounds;
}

bool studio::task::cancelled_by_all() const {
  return cancel_rounds.load() != m_cancel_round;
}

bool studio::task::cancel_due() {
  boost::mutex::scoped_lock lock(m_mutex);
  if (m_status == task_cancel_requested || cancelled_by_all()) {
    m_status = task_canceled;
    return true;
  }
  return false;
}

}  // namespace audio
}  // namespace vocle
