#include <limits>

#include "core/foundation/log.h"
#include "core/studio/studio.h"
#include "core/studio/task.h"

namespace vocle {
namespace audio {

studio::task* studio::create_task(std::int32_t timeout) {
  if (timeout < 0) {
    // The page can set any 64-bit time-out; one beyond the task's range is as good as endless,
    // so it is held at the largest, never wrapped into a short or a negative one.
    const std::uint64_t studio_timeout = m_upload_timeout.load();
    const std::uint64_t largest = std::numeric_limits<std::int32_t>::max();
    timeout = static_cast<std::int32_t>(studio_timeout < largest ? studio_timeout : largest);
  }
  boost::mutex::scoped_lock lock(m_tasks->mutex);
  task* created = new task(m_tasks->next_id, timeout, m_tasks);
  ++m_tasks->next_id;
  m_tasks->tasks[created->id()] = created;
  return created;
}

bool studio::cancel_upload(std::int32_t id) {
  boost::mutex::scoped_lock lock(m_tasks->mutex);
  if (id < 0) {
    for (const auto& entry : m_tasks->tasks) {
      if (entry.second->exchange_status(task::task_posting, task::task_cancel_requested)) {
        VOCLE_LOG_ERROR("task(%1%) canceling", entry.first);
      }
    }
    return true;
  }
  auto found = m_tasks->tasks.find(id);
  if (found == m_tasks->tasks.end()) {
    VOCLE_LOG_ERROR("no task(%1%)", id);
    return false;
  }
  task* t = found->second;
  // The task's lock is taken inside each step; a refusal names a status that was really seen,
  // and a task that turned to uploading between the two steps is tried again.
  for (;;) {
    if (t->exchange_status(task::task_posting, task::task_cancel_requested)) {
      VOCLE_LOG_ERROR("task(%1%) canceling", id);
      return true;
    }
    const std::uint32_t status = t->status();
    if (status != task::task_posting) {
      VOCLE_LOG_ERROR("invalid task(%1%) status(%2%)", id, status);
      return false;
    }
  }
}

}  // namespace audio
}  // namespace vocle
