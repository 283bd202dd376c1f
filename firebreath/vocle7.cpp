#include "firebreath/vocle7.h"

#include <portaudiocpp/System.hxx>

#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>

#include "core/foundation/log.h"
#include "core/studio/studio.h"
#include "firebreath/vocleAPI.h"

void vocle7::StaticInitialize() {
  VOCLE_LOG_INFO("entered");
  vocle::audio::studio::initialize();
}

void vocle7::StaticDeinitialize() {
  VOCLE_LOG_INFO("entered");
  // Nothing of the library may still run once the audio system is gone or the library is
  // unloaded: uploads are cancelled and every worker of every page is waited for, within the
  // upload time-out. A worker stuck beyond that (a device that never delivers, a file system that
  // never answers) keeps the audio system alive rather than have it pulled from under it.
  if (!vocle::audio::studio::shutdown_workers()) {
    VOCLE_LOG_ERROR("workers still running at the end; the audio system is left running");
    return;
  }
  portaudio::System::terminate();
}

vocle7::vocle7() {}

vocle7::~vocle7() {
  m_api.reset();
  if (m_host) {
    m_host->freeRetainedObjects();
  }
}

bool vocle7::HandleEvent(FB::PluginEvent* event, FB::PluginEventSource* source) {
  FB::PluginWindow* window = dynamic_cast<FB::PluginWindow*>(source);
  if (!window) {
    return false;
  }
  if (auto* e = dynamic_cast<FB::MouseDownEvent*>(event)) {
    return onMouseDown(e, window);
  }
  if (auto* e = dynamic_cast<FB::MouseUpEvent*>(event)) {
    return onMouseUp(e, window);
  }
  if (auto* e = dynamic_cast<FB::MouseMoveEvent*>(event)) {
    return onMouseMove(e, window);
  }
  if (auto* e = dynamic_cast<FB::AttachedEvent*>(event)) {
    return onWindowAttached(e, window);
  }
  if (auto* e = dynamic_cast<FB::DetachedEvent*>(event)) {
    return onWindowDetached(e, window);
  }
  return false;
}

void vocle7::onPluginReady() {}

void vocle7::shutdown() {}

FB::JSAPIPtr vocle7::createJSAPI() {
  vocle7WeakPtr self = boost::static_pointer_cast<vocle7>(shared_from_this());
  return boost::make_shared<vocleAPI>(self, m_host);
}

bool vocle7::isWindowless() {
  return false;
}

bool vocle7::onMouseDown(FB::MouseDownEvent*, FB::PluginWindow*) {
  return false;
}

bool vocle7::onMouseUp(FB::MouseUpEvent*, FB::PluginWindow*) {
  return false;
}

bool vocle7::onMouseMove(FB::MouseMoveEvent*, FB::PluginWindow*) {
  return false;
}

bool vocle7::onWindowAttached(FB::AttachedEvent*, FB::PluginWindow*) {
  return false;
}

bool vocle7::onWindowDetached(FB::DetachedEvent*, FB::PluginWindow*) {
  return false;
}
