#include <cstdint>

#include <boost/filesystem.hpp>
#include <boost/format.hpp>
#include <boost/make_shared.hpp>

#include "core/audio/audio_buffer.h"
#include "core/encoding/encoding.h"
#include "core/foundation/binary.h"
#include "core/foundation/keys.h"
#include "core/foundation/log.h"
#include "core/foundation/sample_view.h"
#include "core/foundation/settings.h"
#include "core/foundation/util.h"
#include "core/studio/studio.h"

namespace vocle {
namespace audio {

boost::shared_ptr<binary> studio::encode_record(const buffer_ptr& buffer,
                                                const std::string& format) {
  return encode_record(context(), buffer, format);
}

boost::shared_ptr<binary> studio::encode_record(const worker_context& context,
                                                const buffer_ptr& buffer,
                                                const std::string& format) {
  // An unknown format fails here, before the buffer is touched.
  boost::shared_ptr<encoding> encoder = encoding::create(
      format, context.sample_rate, context.sample_format, context.channels, context.interleaved);
  // A snapshot: the recording goes on into the buffer, past the snapshot's end, while the
  // snapshot is encoded. No sample is copied.
  const sample_view samples = buffer->snapshot();
  VOCLE_LOG_DEBUG("got %1% samples", samples.size());
  boost::shared_ptr<binary> out = boost::make_shared<binary>(std::size_t(0));
  out->reserve(encoder->encoded_size(samples.size()));
  encoder->encode(*out, samples);
  VOCLE_LOG_DEBUG("encoded to binary %1%", out->size());
  return out;
}

std::string studio::default_path(const std::string& format) {
  return settings::instance().get(keys::audio_record_file_prefix) + format;
}

std::string studio::default_path(const std::string& format, std::uint64_t index) {
  return settings::instance().get(keys::audio_record_file_prefix) + std::to_string(index) + format;
}

studio::file_access studio::resolve_file_path(const std::string& raw_path,
                                              const std::string& default_name,
                                              const char* failure_key) {
  const std::string permission = settings::instance().get(keys::system_file_permission);
  file_access access;
  std::string path;
  if (permission == "all") {
    path = raw_path.empty() ? default_name : raw_path;
  } else if (permission == "sandbox") {
    path = default_name;
    VOCLE_LOG_WARN("switch system/file_permission is %1%, save to default file %2%", permission,
                   path);
  } else {
    access.refusal =
        settings::instance().translate_format("FILE_PERMISSION_SECURITY_ERROR", permission);
    VOCLE_LOG_TEXT(FB::Log::LogLevel_Error, access.refusal);
    return access;
  }
  if (util::holds_nul(path)) {
    VOCLE_LOG_ERROR("path refused: it holds a NUL character");
    access.refusal = settings::instance().translate(failure_key);
    return access;
  }
  access.path = normalize_path(path);
  access.allowed = true;
  return access;
}

std::string studio::normalize_path(const std::string& raw_path) {
  const std::string ansi = util::utf8_to_ansi(util::expand_path(raw_path));
  const boost::filesystem::path absolute =
      boost::filesystem::absolute(boost::filesystem::path(ansi), boost::filesystem::current_path());
  return util::ansi_to_utf8(absolute.string());
}

}  // namespace audio
}  // namespace vocle
