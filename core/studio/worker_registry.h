// Every worker thread of the process: the recordings, playbacks, stops, loads, saves and uploads
// that the studios start. Nothing in a page waits for them (a page's call returns as soon as its
// worker is started), but the process keeps each worker's thread, so that the end of the process
// can make them stop and wait until none of them runs any code of the library any more.
//
// A group counts something about some workers besides: a studio counts its running streams in
// one, so that a closing page can wait for them to stop. Places in a group are held by shared
// pointer, and the process's own count is never destroyed, so a worker that ends after whatever
// started it still counts itself down safely. A worker leaves the process's count only once
// everything its work held has been released.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>

namespace vocle {
namespace audio {

class worker_registry : private boost::noncopyable {
 public:
  class group : private boost::noncopyable {
   public:
    // True once no place of the group is held; false when the deadline came first.
    bool wait_until(std::chrono::steady_clock::time_point deadline);

   private:
    friend class worker_registry;
    void enter();
    void leave();

    std::mutex m_mutex;
    std::condition_variable m_idle;
    std::size_t m_held = 0;
  };
  typedef boost::shared_ptr<group> group_ptr;

  // A place in a group: held from its making until give_up, or at the latest its destruction.
  class place : private boost::noncopyable {
   public:
    explicit place(const group_ptr& in_group);
    ~place();
    void give_up();

   private:
    const group_ptr m_group;
    std::atomic<bool> m_held;
  };
  typedef boost::shared_ptr<place> place_ptr;

  // Runs the work on a thread of its own, counted in the process. boost::thread_resource_error
  // passes to the caller when no thread can be started: the work then never runs and nothing
  // stays counted. An exception that leaves the work is logged and ends only the work.
  static void start(boost::function<void()> work);

  // Changes each time the process ends its workers (end_all). A worker compares it with the
  // value it read at its start to learn that it must end.
  static std::uint64_t generation();

  // The end of the process: raises the generation, waits until no worker runs or the deadline
  // has passed, and joins every thread whose work has ended. True when none runs any more.
  // Workers started meanwhile or afterwards run as any other.
  static bool end_all(std::chrono::steady_clock::time_point deadline);
};

}  // namespace audio
}  // namespace vocle
