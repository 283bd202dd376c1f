// The plug-in object, one per embedding page: it makes the page's script object, reports the
// window's events as not handled, and starts and ends the audio system for the process.
#pragma once

#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include "framework/PluginCore.h"
#include "framework/PluginEvents.h"

class vocle7 : public FB::PluginCore {
 public:
  // Once per process, after logging has started: starts the audio system.
  static void StaticInitialize();
  // Once per process, before logging stops: ends the audio system.
  static void StaticDeinitialize();

  vocle7();
  // Drops the script object and every script object the page still holds, so the page's studio
  // goes with the page.
  ~vocle7() override;

  bool HandleEvent(FB::PluginEvent* event, FB::PluginEventSource* source) override;
  void onPluginReady() override;
  void shutdown() override;
  FB::JSAPIPtr createJSAPI() override;
  bool isWindowless() override;

  // Window events; each returns false (not handled).
  virtual bool onMouseDown(FB::MouseDownEvent* event, FB::PluginWindow* window);
  virtual bool onMouseUp(FB::MouseUpEvent* event, FB::PluginWindow* window);
  virtual bool onMouseMove(FB::MouseMoveEvent* event, FB::PluginWindow* window);
  virtual bool onWindowAttached(FB::AttachedEvent* event, FB::PluginWindow* window);
  virtual bool onWindowDetached(FB::DetachedEvent* event, FB::PluginWindow* window);
};

typedef boost::shared_ptr<vocle7> vocle7Ptr;
typedef boost::weak_ptr<vocle7> vocle7WeakPtr;
