// The controller behind every script call: the audio parameters, the numbered record slots, the
// upload tasks, and the workers that record, play, stop, save, load and upload.
#pragma once

#include <cstdint>
#include <map>

#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>

namespace vocle {
namespace audio {

class studio : private boost::noncopyable {
 public:
  class task;

  // The upload tasks of one studio and their lock. Tasks hold it by shared pointer: an upload
  // that outlives its studio still removes itself from a live table.
  struct task_table {
    boost::mutex mutex;
    std::int32_t next_id = 0;
    std::map<std::int32_t, task*> tasks;
  };
  typedef boost::shared_ptr<task_table> task_table_ptr;

  // Uploads: a task per upload, created on the page's thread; its id names it for cancel_upload.
  // A negative timeout means the studio's upload time-out.
  task* create_task(std::int32_t timeout);
  // Marks one uploading task (id >= 0) or every uploading task (id < 0) for cancellation.
  bool cancel_upload(std::int32_t id);

 private:
  task_table_ptr m_tasks;
};

}  // namespace audio
}  // namespace vocle
