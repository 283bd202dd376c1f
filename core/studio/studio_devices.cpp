#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include <boost/format.hpp>
#include <boost/regex.hpp>
#include <portaudiocpp/PortAudioCpp.hxx>

#include "core/foundation/keys.h"
#include "core/foundation/log.h"
#include "core/foundation/settings.h"
#include "core/foundation/util.h"
#include "core/studio/studio.h"

namespace vocle {
namespace audio {
namespace {

// A device as the choice ranks it: the position of its host API among the priorities, then its
// index.
struct candidate {
  std::uint64_t rank;
  std::int32_t index;
};

std::string utf8(const char* ansi) {
  return util::ansi_to_utf8(ansi ? ansi : "");
}

// Every "device.blacklist" entry that compiles. An entry that does not is left out with an error
// line, so one bad pattern neither stops a recording from finding its device nor ends a worker.
std::vector<boost::regex> blacklist() {
  std::vector<boost::regex> patterns;
  for (const std::string& entry : settings::instance().get(keys::device_blacklist)) {
    try {
      patterns.emplace_back(entry);
    } catch (const boost::regex_error& e) {
      VOCLE_LOG_ERROR("ignored device.blacklist entry %1%: %2%", entry, e.what());
    }
  }
  return patterns;
}

bool blacklisted(const std::string& name, const std::vector<boost::regex>& patterns) {
  for (const boost::regex& pattern : patterns) {
    if (boost::regex_match(name, pattern)) {
      return true;
    }
  }
  return false;
}

std::int32_t pick(std::int32_t default_index, std::vector<candidate>& candidates) {
  if (default_index >= 0) {
    return default_index;
  }
  if (candidates.empty()) {
    return -1;
  }
  // Equal ranks keep the enumeration order: the lower device index first.
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const candidate& a, const candidate& b) { return a.rank < b.rank; });
  return candidates.front().index;
}

}  // namespace

void studio::initialize() {
  VOCLE_LOG_DEBUG("entered");
  settings& config = settings::instance();
  const bool logconfig = config.get(keys::log_logconfig);
  const bool logdevice = config.get(keys::log_logdevice);
  VOCLE_LOG_DEBUG("initialize with logconfig %1%, logdevice %2%", logconfig, logdevice);
  if (logconfig) {
    // With no home folder the default log file has no path: the start goes on without it.
    try {
      const std::string log_file = config.log_file();
      VOCLE_LOG_INFO("logfile: %1%", log_file);
    } catch (const std::exception& e) {
      VOCLE_LOG_WARN("no log file: %1%", e.what());
    }
    VOCLE_LOG_INFO("settings:\n%1%", config.dump());
  }

  VOCLE_LOG_INFO("initializing audio system...");
  portaudio::System::initialize();
  VOCLE_LOG_INFO("audio system initialized!");

  if (logdevice) {
    // One line with the count, then the count again with every device under it.
    const std::vector<device_info> list = device_list();
    std::string text = (boost::format("audio devices count: %1%\n") % list.size()).str();
    VOCLE_LOG_TEXT(FB::Log::LogLevel_Info, text);
    for (const device_info& device : list) {
      std::string suffix;
      if (device.default_input) {
        suffix += ", default input";
      }
      if (device.default_output) {
        suffix += ", default output";
      }
      text += (boost::format("%1%: %2%, in=%3% out=%4%, %5%%6%\n") % device.index % device.name %
               device.input_channels % device.output_channels % device.host_api % suffix)
                  .str();
    }
    VOCLE_LOG_TEXT(FB::Log::LogLevel_Info, text);
  }
}

std::vector<studio::device_info> studio::device_list() {
  std::vector<device_info> list;
  if (!portaudio::System::exists()) {
    return list;
  }
  // The binding's device list is fixed once the audio system runs, so any thread may read it.
  portaudio::System& system = portaudio::System::instance();
  for (auto it = system.devicesBegin(); it != system.devicesEnd(); ++it) {
    const portaudio::Device& device = *it;
    list.push_back(device_info{device.index(), utf8(device.name()), device.maxInputChannels(),
                               device.maxOutputChannels(), utf8(device.hostApi().name()),
                               device.isSystemDefaultInputDevice(),
                               device.isSystemDefaultOutputDevice()});
  }
  return list;
}

studio::device_pair studio::choose_device() {
  return choose_device(device_list());
}

studio::device_pair studio::choose_device(const std::vector<device_info>& devices) {
  const std::vector<boost::regex> patterns = blacklist();
  const settings::list priorities = settings::instance().get(keys::device_priorities);

  std::int32_t default_input = -1;
  std::int32_t default_output = -1;
  std::vector<candidate> inputs;
  std::vector<candidate> outputs;
  for (const device_info& device : devices) {
    if (blacklisted(device.name, patterns)) {
      continue;
    }
    // A device with both directions is an input candidate only; as the system default output it
    // is still chosen for output.
    std::vector<candidate>* list = nullptr;
    if (device.input_channels >= 1) {
      list = &inputs;
    } else if (device.output_channels >= 1) {
      list = &outputs;
    } else {
      continue;
    }
    if (device.default_input) {
      default_input = device.index;
    }
    if (device.default_output) {
      default_output = device.index;
    }
    const auto preferred = std::find(priorities.begin(), priorities.end(), device.host_api);
    list->push_back(
        candidate{static_cast<std::uint64_t>(preferred - priorities.begin()), device.index});
  }
  return device_pair(pick(default_input, inputs), pick(default_output, outputs));
}

FB::VariantList studio::devices() const {
  const std::vector<device_info> list = device_list();
  const device_pair chosen = choose_device(list);
  FB::VariantList result;
  for (const device_info& device : list) {
    FB::VariantMap entry;
    entry["index"] = device.index;
    entry["name"] = device.name;
    entry["input_channels"] = device.input_channels;
    entry["output_channels"] = device.output_channels;
    entry["host_api"] = device.host_api;
    if (device.default_input) {
      entry["default_input"] = true;
    }
    if (device.default_output) {
      entry["default_output"] = true;
    }
    if (device.index == chosen.first) {
      entry["choosed_input"] = true;
    }
    if (device.index == chosen.second) {
      entry["choosed_output"] = true;
    }
    result.push_back(entry);
  }
  return result;
}

}  // namespace audio
}  // namespace vocle
