// What the framework asks of the plug-in for the whole process: plug-in instances, the process
// start and end, and the logging set-up. The plug-in provides getFactoryInstance().
#pragma once

#include <string>

#include <boost/shared_ptr.hpp>

#include "framework/PluginCore.h"
#include "framework/logging.h"

namespace FB {

class FactoryBase {
 public:
  virtual ~FactoryBase() {}

  virtual PluginCorePtr createPlugin(const std::string& mimetype) = 0;
  // Once per process, after logging has started / before it stops.
  virtual void globalPluginInitialize() {}
  virtual void globalPluginDeinitialize() {}
  // The log targets to start with (none by default) and the threshold.
  virtual void getLoggingMethods(Log::LogMethodList& outMethods) { (void)outMethods; }
  virtual Log::LogLevel getLogLevel() { return Log::LogLevel_Info; }
};

typedef boost::shared_ptr<FactoryBase> FactoryBasePtr;

// The plug-in's identity as the browser learns it.
struct PluginInfo {
  const char* name;
  const char* mime_type;
  const char* description;
};

}  // namespace FB

// Both provided by the plug-in.
FB::FactoryBasePtr getFactoryInstance();
const FB::PluginInfo& getPluginInfo();
