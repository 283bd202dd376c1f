// The main thread's event loop of a host: calls queued from any thread and timers, each run in a
// turn of its own on the main thread, never inside another.
//
// Queued calls belong to an owner (a page, an instance: any pointer that stays unique while the
// loop lives). Each call is run exactly once: fn(data, true) in a turn, or fn(data, false) when it
// is dropped (its owner closed, the loop closed or gone) so that fn can free data. A dropped call
// is always called outside the loop's lock, so fn may queue again.
//
// Order: each round of run() runs the calls queued before the round began, in the order they came,
// then the timers that were due when it looked, earliest first (equal times in the order they
// were set). What a turn queues or sets waits for a later round.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

namespace host {

class main_loop {
 public:
  typedef std::chrono::steady_clock clock;
  typedef void (*call_fn)(void* data, bool run);

  enum class post_result {
    queued,        // fn(data, true) will run in a turn, or fn(data, false) if dropped first
    owner_closed,  // the owner has been closed: nothing was queued, fn was not called
    loop_closed    // the loop takes no calls any more: nothing was queued, fn was not called
  };
  enum class run_result { quit, deadline };

  main_loop();
  // Drops what is still queued.
  ~main_loop();
  main_loop(const main_loop&) = delete;
  main_loop& operator=(const main_loop&) = delete;

  // ---- any thread ----
  post_result post(const void* owner, call_fn fn, void* data);
  // A call of the host's own (no owner); dropped tasks are simply destroyed. False when the loop
  // is closed.
  bool post(std::function<void()> task);
  // Makes run() return after the current turn (the next run(), when none is going on), once: the
  // calls still queued stay queued for a later run().
  void quit();
  bool quitting() const;

  // ---- main thread ----
  // Drops the owner's queued calls now (fn(data, false)); from now on post() for that owner
  // answers owner_closed.
  void close_owner(const void* owner);
  // Takes no calls any more and drops every queued one. Timers are cancelled.
  void close();

  typedef std::function<void(std::uint64_t id)> timer_fn;
  // A timer that calls fn(id) after delay, and then every interval when interval is positive.
  // Returns its id (1, 2, ... never reused).
  std::uint64_t add_timer(clock::duration delay, clock::duration interval, timer_fn fn);
  // False when no such timer is set (it has fired its last time or was cancelled).
  bool cancel_timer(std::uint64_t id);
  void cancel_timers();
  bool has_timer(std::uint64_t id) const;

  // Runs turns until quit() or the deadline, whichever comes first. Waits while there is
  // nothing to do. Must not be called from inside a turn.
  run_result run(clock::time_point deadline);

 private:
  struct call {
    const void* owner;
    call_fn fn;
    void* data;
    std::uint64_t seq;
  };
  struct timer {
    clock::time_point due;
    clock::duration interval;
    std::shared_ptr<timer_fn> fn;
  };

  static void run_task(void* data, bool run);
  static void drop_calls(std::deque<call>& calls);
  // Runs the timers that are due at now; false when quit() came in between.
  bool run_due_timers(clock::time_point now);

  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  // Guarded by m_mutex.
  std::deque<call> m_calls;
  std::set<const void*> m_closed_owners;
  bool m_closed = false;
  bool m_quit = false;
  std::uint64_t m_next_seq = 0;

  // Main thread only.
  std::map<std::uint64_t, timer> m_timers;
  std::set<std::pair<clock::time_point, std::uint64_t>> m_timer_order;
  std::uint64_t m_next_timer = 1;
};

}  // namespace host
