// Every configuration key of "vocle.conf" with its type and default: the one place where a
// default is written down. Read them through vocle::settings::get.
#pragma once

#include <cstdint>

namespace vocle {
namespace keys {

struct string_key {
  const char* name;
  const char* fallback;
};
struct double_key {
  const char* name;
  double fallback;
};
struct bool_key {
  const char* name;
  bool fallback;
};
struct int_key {
  const char* name;
  std::uint64_t fallback;
};
// A list split at ";" (empty by default).
struct list_key {
  const char* name;
};

constexpr double_key audio_sample_rate{"audio.sample_rate", 16000.0};
constexpr int_key audio_frames_per_buffer{"audio.frames_per_buffer", 1024};
constexpr int_key audio_channels{"audio.channels", 1};
constexpr string_key audio_sample_format{"audio.sample_format", ""};
constexpr bool_key audio_interleaved{"audio.interleaved", false};
constexpr int_key audio_buffer_count{"audio.buffer_count", 1};
constexpr int_key audio_max_buffer_count{"audio.max_buffer_count", 10};
constexpr int_key audio_upload_timeout{"audio.upload_timeout", 60};
constexpr string_key audio_recognition_url{"audio.recognition_url",
                                           "http://127.0.0.1:8765/1/assess.wav"};
// The most bytes a server's answer to an upload may have; the page gets it as one string.
constexpr int_key audio_max_response_size{"audio.max_response_size", 16777216};
constexpr string_key audio_record_file_prefix{"audio.record_file_prefix", "@{appdata}/test."};
constexpr double_key audio_vad_gap{"audio.vad_gap", 1.0};
constexpr double_key audio_vad_wait{"audio.vad_wait", 2.0};
constexpr double_key audio_vad_max{"audio.vad_max", 3.0};
constexpr bool_key audio_vad_statistic{"audio.vad_statistic", false};
constexpr bool_key audio_vad_clip{"audio.vad_clip", false};
constexpr double_key audio_vad_max_average_square_training_shrink{
    "audio.vad_max_average_square_training_shrink", 0.7};
constexpr int_key audio_vad_dcoffset_training_buffer_size{"audio.vad_dcoffset_training_buffer_size",
                                                          300};
constexpr list_key device_blacklist{"device.blacklist"};
constexpr list_key device_priorities{"device.priorities"};
constexpr string_key log_type{"log.type", ""};
constexpr string_key log_level{"log.level", ""};
constexpr string_key log_file{"log.file", ""};
constexpr bool_key log_logconfig{"log.logconfig", true};
constexpr bool_key log_logdevice{"log.logdevice", true};
constexpr string_key system_lang{"system.lang", "en_US"};
constexpr list_key system_startup_mkdir{"system.startup_mkdir"};
// Groups split at ";", items within a group at "|".
constexpr list_key system_startup_rm{"system.startup_rm"};
constexpr list_key system_trusted{"system.trusted"};
constexpr string_key system_api{"system.api", ""};
constexpr string_key system_file_permission{"system.file_permission", ""};
constexpr string_key js_call_function{"js.call_function", "call_function"};
constexpr string_key js_apply_function{"js.apply_function", "apply_function"};
constexpr string_key js_release_function{"js.release_function", "release_function"};

// Used when "log.file" is empty.
constexpr const char* default_log_file = "@{appdata}/vocle-@{random-uuid}.log";

}  // namespace keys
}  // namespace vocle
