#include "firebreath/PluginFactory.h"

#include <exception>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/make_shared.hpp>

#include "core/foundation/keys.h"
#include "core/foundation/settings.h"
#include "firebreath/vocle7.h"

FB::PluginCorePtr PluginFactory::createPlugin(const std::string&) {
  return boost::make_shared<vocle7>();
}

void PluginFactory::globalPluginInitialize() {
  vocle7::StaticInitialize();
}

void PluginFactory::globalPluginDeinitialize() {
  vocle7::StaticDeinitialize();
}

void PluginFactory::getLoggingMethods(FB::Log::LogMethodList& outMethods) {
  vocle::settings& config = vocle::settings::instance();
  std::vector<std::string> pieces;
  boost::split(pieces, config.get(vocle::keys::log_type), boost::is_any_of("+/|&,;"));
  for (const std::string& piece : pieces) {
    if (piece == "console") {
      outMethods.push_back(std::make_pair(FB::Log::LogMethod_Console, std::string()));
    } else if (piece == "file") {
      // Logging does not exist yet, so failures go through report. A failed job does not cost
      // the log: the file is still opened (its folder is made when missing).
      try {
        config.startup();
      } catch (const std::exception& e) {
        vocle::settings::report("error", std::string("settings::startup() failed: ") + e.what(),
                                false);
      }
      // A log file without a path (no home folder for "@{appdata}") is skipped: the plug-in
      // starts all the same, logging to the other targets.
      try {
        outMethods.push_back(std::make_pair(FB::Log::LogMethod_File, config.log_file()));
      } catch (const std::exception& e) {
        vocle::settings::report(
            "warn", std::string("no log file, the file target is skipped: ") + e.what(), false);
      }
    }
  }
}

FB::Log::LogLevel PluginFactory::getLogLevel() {
  static const std::map<std::string, FB::Log::LogLevel> levels = {
      {"trace", FB::Log::LogLevel_Trace}, {"debug", FB::Log::LogLevel_Debug},
      {"info", FB::Log::LogLevel_Info},   {"warn", FB::Log::LogLevel_Warn},
      {"error", FB::Log::LogLevel_Error},
  };
  const auto found = levels.find(vocle::settings::instance().log_level());
  return found != levels.end() ? found->second : FB::Log::LogLevel_Info;
}

FB::FactoryBasePtr getFactoryInstance() {
  static FB::FactoryBasePtr factory = boost::make_shared<PluginFactory>();
  return factory;
}
