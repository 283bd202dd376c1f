// One upload: its id, its time-out and the status that the studio, the upload worker and the
// transfer hand to each other. The upload owns it; the request factory's post destroys it when
// the transfer has ended, and the destructor takes it out of its studio's table.
#pragma once

#include <cstdint>

#include <boost/noncopyable.hpp>
#include <boost/thread/mutex.hpp>

#include "core/studio/studio.h"

namespace vocle {
namespace audio {

class studio::task : private boost::noncopyable {
 public:
  enum status_t : std::uint32_t {
    task_created = 0,
    task_posting = 1,
    task_cancel_requested = 2,
    task_canceled = 3,
    task_done = 4,
  };

  // A task outside any table (table empty) removes nothing when it ends.
  task(std::int32_t id, std::int32_t timeout, const task_table_ptr& table);
  ~task();

  std::int32_t id() const { return m_id; }
  std::int32_t timeout() const { return m_timeout; }

  // Every read and write of the status takes the task's lock.
  std::uint32_t status() const;
  void set_status(std::uint32_t status);
  // Sets desired only when the status is expected; true when it did.
  bool exchange_status(std::uint32_t expected, std::uint32_t desired);

  // The end of the process: every task made before this call counts as cancelled from now on,
  // whatever its status, also one whose upload has not begun or waits for its transfer. Tasks
  // made afterwards are not touched.
  static void cancel_all();
  // Whether cancel_all came after this task was made.
  bool cancelled_by_all() const;
  // For the transfer, at each progress report: true when it must stop now, a cancel having been
  // asked for (the status turns from 2 to 3) or every transfer having been cancelled (the status
  // turns to 3).
  bool cancel_due();

  // Guards m_status; taken after the table's lock, never before it.
  mutable boost::mutex m_mutex;

 private:
  const std::int32_t m_id;
  std::uint32_t m_status;
  const task_table_ptr m_table;
  const std::int32_t m_timeout;
  // The count of cancel_all calls when the task was made.
  const std::uint64_t m_cancel_round;
};

}  // namespace audio
}  // namespace vocle
