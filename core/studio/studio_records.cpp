#include <cstdint>
#include <limits>

#include <boost/format.hpp>

#include "core/audio/audio_buffer.h"
#include "core/foundation/base64.h"
#include "core/foundation/binary.h"
#include "core/foundation/log.h"
#include "core/studio/studio.h"
#include "framework/script_error.h"

namespace vocle {
namespace audio {
namespace {

// As a standard stream writes a value by default: 16000, 2.5, 0.333333, 1e+06.
template <class T>
std::string text_of(const T& value) {
  return (boost::format("%1%") % value).str();
}

}  // namespace

std::string studio::get_record(std::uint64_t index, const std::string& format) {
  buffer_ptr buffer = get_buffer(index);
  boost::shared_ptr<binary> bytes = encode_record(buffer, format);
  if (bytes->size() > std::numeric_limits<std::uint32_t>::max()) {
    // Base64 is made of at most 2^32 - 1 bytes per call; a longer record would be cut short.
    throw FB::script_error("record too large to read out");
  }
  return util::base64_encode(reinterpret_cast<const unsigned char*>(bytes->begin()),
                             static_cast<std::uint32_t>(bytes->size()));
}

std::map<std::string, std::string> studio::get_record_info(std::uint64_t index) {
  buffer_ptr buffer = get_buffer(index);
  const double rate = m_sample_rate.load();
  std::map<std::string, std::string> info;
  boost::mutex::scoped_lock lock(buffer->m_mutex);
  const std::size_t count = buffer->m_samples.size();
  info["status"] = text_of(static_cast<std::uint32_t>(buffer->m_status));
  info["vad_statistics"] = buffer->vad_statistics();
  info["sample_rate"] = text_of(rate);
  info["count"] = text_of(count);
  info["time"] = text_of(static_cast<double>(count) / rate);
  info["channels"] = text_of(m_channels);
  info["interleaved"] = m_interleaved ? "1" : "0";
  return info;
}

void studio::log(const std::string& type, const std::string& message) {
  static const struct {
    const char* type;
    FB::Log::LogLevel level;
  } levels[] = {
      {"trace", FB::Log::LogLevel_Trace}, {"debug", FB::Log::LogLevel_Debug},
      {"info", FB::Log::LogLevel_Info},   {"warn", FB::Log::LogLevel_Warn},
      {"error", FB::Log::LogLevel_Error}, {"fatal", FB::Log::LogLevel_Error},
  };
  for (const auto& l : levels) {
    if (type == l.type) {
      VOCLE_LOG_TEXT(l.level, message);
      return;
    }
  }
  VOCLE_LOG_WARN("unknown log type %1% of message %2%", type, message);
}

}  // namespace audio
}  // namespace vocle
