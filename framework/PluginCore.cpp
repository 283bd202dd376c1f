#include "framework/PluginCore.h"

namespace FB {

PluginCore::PluginCore() {}

PluginCore::~PluginCore() {}

bool PluginCore::HandleEvent(PluginEvent* event, PluginEventSource* source) {
  (void)event;
  (void)source;
  return false;
}

void PluginCore::SetHost(const BrowserHostPtr& host) {
  m_host = host;
}

void PluginCore::setReady() {
  onPluginReady();
}

JSAPIPtr PluginCore::getRootJSAPI() {
  // Made once; a failed attempt leaves nothing behind, so the next request tries again.
  if (!m_api) {
    m_api = createJSAPI();
  }
  return m_api;
}

}  // namespace FB
