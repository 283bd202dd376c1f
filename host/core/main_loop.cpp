#include "host/core/main_loop.h"

#include <algorithm>
#include <vector>

namespace host {

main_loop::main_loop() = default;

main_loop::~main_loop() {
  std::deque<call> dropped;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    dropped.swap(m_calls);
  }
  drop_calls(dropped);
}

void main_loop::run_task(void* data, bool run) {
  std::unique_ptr<std::function<void()>> task(static_cast<std::function<void()>*>(data));
  if (run) {
    (*task)();
  }
}

void main_loop::drop_calls(std::deque<call>& calls) {
  for (const call& c : calls) {
    c.fn(c.data, false);
  }
  calls.clear();
}

main_loop::post_result main_loop::post(const void* owner, call_fn fn, void* data) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed) {
      return post_result::loop_closed;
    }
    if (owner != nullptr && m_closed_owners.count(owner) != 0) {
      return post_result::owner_closed;
    }
    m_calls.push_back(call{owner, fn, data, m_next_seq++});
  }
  m_wake.notify_one();
  return post_result::queued;
}

bool main_loop::post(std::function<void()> task) {
  auto* data = new std::function<void()>(std::move(task));
  if (post(nullptr, &main_loop::run_task, data) != post_result::queued) {
    delete data;
    return false;
  }
  return true;
}

void main_loop::quit() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_quit = true;
  }
  m_wake.notify_one();
}

bool main_loop::quitting() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_quit;
}

void main_loop::close_owner(const void* owner) {
  std::deque<call> dropped;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed_owners.insert(owner);
    auto keep = std::stable_partition(m_calls.begin(), m_calls.end(),
                                      [owner](const call& c) { return c.owner != owner; });
    dropped.assign(keep, m_calls.end());
    m_calls.erase(keep, m_calls.end());
  }
  drop_calls(dropped);
}

void main_loop::close() {
  cancel_timers();
  std::deque<call> dropped;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    dropped.swap(m_calls);
  }
  drop_calls(dropped);
}

std::uint64_t main_loop::add_timer(clock::duration delay, clock::duration interval, timer_fn fn) {
  const std::uint64_t id = m_next_timer++;
  const clock::time_point due = clock::now() + std::max(delay, clock::duration::zero());
  m_timers[id] = timer{due, std::max(interval, clock::duration::zero()),
                       std::make_shared<timer_fn>(std::move(fn))};
  m_timer_order.insert(std::make_pair(due, id));
  return id;
}

bool main_loop::cancel_timer(std::uint64_t id) {
  auto found = m_timers.find(id);
  if (found == m_timers.end()) {
    return false;
  }
  m_timer_order.erase(std::make_pair(found->second.due, id));
  m_timers.erase(found);
  return true;
}

void main_loop::cancel_timers() {
  m_timers.clear();
  m_timer_order.clear();
}

bool main_loop::has_timer(std::uint64_t id) const {
  return m_timers.count(id) != 0;
}

bool main_loop::run_due_timers(clock::time_point now) {
  std::vector<std::uint64_t> due;
  for (const auto& entry : m_timer_order) {
    if (entry.first > now) {
      break;
    }
    due.push_back(entry.second);
  }
  for (std::uint64_t id : due) {
    if (quitting()) {
      return false;
    }
    auto found = m_timers.find(id);
    if (found == m_timers.end()) {
      continue;  // cancelled by an earlier turn
    }
    timer& t = found->second;
    std::shared_ptr<timer_fn> fn = t.fn;
    m_timer_order.erase(std::make_pair(t.due, id));
    if (t.interval > clock::duration::zero()) {
      // Set again before the turn, so that the callback can cancel it.
      t.due = clock::now() + t.interval;
      m_timer_order.insert(std::make_pair(t.due, id));
    } else {
      m_timers.erase(found);
    }
    (*fn)(id);
  }
  return true;
}

main_loop::run_result main_loop::run(clock::time_point deadline) {
  for (;;) {
    std::uint64_t round_end;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_quit) {
        m_quit = false;
        return run_result::quit;
      }
      if (clock::now() >= deadline) {
        return run_result::deadline;
      }
      round_end = m_next_seq;
    }
    // One call per turn, taken from the queue only when its turn comes, so that a call dropped by
    // an earlier turn (close_owner) never runs.
    for (;;) {
      call c;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_quit || m_calls.empty() || m_calls.front().seq >= round_end) {
          break;
        }
        c = m_calls.front();
        m_calls.pop_front();
      }
      c.fn(c.data, true);
    }
    if (!run_due_timers(clock::now())) {
      continue;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    clock::time_point wake = deadline;
    if (!m_timer_order.empty()) {
      wake = std::min(wake, m_timer_order.begin()->first);
    }
    m_wake.wait_until(lock, wake,
                      [&] { return m_quit || !m_calls.empty() || clock::now() >= wake; });
  }
}

}  // namespace host
