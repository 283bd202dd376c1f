// The process's factory: plug-in objects for pages, the process-wide start and end, and the
// logging set-up ("log.type", "log.level").
#pragma once

#include <string>

#include "framework/FactoryBase.h"

class PluginFactory : public FB::FactoryBase {
 public:
  FB::PluginCorePtr createPlugin(const std::string& mimetype) override;
  void globalPluginInitialize() override;
  void globalPluginDeinitialize() override;
  // "log.type" split at any of "+/|&,;": each "console" adds standard error, each "file" runs
  // the start-up folder and file jobs and adds the log file. Other words (case matters) add
  // nothing.
  void getLoggingMethods(FB::Log::LogMethodList& outMethods) override;
  // "log.level" as trace, debug, info, warn or error; anything else is info.
  FB::Log::LogLevel getLogLevel() override;
};
