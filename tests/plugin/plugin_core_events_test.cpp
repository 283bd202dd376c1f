// The plug-in's window events: each reaches its own handler with the event and the window, and
// the plug-in handles none of them.
#include "firebreath/vocle7.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Notes which handler ran and answers true, so the dispatcher's result shows it is the handler's.
class event_probe : public vocle7 {
 public:
  bool onMouseDown(FB::MouseDownEvent* e, FB::PluginWindow* w) override {
    return note("onMouseDown", e, w);
  }
  bool onMouseUp(FB::MouseUpEvent* e, FB::PluginWindow* w) override {
    return note("onMouseUp", e, w);
  }
  bool onMouseMove(FB::MouseMoveEvent* e, FB::PluginWindow* w) override {
    return note("onMouseMove", e, w);
  }
  bool onWindowAttached(FB::AttachedEvent* e, FB::PluginWindow* w) override {
    return note("onWindowAttached", e, w);
  }
  bool onWindowDetached(FB::DetachedEvent* e, FB::PluginWindow* w) override {
    return note("onWindowDetached", e, w);
  }

  std::vector<std::string> handlers;
  FB::PluginEvent* event = nullptr;
  FB::PluginWindow* window = nullptr;

 private:
  bool note(const char* handler, FB::PluginEvent* e, FB::PluginWindow* w) {
    handlers.push_back(handler);
    event = e;
    window = w;
    return true;
  }
};

struct event_case {
  const char* handler;
  std::function<std::unique_ptr<FB::PluginEvent>()> make;
};

const std::vector<event_case>& window_events() {
  static const std::vector<event_case> cases = {
      {"onMouseDown",
       [] { return std::unique_ptr<FB::PluginEvent>(new FB::MouseDownEvent(3, 4, 1)); }},
      {"onMouseUp", [] { return std::unique_ptr<FB::PluginEvent>(new FB::MouseUpEvent(3, 4, 1)); }},
      {"onMouseMove",
       [] { return std::unique_ptr<FB::PluginEvent>(new FB::MouseMoveEvent(3, 4, 0)); }},
      {"onWindowAttached",
       [] { return std::unique_ptr<FB::PluginEvent>(new FB::AttachedEvent()); }},
      {"onWindowDetached",
       [] { return std::unique_ptr<FB::PluginEvent>(new FB::DetachedEvent()); }},
  };
  return cases;
}

TEST(PluginEvents, EachWindowEventReachesItsHandler) {
  for (const event_case& c : window_events()) {
    SCOPED_TRACE(c.handler);
    event_probe plugin;
    FB::PluginWindow window;
    std::unique_ptr<FB::PluginEvent> event = c.make();
    EXPECT_TRUE(plugin.HandleEvent(event.get(), &window));
    EXPECT_EQ(plugin.handlers, std::vector<std::string>{c.handler});
    EXPECT_EQ(plugin.event, event.get());
    EXPECT_EQ(plugin.window, &window);
  }
}

TEST(PluginEvents, ThePluginHandlesNone) {
  vocle7 plugin;
  FB::PluginWindow window;
  for (const event_case& c : window_events()) {
    SCOPED_TRACE(c.handler);
    std::unique_ptr<FB::PluginEvent> event = c.make();
    EXPECT_FALSE(plugin.HandleEvent(event.get(), &window));
  }
  EXPECT_FALSE(plugin.isWindowless());
}

TEST(PluginEvents, OtherEventsAndSourcesReachNoHandler) {
  struct other_event : FB::PluginEvent {};
  struct other_source : FB::PluginEventSource {};
  event_probe plugin;
  FB::PluginWindow window;
  other_event other;
  EXPECT_FALSE(plugin.HandleEvent(&other, &window));
  other_source source;
  FB::MouseDownEvent down(1, 1, 1);
  EXPECT_FALSE(plugin.HandleEvent(&down, &source));
  EXPECT_FALSE(plugin.HandleEvent(&down, nullptr));
  EXPECT_TRUE(plugin.handlers.empty());
}

}  // namespace
