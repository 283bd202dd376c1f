// The fixture of the recording, playback and stop tests: the virtual microphone and speaker, a
// configuration of the test's own, the audio system and one studio, torn down in the reverse
// order (the studio first, then every worker is ended as at the end of the process).
//
//   class Recording : public stream_fixture {};
//   TEST_F(Recording, X) {
//     start("[audio]\nvad_max=10\n");
//     auto done = probe(buffer());
//     the_studio().threaded_start_record(0, done, nullptr, {});
//     ASSERT_TRUE(done->wait_for(1));
//   }
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

#include "common/alsa_rig.h"
#include "common/config_dir.h"
#include "common/recording_function.h"
#include "core/audio/audio_buffer.h"
#include "core/studio/studio.h"
#include "log_capture.h"

namespace vocle {
namespace testkit {

// The language file of the stream tests: every text differs from its key, so a result shows that
// it was translated.
extern const char* const stream_lang_conf;

// A page callback that also notes, at each call, the status of a buffer and its sample count:
// what the buffer looked like when the call was made. For result callbacks, which the workers
// call while they hold the buffer's mutex, the count is exact; volume callbacks come from the
// strategies, which hold the same mutex.
class probe_function : public recording_function {
 public:
  struct look {
    std::uint32_t status;
    std::size_t samples;
  };

  // A pace above zero makes every call take that long: as a volume listener, which is called for
  // every block, it keeps the virtual devices (far faster than real time) from running through a
  // long action before the test has acted on it.
  explicit probe_function(const audio::studio::buffer_ptr& buffer,
                          std::chrono::microseconds pace = std::chrono::microseconds(0))
      : m_buffer(buffer), m_pace(pace) {}

  void call_async(const FB::VariantList& args) override;
  // One per call_async, in order.
  std::vector<look> looks() const;

 private:
  // Weak: a probe that is a buffer's volume listener must not keep its buffer alive.
  boost::weak_ptr<audio::audio_buffer> m_buffer;
  const std::chrono::microseconds m_pace;
  mutable std::mutex m_mutex;
  std::vector<look> m_looks;
};
typedef boost::shared_ptr<probe_function> probe_ptr;

// The rig's microphone as a pipe that the test feeds: a capture stream gets a block only once
// the test has written it, so the test decides when the next stream callback comes. Make it
// after the audio system has started (its start-up opens the devices) and before the capture
// stream opens. Closing it (also by destruction) ends the gate: the capture then repeats its
// last frames at full speed.
class gated_microphone {
 public:
  explicit gated_microphone(const alsa_rig& rig);
  ~gated_microphone();
  gated_microphone(const gated_microphone&) = delete;
  gated_microphone& operator=(const gated_microphone&) = delete;

  // Writes the samples into the pipe; keep to a few blocks at a time (the pipe holds 64 KiB).
  void feed(const std::vector<std::int16_t>& samples);
  void close();

 private:
  std::string m_path;
  int m_fd;
};

// A readable form of a result list, so a mismatch shows both sides.
std::string describe(const FB::VariantList& list);

// The frames of every stream block, as the tests' configurations leave them.
const std::size_t block = 1024;

// A table row of the failures of an action: the configuration that makes it fail and the
// translated text it reports.
struct failure_case {
  const char* name;
  const char* config;
  const char* text;
};
void PrintTo(const failure_case& c, std::ostream* os);
std::string failure_name(const ::testing::TestParamInfo<failure_case>& info);

class stream_fixture : public ::testing::Test {
 protected:
  typedef audio::studio::buffer_ptr buffer_ptr;
  typedef audio::studio::options_t options_t;
  typedef std::vector<std::int16_t> samples_t;

  // Writes the configuration (and stream_lang_conf), starts the audio system and makes the
  // studio; with capture_log, the log lines from here on can be read through log().
  stream_fixture();
  ~stream_fixture() override;

  void start(const std::string& vocle_conf = std::string(), bool capture_log = false);
  void TearDown() override;

  audio::studio& the_studio() { return *m_studio; }
  // Closes the page now: its recordings and playbacks are over when this returns.
  void destroy_studio() { m_studio.reset(); }
  const alsa_rig& rig() const { return m_rig; }
  const log_capture& log() const { return *m_log; }
  // Lines at the level from the studio member (its bare name, "start_record") with the message.
  std::size_t logged(const std::string& level, const std::string& function,
                     const std::string& message) const;
  // The buffer's address as the log lines show it.
  static std::string address_of(const buffer_ptr& b);
  buffer_ptr buffer(std::uint64_t index = 0) { return m_studio->get_buffer(index); }
  probe_ptr probe(const buffer_ptr& b) const { return boost::make_shared<probe_function>(b); }
  // A volume listener that paces the devices to about 64 times real time (1 ms per block of
  // 1024 frames): a 600-second action lasts some ten seconds.
  probe_ptr pacer(const buffer_ptr& b) const {
    return boost::make_shared<probe_function>(b, std::chrono::milliseconds(1));
  }

  // The speech fixture with two more seconds of silence, as the microphone delivers it.
  static samples_t speech_input();
  // First and one past the last non-zero sample of the samples.
  static std::pair<std::size_t, std::size_t> spoken_range(const samples_t& samples);
  // Detector options.
  static options_t vad(double gap, double wait, double max, bool statistic = false,
                       bool clip = false);
  // A recording that only a stop or a take-over ends (the longest that the detector accepts).
  static options_t endless() { return vad(600.0, 600.0, 600.0); }

  // The buffer's samples, its status, its stop flag and its owner flag, read under its mutex.
  static samples_t samples_of(const buffer_ptr& b);
  static void set_samples(const buffer_ptr& b, const samples_t& samples);
  struct state {
    std::uint32_t status;
    bool stop_requested;
    bool owned;
  };
  static state state_of(const buffer_ptr& b);
  // True once the buffer is idle and no worker holds it any more.
  static bool settled(const buffer_ptr& b);

  // The ending of an action that failed with the translated text: one report, [false, text], the
  // text logged once as an error, no block heard or played, and the buffer idle, its flag down
  // and no worker on it.
  void expect_failed(const probe_function& done, const probe_function& volume, const buffer_ptr& b,
                     const std::string& text) const;

  // Polls the condition every millisecond until it holds or a generous deadline passes.
  static bool eventually(const std::function<bool()>& condition,
                         std::chrono::seconds deadline = std::chrono::seconds(60));

  // True when every delivery of `before` arrived ahead of every delivery of `after` (by the test
  // kit's sequence numbers).
  static bool all_before(const recording_function& before, const recording_function& after);

  // Samples that are never 0 and never repeat within a block: a pattern found in the speaker's
  // output in one place only.
  static samples_t pattern(std::size_t n);

 private:
  struct audio_session;

  alsa_rig m_rig;
  std::unique_ptr<config_dir> m_cfg;
  std::unique_ptr<log_capture> m_log;
  std::unique_ptr<audio_session> m_audio;
  std::unique_ptr<audio::studio> m_studio;
};

}  // namespace testkit
}  // namespace vocle
