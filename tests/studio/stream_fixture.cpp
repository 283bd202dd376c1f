#include "stream_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include <boost/format.hpp>
#include <boost/thread/locks.hpp>
#include <portaudiocpp/PortAudioCpp.hxx>

#include "common/speech_fixture.h"

namespace vocle {
namespace testkit {

const char* const stream_lang_conf =
    "[en_US]\n"
    "AUDIO_NO_INPUT_DEVICE=no microphone here\n"
    "AUDIO_INVALID_INPUT_DEVICE=that microphone is gone\n"
    "AUDIO_OPEN_INPUT_DEVICE_FAILURE=the microphone refused\n"
    "AUDIO_NO_OUTPUT_DEVICE=no speaker here\n"
    "AUDIO_INVALID_OUTPUT_DEVICE=that speaker is gone\n"
    "AUDIO_OPEN_OUTPUT_DEVICE_FAILURE=the speaker refused\n"
    "AUDIO_BUFFER_ALREADY_STOPPED=nothing to stop\n";

void probe_function::call_async(const FB::VariantList& args) {
  look seen{0, 0};
  if (boost::shared_ptr<audio::audio_buffer> b = m_buffer.lock()) {
    seen.status = b->m_status;
    // The caller holds the buffer's mutex (see the class comment).
    seen.samples = b->m_samples.size();
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_looks.push_back(seen);
  }
  recording_function::call_async(args);
  if (m_pace.count() > 0) {
    std::this_thread::sleep_for(m_pace);
  }
}

std::vector<probe_function::look> probe_function::looks() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_looks;
}

gated_microphone::gated_microphone(const alsa_rig& rig) : m_path(rig.microphone_file()) {
  std::remove(m_path.c_str());
  if (::mkfifo(m_path.c_str(), 0600) != 0) {
    throw std::runtime_error("gated_microphone: cannot make the pipe " + m_path);
  }
  // Read and write: the open does not wait for a reader, and the capture stream's open finds a
  // writer, so it does not wait either.
  m_fd = ::open(m_path.c_str(), O_RDWR);
  if (m_fd < 0) {
    throw std::runtime_error("gated_microphone: cannot open the pipe " + m_path);
  }
}

gated_microphone::~gated_microphone() {
  close();
}

void gated_microphone::feed(const std::vector<std::int16_t>& samples) {
  std::string bytes(samples.size() * 2, '\0');
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const std::uint16_t u = static_cast<std::uint16_t>(samples[i]);
    bytes[2 * i] = static_cast<char>(u & 0xff);
    bytes[2 * i + 1] = static_cast<char>(u >> 8);
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      throw std::runtime_error("gated_microphone: cannot write the pipe");
    }
    done += static_cast<std::size_t>(n);
  }
}

void gated_microphone::close() {
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
}

void PrintTo(const failure_case& c, std::ostream* os) {
  *os << c.name;
}

std::string failure_name(const ::testing::TestParamInfo<failure_case>& info) {
  return info.param.name;
}

std::string describe(const FB::VariantList& list) {
  std::string text = "[";
  for (const FB::variant& item : list) {
    if (text.size() > 1) {
      text += ", ";
    }
    if (item.kind() == FB::variant::k_string) {
      text += "\"" + item.convert_cast<std::string>() + "\"";
    } else {
      text += item.convert_cast<std::string>();
    }
  }
  return text + "]";
}

struct stream_fixture::audio_session {
  audio_session() { audio::studio::initialize(); }
  ~audio_session() { portaudio::System::terminate(); }
};

stream_fixture::stream_fixture() {}

stream_fixture::~stream_fixture() {}

void stream_fixture::start(const std::string& vocle_conf, bool capture_log) {
  m_cfg.reset(new config_dir(vocle_conf, stream_lang_conf));
  if (capture_log) {
    m_log.reset(new log_capture());
  }
  m_audio.reset(new audio_session());
  m_studio.reset(new audio::studio());
}

