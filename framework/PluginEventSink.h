// What receives a plug-in window's events.
#pragma once

#include "framework/PluginEvents.h"

namespace FB {

class PluginEventSink {
 public:
  virtual ~PluginEventSink() {}
  // True when the event was handled.
  virtual bool HandleEvent(PluginEvent* event, PluginEventSource* source) = 0;
};

}  // namespace FB
