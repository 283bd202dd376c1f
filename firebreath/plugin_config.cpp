// The plug-in's identity as the browser learns it. No file extensions are claimed.
#include "framework/FactoryBase.h"

const FB::PluginInfo& getPluginInfo() {
  static const FB::PluginInfo info = {"Kiv3 Voice Plugin", "application/x-tarvix-vocle",
                                      "Tarvix Vocle Plugin"};
  return info;
}