void stream_fixture::TearDown() {
  m_studio.reset();
  // As at the end of the process: no worker may outlive the audio system or the configuration.
  EXPECT_TRUE(audio::studio::shutdown_workers());
  m_audio.reset();
  m_log.reset();
  m_cfg.reset();
}

std::size_t stream_fixture::logged(const std::string& level, const std::string& function,
                                   const std::string& message) const {
  std::size_t n = 0;
  for (const log_capture::line& l : m_log->lines()) {
    n += l.level == level && l.function == "vocle::audio::studio::" + function &&
         l.message == message;
  }
  return n;
}

std::string stream_fixture::address_of(const buffer_ptr& b) {
  return (boost::format("%1%") % static_cast<const void*>(b.get())).str();
}

stream_fixture::samples_t stream_fixture::speech_input() {
  return alsa_rig::with_silence(speech_samples(), 2.0);
}

std::pair<std::size_t, std::size_t> stream_fixture::spoken_range(const samples_t& samples) {
  const auto loud = [](std::int16_t x) { return x != 0; };
  const std::size_t first = static_cast<std::size_t>(
      std::find_if(samples.begin(), samples.end(), loud) - samples.begin());
  const std::size_t last = static_cast<std::size_t>(
      samples.rend() - std::find_if(samples.rbegin(), samples.rend(), loud));
  return std::make_pair(first, last);
}

stream_fixture::options_t stream_fixture::vad(double gap, double wait, double max, bool statistic,
                                              bool clip) {
  options_t options;
  options["vad_gap"] = gap;
  options["vad_wait"] = wait;
  options["vad_max"] = max;
  options["vad_statistic"] = statistic;
  options["vad_clip"] = clip;
  return options;
}

stream_fixture::samples_t stream_fixture::samples_of(const buffer_ptr& b) {
  boost::lock_guard<boost::mutex> lock(b->m_mutex);
  return b->m_samples.to_vector();
}

void stream_fixture::set_samples(const buffer_ptr& b, const samples_t& samples) {
  boost::lock_guard<boost::mutex> lock(b->m_mutex);
  b->m_samples.assign(samples);
}

stream_fixture::state stream_fixture::state_of(const buffer_ptr& b) {
  boost::lock_guard<boost::mutex> lock(b->m_mutex);
  return state{b->m_status, b->m_stop_requested, b->m_owned};
}

bool stream_fixture::settled(const buffer_ptr& b) {
  const state s = state_of(b);
  return s.status == audio::audio_buffer::status_idle && !s.owned;
}

void stream_fixture::expect_failed(const probe_function& done, const probe_function& volume,
                                   const buffer_ptr& b, const std::string& text) const {
  ASSERT_EQ(1u, done.count());
  EXPECT_EQ((FB::VariantList{false, text}), done.lists().at(0)) << describe(done.lists().at(0));
  EXPECT_EQ(1u, log().count("ERROR", text));
  EXPECT_EQ(0u, volume.count());
  const state s = state_of(b);
  EXPECT_EQ(audio::audio_buffer::status_idle, s.status);
  EXPECT_FALSE(s.stop_requested);
  EXPECT_FALSE(s.owned);
}

bool stream_fixture::eventually(const std::function<bool()>& condition,
                                std::chrono::seconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool stream_fixture::all_before(const recording_function& before, const recording_function& after) {
  std::uint64_t latest = 0;
  for (const recording_function::delivery& d : before.deliveries()) {
    latest = std::max(latest, d.sequence);
  }
  for (const recording_function::delivery& d : after.deliveries()) {
    if (d.sequence < latest) {
      return false;
    }
  }
  return true;
}

stream_fixture::samples_t stream_fixture::pattern(std::size_t n) {
  samples_t samples(n);
  for (std::size_t i = 0; i < n; ++i) {
    // 1..30000 and its negative, a step that is prime to the period: no zero, and the samples of
    // one block are all different.
    const int v = static_cast<int>((i * 7919) % 30000) + 1;
    samples[i] = static_cast<std::int16_t>(i % 2 ? -v : v);
  }
  return samples;
}

}  // namespace testkit
}  // namespace vocle
