#include "core/studio/worker_registry.h"

#include <atomic>
#include <exception>
#include <map>
#include <utility>
#include <vector>

#include <boost/thread/thread.hpp>

#include "core/foundation/log.h"

namespace vocle {
namespace audio {
namespace {

struct registry {
  std::mutex mutex;
  std::condition_variable idle;
  std::size_t running = 0;
  std::uint64_t next_id = 0;
  // The threads not joined yet, by worker, and the workers whose work has ended.
  std::map<std::uint64_t, boost::thread> threads;
  std::vector<std::uint64_t> ended;
  std::atomic<std::uint64_t> generation{0};
};

// Never destroyed: a worker may still count itself down while the process's statics go.
registry& the_registry() {
  static registry* const r = new registry();
  return *r;
}

// Joins the threads whose work has ended; each has only its last instructions left to run.
void join_ended() {
  registry& r = the_registry();
  std::vector<boost::thread> threads;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    for (std::uint64_t id : r.ended) {
      auto it = r.threads.find(id);
      if (it != r.threads.end()) {
        threads.push_back(std::move(it->second));
        r.threads.erase(it);
      }
    }
    r.ended.clear();
  }
  for (boost::thread& t : threads) {
    t.join();
  }
}

}  // namespace

bool worker_registry::group::wait_until(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_idle.wait_until(lock, deadline, [this] { return m_held == 0; });
}

void worker_registry::group::enter() {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_held;
}

void worker_registry::group::leave() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (--m_held == 0) {
    m_idle.notify_all();
  }
}

worker_registry::place::place(const group_ptr& in_group) : m_group(in_group), m_held(true) {
  m_group->enter();
}

worker_registry::place::~place() {
  give_up();
}

void worker_registry::place::give_up() {
  if (m_held.exchange(false)) {
    m_group->leave();
  }
}

void worker_registry::start(boost::function<void()> work) {
  join_ended();
  registry& r = the_registry();
  // The registry's lock is held until the thread is entered in it: a worker that ends at once
  // waits for that before it counts itself down.
  std::lock_guard<std::mutex> lock(r.mutex);
  const std::uint64_t id = r.next_id++;
  // The entry first: once the thread runs, nothing here may fail any more.
  const auto entry = r.threads.emplace(id, boost::thread()).first;
  ++r.running;
  try {
    entry->second = boost::thread([id, work]() mutable {
      {
        // Taken out of the closure, so that the work and all it holds (buffers, page callbacks)
        // are released before the count drops.
        boost::function<void()> run;
        run.swap(work);
        try {
          run();
        } catch (const std::exception& e) {
          VOCLE_LOG_ERROR("worker failed: %1%", e.what());
        } catch (...) {
          VOCLE_LOG_ERROR("worker failed");
        }
      }
      registry& r = the_registry();
      std::lock_guard<std::mutex> lock(r.mutex);
      r.ended.push_back(id);
      if (--r.running == 0) {
        r.idle.notify_all();
      }
    });
  } catch (...) {
    r.threads.erase(entry);
    if (--r.running == 0) {
      r.idle.notify_all();
    }
    throw;
  }
}

std::uint64_t worker_registry::generation() {
  return the_registry().generation.load();
}

bool worker_registry::end_all(std::chrono::steady_clock::time_point deadline) {
  registry& r = the_registry();
  ++r.generation;
  bool none;
  {
    std::unique_lock<std::mutex> lock(r.mutex);
    none = r.idle.wait_until(lock, deadline, [&r] { return r.running == 0; });
  }
  join_ended();
  return none;
}

}  // namespace audio
}  // namespace vocle
