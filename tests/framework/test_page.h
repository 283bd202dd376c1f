// A page for the framework's own tests: the host side of the host interface, reduced to a main
// thread (the thread that made the page), a queue of calls from other threads, a way to close,
// and page objects with number properties. It makes no window, arrays or objects of its own.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "framework/host_interface.h"

namespace vocle {
namespace testkit {

class test_page {
 public:
  // The calling thread is the page's main thread. One page at a time.
  test_page();
  ~test_page();
  test_page(const test_page&) = delete;
  test_page& operator=(const test_page&) = delete;

  const vh_browser_funcs* funcs() const { return &m_funcs; }
  vh_instance* instance() { return &m_instance; }

  // Main thread: runs the calls queued so far; returns how many ran.
  std::size_t run_queued();
  // Blocks until at least n calls wait in the queue.
  void wait_queued(std::size_t n);
  // The page goes: the queued calls are dropped (fn(data, false)), and so is every later one.
  void close();

 private:
  static bool schedule(vh_instance* instance, void (*fn)(void*, bool), void* data);
  static bool is_main_thread();
  static vh_object* no_window(vh_instance*);
  static vh_object* no_object(vh_instance*);
  static void release_variant(vh_variant* value);

  typedef std::pair<void (*)(void*, bool), void*> call;
  vh_browser_funcs m_funcs;
  vh_instance m_instance;
  std::mutex m_mutex;
  std::condition_variable m_queued;
  std::deque<call> m_calls;
  bool m_closed = false;
};

// A page object: number properties, counted references. Its release may run on any thread; it
// records whether the last one ran on the page's main thread.
struct test_object {
  vh_object base;  // first: the plug-in holds &base
  int references;
  bool released_on_main;
  bool released;
};

// A new page object with one reference, whose properties are name/number pairs; "length" makes
// it an array. Freed by the test (free_test_object), not by its last release.
test_object* make_test_object(const std::vector<std::pair<std::string, double> >& properties);
void free_test_object(test_object* object);

}  // namespace testkit
}  // namespace vocle
