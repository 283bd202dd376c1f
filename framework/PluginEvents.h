// The events a plug-in instance receives, and the window they come from.
#pragma once

#include <cstdint>

namespace FB {

class PluginEvent {
 public:
  virtual ~PluginEvent() {}
};

class PluginEventSource {
 public:
  virtual ~PluginEventSource() {}
};

// The plug-in's window is the source of its mouse and window events.
class PluginWindow : public PluginEventSource {
 public:
  ~PluginWindow() override {}
};

class MouseEvent : public PluginEvent {
 public:
  MouseEvent(std::int32_t x, std::int32_t y, std::int32_t button) : m_x(x), m_y(y), m_btn(button) {}
  std::int32_t m_x, m_y, m_btn;
};
class MouseDownEvent : public MouseEvent {
 public:
  using MouseEvent::MouseEvent;
};
class MouseUpEvent : public MouseEvent {
 public:
  using MouseEvent::MouseEvent;
};
class MouseMoveEvent : public MouseEvent {
 public:
  using MouseEvent::MouseEvent;
};
class AttachedEvent : public PluginEvent {};
class DetachedEvent : public PluginEvent {};

}  // namespace FB
