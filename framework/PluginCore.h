// One plug-in instance, the base of the plug-in class. The framework makes it through the
// factory for each embedding page, gives it the page's BrowserHost, sends it events and asks it
// for the page's root script object.
#pragma once

#include <boost/enable_shared_from_this.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>

#include "framework/BrowserHost.h"
#include "framework/JSAPI.h"
#include "framework/PluginEventSink.h"

namespace FB {

class PluginCore;
typedef boost::shared_ptr<PluginCore> PluginCorePtr;

class PluginCore : public PluginEventSink,
                   public boost::enable_shared_from_this<PluginCore>,
                   private boost::noncopyable {
 public:
  PluginCore();
  ~PluginCore() override;

  // Events from the plug-in window; false: not handled.
  bool HandleEvent(PluginEvent* event, PluginEventSource* source) override;

  virtual void SetHost(const BrowserHostPtr& host);
  BrowserHostPtr getHost() const { return m_host; }
  // The instance is fully set up; calls onPluginReady.
  virtual void setReady();
  virtual void onPluginReady() {}
  // The next framework hook after onPluginReady: the instance is about to go.
  virtual void shutdown() {}

  // Makes the page's root script object; called once, by getRootJSAPI.
  virtual JSAPIPtr createJSAPI() = 0;
  // The root script object, made on first use and kept.
  virtual JSAPIPtr getRootJSAPI();
  virtual bool isWindowless() { return true; }

 protected:
  BrowserHostPtr m_host;
  // The cached root script object.
  JSAPIPtr m_api;
};

}  // namespace FB
