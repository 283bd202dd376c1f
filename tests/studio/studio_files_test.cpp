// Record encoding, default record file names, the file-permission rule and path normalisation.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <portaudio.h>

#include <gtest/gtest.h>
#include <boost/any.hpp>
#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>

#include "common/config_dir.h"
#include "common/scoped_env.h"
#include "common/temp_dir.h"
#include "common/user_database.h"
#include "core/audio/audio_buffer.h"
#include "core/audio/sample_store.h"
#include "core/foundation/binary.h"
#include "core/studio/studio.h"
#include "framework/script_error.h"
#include "log_capture.h"

namespace {

using vocle::audio::audio_buffer;
using vocle::audio::studio;
using vocle::testkit::config_dir;
using vocle::testkit::log_capture;
using vocle::testkit::scoped_env;
using vocle::testkit::temp_dir;
using vocle::testkit::user_database;

const char* const lang_conf = "[en_US]\nFILE_PERMISSION_SECURITY_ERROR=refused (%1%)\n";

std::string current_folder() {
  return boost::filesystem::current_path().string();
}

// The per-user folder is a temporary one, so "@{appdata}" names a known place.
class Paths : public ::testing::Test {
 protected:
  temp_dir m_home;
  scoped_env m_env;
  log_capture m_log;

  Paths() { m_env.set("XDG_DATA_HOME", m_home.path()).set("HOME", m_home.path()); }

  std::string appdata() const { return m_home.path() + "/Tarvix"; }
};

TEST_F(Paths, DefaultNamesWithAndWithoutIndex) {
  config_dir cfg("", lang_conf);
  EXPECT_EQ("@{appdata}/test.wav", studio::default_path("wav"));
  EXPECT_EQ("@{appdata}/test.", studio::default_path(""));
  EXPECT_EQ("@{appdata}/test.2wav", studio::default_path("wav", 2));
  EXPECT_EQ("@{appdata}/test.0wav", studio::default_path("wav", 0));
  EXPECT_EQ("@{appdata}/test.10wav", studio::default_path("wav", 10));
  EXPECT_EQ("@{appdata}/test.18446744073709551615mp3",
            studio::default_path("mp3", std::numeric_limits<std::uint64_t>::max()));
}

TEST_F(Paths, DefaultNamesFollowTheConfiguredPrefixAtEveryCall) {
  config_dir cfg("[audio]\nrecord_file_prefix=@{dlldir}/rec-\n", lang_conf);
  EXPECT_EQ("@{dlldir}/rec-raw", studio::default_path("raw"));
  EXPECT_EQ("@{dlldir}/rec-7raw", studio::default_path("raw", 7));
  cfg.rewrite("vocle.conf", "[audio]\nrecord_file_prefix=/x/y\n");
  EXPECT_EQ("/x/ywav", studio::default_path("wav"));
}

TEST_F(Paths, NormalisationExpandsAndMakesAbsoluteOnly) {
  config_dir cfg("", lang_conf);
  const std::string here = current_folder();
  struct {
    std::string raw;
    std::string resolved;
  } cases[] = {
      {"/rec/a.wav", "/rec/a.wav"},
      {"rec\\a.wav", here + "/rec\\a.wav"},
      {"rec/a.wav", here + "/rec/a.wav"},
      {"../up/a.wav", here + "/../up/a.wav"},
      {"/x/./y/../z.wav", "/x/./y/../z.wav"},
      {"@{appdata}/test.wav", appdata() + "/test.wav"},
      {"@{dlldir}/b.raw", cfg.path() + "/b.raw"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.resolved, studio::normalize_path(c.raw)) << c.raw;
  }
}

TEST_F(Paths, EachNormalisationDrawsAFreshIdentifier) {
  config_dir cfg("", lang_conf);
  const std::string a = studio::normalize_path("/r/@{random-uuid}.wav");
  const std::string b = studio::normalize_path("/r/@{random-uuid}.wav");
  EXPECT_EQ(3u + 36u + 4u, a.size());
  EXPECT_NE(a, b);
}

struct permission_case {
  const char* setting;  // nullptr: the key is absent
  bool allowed;
};

class FilePermission : public Paths, public ::testing::WithParamInterface<permission_case> {};

TEST_P(FilePermission, OnlyTheExactWordsAllow) {
  const permission_case& c = GetParam();
  const std::string conf =
      c.setting ? std::string("[system]\nfile_permission=") + c.setting + "\n" : std::string();
  config_dir cfg(conf, lang_conf);
  const studio::file_access access =
      studio::resolve_file_path("/page/a.wav", studio::default_path("wav"), "SAVE_RECORD_FAILED");
  EXPECT_EQ(c.allowed, access.allowed);
  if (!c.allowed) {
    const std::string value = c.setting ? c.setting : "";
    EXPECT_EQ("refused (" + value + ")", access.refusal);
    EXPECT_EQ("", access.path);
    EXPECT_EQ(std::vector<std::string>{access.refusal}, m_log.messages("ERROR"));
  } else {
    EXPECT_EQ("", access.refusal);
    EXPECT_TRUE(m_log.messages("ERROR").empty());
  }
}

// The configuration reader trims values, so blanks around a word cannot reach the rule from a
// file; quotes, other letter cases and extra characters can.
INSTANTIATE_TEST_SUITE_P(
    Table, FilePermission,
    ::testing::Values(permission_case{"all", true}, permission_case{"sandbox", true},
                      permission_case{nullptr, false}, permission_case{"", false},
                      permission_case{"ALL", false}, permission_case{"All", false},
                      permission_case{"Sandbox", false}, permission_case{"SANDBOX", false},
                      permission_case{"\"all\"", false}, permission_case{"all sandbox", false},
                      permission_case{"allx", false}, permission_case{"none", false}));

TEST_F(Paths, AllUsesThePagePathOrTheDefaultWhenEmpty) {
  config_dir cfg("[system]\nfile_permission=all\n", lang_conf);
  struct {
    std::string raw;
    std::string default_name;
    std::string resolved;
  } cases[] = {
      {"/rec/a.wav", studio::default_path("wav"), "/rec/a.wav"},
      {"rec/a.wav", studio::default_path("wav"), current_folder() + "/rec/a.wav"},
      {"", studio::default_path("mp3"), appdata() + "/test.mp3"},
      {"", studio::default_path("wav", 3), appdata() + "/test.3wav"},
      // An empty format: the bare prefix, a file named "test." in the per-user folder.
      {"", studio::default_path(""), appdata() + "/test."},
  };
  for (const auto& c : cases) {
    const studio::file_access access =
        studio::resolve_file_path(c.raw, c.default_name, "SAVE_RECORD_FAILED");
    EXPECT_TRUE(access.allowed);
    EXPECT_EQ(c.resolved, access.path) << '"' << c.raw << '"';
  }
  EXPECT_TRUE(m_log.messages("WARN").empty());
}

TEST_F(Paths, SandboxAlwaysUsesTheDefaultAndWarns) {
  config_dir cfg("[system]\nfile_permission=sandbox\n", lang_conf);
  studio::file_access access = studio::resolve_file_path(
      "/page/chosen.wav", studio::default_path("wav"), "SAVE_RECORD_FAILED");
  EXPECT_TRUE(access.allowed);
  EXPECT_EQ(appdata() + "/test.wav", access.path);

  access = studio::resolve_file_path("", studio::default_path("wav", 10), "SAVE_RECORD_FAILED");
  EXPECT_EQ(appdata() + "/test.10wav", access.path);

  EXPECT_EQ(
      (std::vector<std::string>{
          "switch system/file_permission is sandbox, save to default file @{appdata}/test.wav",
          "switch system/file_permission is sandbox, save to default file "
          "@{appdata}/test.10wav"}),
      m_log.messages("WARN"));
}

TEST_F(Paths, ARefusalExpandsNothing) {
  config_dir cfg("", lang_conf);
  scoped_env no_home;
  no_home.unset("HOME").unset("XDG_DATA_HOME");
  user_database unknown_user("");
  // With no per-user folder "@{appdata}" cannot be expanded; a refused request never tries.
  const studio::file_access refused = studio::resolve_file_path(
      "@{appdata}/a.wav", studio::default_path("wav"), "SAVE_RECORD_FAILED");
  EXPECT_FALSE(refused.allowed);

  cfg.rewrite("vocle.conf", "[system]\nfile_permission=all\n");
  EXPECT_THROW(studio::resolve_file_path("@{appdata}/a.wav", studio::default_path("wav"),
                                         "SAVE_RECORD_FAILED"),
               std::runtime_error);
}

// The code page's text and the system end a path at its first NUL, so a chosen path that holds
// one would name another file: it is refused with the request's own failure text, before any
// placeholder is expanded. Under "sandbox" the page's path is not used, NUL or not.
TEST_F(Paths, AChosenPathWithANulIsRefusedWithTheRequestsFailure) {
  config_dir cfg("[system]\nfile_permission=all\n",
                 "[en_US]\nSAVE_RECORD_FAILED=save failed\nLOAD_RECORD_FAILED=load failed\n");
  scoped_env no_home;
  no_home.unset("HOME").unset("XDG_DATA_HOME");
  const std::string nul(1, '\0');
  struct {
    std::string raw;
    const char* failure_key;
    const char* refusal;
  } cases[] = {
      {"/rec/saved.wav" + nul + ".txt", "SAVE_RECORD_FAILED", "save failed"},
      {"/rec/folder" + nul + "/a.wav", "SAVE_RECORD_FAILED", "save failed"},
      {nul + "/rec/a.wav", "LOAD_RECORD_FAILED", "load failed"},
      // Refused without expanding, which would fail here: there is no per-user folder.
      {"@{appdata}/a.wav" + nul, "LOAD_RECORD_FAILED", "load failed"},
  };
  for (const auto& c : cases) {
    const studio::file_access access =
        studio::resolve_file_path(c.raw, studio::default_path("wav"), c.failure_key);
    EXPECT_FALSE(access.allowed) << c.refusal;
    EXPECT_EQ(c.refusal, access.refusal);
    EXPECT_EQ("", access.path);
  }
  EXPECT_EQ(std::vector<std::string>(std::size(cases), "path refused: it holds a NUL character"),
            m_log.messages("ERROR"));

  cfg.rewrite("vocle.conf", "[system]\nfile_permission=sandbox\n");
  const studio::file_access sandboxed =
      studio::resolve_file_path("/rec/a" + nul + ".wav", "/sandbox/test.wav", "SAVE_RECORD_FAILED");
  EXPECT_TRUE(sandboxed.allowed);
  EXPECT_EQ("/sandbox/test.wav", sandboxed.path);
}

class EncodeRecord : public ::testing::Test {
 protected:
  config_dir m_cfg{""};
  log_capture m_log;
  studio m_studio;
  studio::buffer_ptr m_buffer = m_studio.get_buffer(0);

  static std::uint32_t u32(const vocle::binary& b, std::size_t at) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(b.begin()) + at;
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t(p[3]) << 24);
  }
};

TEST_F(EncodeRecord, AnUnknownFormatFailsBeforeTheBufferIsTouched) {
  for (const std::string format : {"WAV", "", "raw ", "pcm"}) {
    try {
      m_studio.encode_record(m_buffer, format);
      ADD_FAILURE() << "no error for \"" << format << '"';
    } catch (const FB::script_error& e) {
      EXPECT_EQ("wrong encoding type " + format, e.what());
    }
  }
  EXPECT_TRUE(m_log.messages("").empty());
}

TEST_F(EncodeRecord, AnEmptyBufferIsEncodedLikeAnyOther) {
  boost::shared_ptr<vocle::binary> raw = m_studio.encode_record(m_buffer, "raw");
  ASSERT_TRUE(raw);
  EXPECT_EQ(0u, raw->size());
  boost::shared_ptr<vocle::binary> wav = m_studio.encode_record(m_buffer, "wav");
  EXPECT_EQ(44u, wav->size());
  EXPECT_EQ(2u, m_log.count("DEBUG", "got 0 samples"));
  EXPECT_EQ(1u, m_log.count("DEBUG", "encoded to binary 0"));
  EXPECT_EQ(1u, m_log.count("DEBUG", "encoded to binary 44"));
}

TEST_F(EncodeRecord, UsesTheSamplesAndTheStudiosCurrentParameters) {
  const std::int16_t samples[3] = {1, -2, 0x1234};
  m_buffer->append(samples, 3);
  boost::shared_ptr<vocle::binary> raw = m_studio.encode_record(m_buffer, "raw");
  ASSERT_EQ(6u, raw->size());
  EXPECT_EQ(0, std::memcmp(raw->data(), "\x01\x00\xfe\xff\x34\x12", 6));

  m_studio.set_sample_rate(8000.0);
  boost::shared_ptr<vocle::binary> wav = m_studio.encode_record(m_buffer, "wav");
  ASSERT_EQ(50u, wav->size());
  EXPECT_EQ(8000u, u32(*wav, 24));  // the rate set a moment ago
  EXPECT_EQ(6u, u32(*wav, 40));     // data size
  EXPECT_EQ(0, std::memcmp(wav->data() + 44, raw->data(), 6));
  EXPECT_EQ(3u, m_buffer->m_samples.size()) << "the buffer keeps its samples";
  EXPECT_EQ(2u, m_log.count("DEBUG", "got 3 samples"));
  EXPECT_EQ(1u, m_log.count("DEBUG", "encoded to binary 50"));
}

// A recording appends whole blocks under the buffer's lock while the page reads the record out:
// every result is a snapshot made of whole blocks, in order.
TEST_F(EncodeRecord, ARecordingBufferIsEncodedAsItStoodAtTheCopy) {
  const std::size_t block = 160;
  std::atomic<bool> stop{false};
  std::thread recording([&] {
    std::vector<std::int16_t> samples(block);
    for (std::int16_t n = 0; !stop.load() && n < 2000; ++n) {
      std::fill(samples.begin(), samples.end(), n);
      boost::mutex::scoped_lock lock(m_buffer->m_mutex);
      m_buffer->append(samples.data(), samples.size());
    }
  });
  std::size_t last = 0;
  for (int i = 0; i < 200; ++i) {
    boost::shared_ptr<vocle::binary> raw = m_studio.encode_record(m_buffer, "raw");
    const std::size_t count = raw->size() / 2;
    ASSERT_EQ(0u, count % block);
    ASSERT_GE(count, last);
    const std::int16_t* s = reinterpret_cast<const std::int16_t*>(raw->begin());
    for (std::size_t k = 0; k < count; ++k) {
      ASSERT_EQ(static_cast<std::int16_t>(k / block), s[k]);
    }
    last = count;
  }
  stop = true;
  recording.join();
}

// The sample a recording holds at position k: neighbours differ, and so do the samples at the
// same place of different chunks.
std::int16_t pattern(std::size_t k) {
  return static_cast<std::int16_t>((k * 2654435761u) >> 13);
}

// An error text when the bytes are not the "raw" form of the pattern's first samples.
std::string pattern_prefix_fault(const char* bytes, std::size_t length, std::size_t recorded) {
  if (length % 2 != 0) {
    return "an odd byte count " + std::to_string(length);
  }
  const std::size_t count = length / 2;
  if (count > recorded) {
    return std::to_string(count) + " samples, more than the " + std::to_string(recorded) +
           " recorded";
  }
  for (std::size_t k = 0; k < count; ++k) {
    const std::int16_t got =
        static_cast<std::int16_t>(static_cast<unsigned char>(bytes[2 * k]) |
                                  static_cast<unsigned char>(bytes[2 * k + 1]) << 8);
    if (got != pattern(k)) {
      return "sample " + std::to_string(k) + " of " + std::to_string(count) + " is " +
             std::to_string(got) + ", not " + std::to_string(pattern(k));
    }
  }
  return std::string();
}

std::string base64_decoded(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  std::uint32_t bits = 0;
  int held = 0;
  for (char c : text) {
    if (c == '=') {
      break;
    }
    bits = (bits << 6) | static_cast<std::uint32_t>(alphabet.find(c));
    held += 6;
    if (held >= 8) {
      held -= 8;
      bytes += static_cast<char>((bits >> held) & 0xff);
    }
  }
  return bytes;
}

// A recording goes on, block by block through the buffer's stream callback, while other threads
// read the same record out as "raw", as "wav", as Base64 text and inside a multi-record body.
// Whatever moment a read-out catches, it is the record as it stood then: the pattern's first
// samples, whole and in order, never a sample from a block being written or from a chunk that
// is being filled. The blocks are of odd sizes, so the store's chunks end inside them. The
// recording waits for a read-out to finish between its blocks, so reads fall all along it.
TEST_F(EncodeRecord, ReadOutsDuringARecordingAreSnapshotsOfIt) {
  std::map<std::string, boost::any> options;
  options["vad_wait"] = 600.0;
  options["vad_max"] = 600.0;
  options["vad_gap"] = 600.0;
  options["vad_clip"] = false;
  {
    boost::mutex::scoped_lock lock(m_buffer->m_mutex);
    m_buffer->prepare_record(16000.0, options);
  }
  // A second record of the body, which nobody records into.
  const studio::buffer_ptr other = m_studio.get_buffer(1);
  const std::int16_t fixed[3] = {7, -7, 700};
  other->append(fixed, 3);
  const std::map<std::int32_t, studio::buffer_ptr> body_records = {{0, m_buffer}, {1, other}};

  const std::size_t blocks = 160;
  const std::size_t sizes[] = {1000, 1023, 441, 2048, 1};
  std::size_t total = 0;
  for (std::size_t b = 0; b < blocks; ++b) {
    total += sizes[b % 5];
  }
  ASSERT_GT(total, 4 * vocle::audio::sample_store::chunk_samples);

  std::atomic<std::size_t> recorded{0};  // samples handed to the callback so far
  std::atomic<std::size_t> stored{0};    // samples the callback has returned from
  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> reads{0};
  std::atomic<bool> failed{false};
  std::mutex faults_mutex;
  std::vector<std::string> faults;
  const auto fault = [&](const std::string& what) {
    std::lock_guard<std::mutex> lock(faults_mutex);
    faults.push_back(what);
    failed = true;
  };

  // Each reader reads until the recording has ended, then once more: that last read sees it all.
  // read returns the samples it found, or a fault.
  typedef std::function<std::string(std::size_t&)> read_out;
  const auto reader = [&](const char* name, std::size_t& count, read_out read) {
    return std::thread([&, name, read] {
      try {
        bool last = false;
        while (!last && !failed) {
          last = done.load();
          const std::size_t before = stored.load();
          std::string problem = read(count);
          if (problem.empty()) {
            // The samples found lie between what was stored before the read-out began and what
            // had been handed to the callback when it ended.
            if (count < before) {
              problem = std::to_string(count) + " samples, fewer than the " +
                        std::to_string(before) + " stored before the read-out";
            }
          }
          if (!problem.empty()) {
            fault(std::string(name) + ": " + problem);
          }
          ++reads;
        }
      } catch (const std::exception& e) {
        fault(std::string(name) + " threw " + e.what());
      }
    });
  };
  // Each reader's count of samples in its latest read-out; read after the joins.
  std::size_t counts[4] = {};
  std::vector<std::thread> readers;
  readers.push_back(reader("raw", counts[0], [&](std::size_t& count) {
    const boost::shared_ptr<vocle::binary> raw = m_studio.encode_record(m_buffer, "raw");
    count = raw->size() / 2;
    return pattern_prefix_fault(raw->begin(), raw->size(), recorded.load());
  }));
  readers.push_back(reader("wav", counts[1], [&](std::size_t& count) {
    const boost::shared_ptr<vocle::binary> wav = m_studio.encode_record(m_buffer, "wav");
    if (wav->size() < 44 || u32(*wav, 40) != wav->size() - 44 || u32(*wav, 4) != wav->size() - 8) {
      return std::string("a header that does not describe the data");
    }
    count = (wav->size() - 44) / 2;
    return pattern_prefix_fault(wav->begin() + 44, wav->size() - 44, recorded.load());
  }));
  readers.push_back(reader("get_record", counts[2], [&](std::size_t& count) {
    const std::string bytes = base64_decoded(m_studio.get_record(0, "raw"));
    count = bytes.size() / 2;
    return pattern_prefix_fault(bytes.data(), bytes.size(), recorded.load());
  }));
  readers.push_back(reader("concat_records", counts[3], [&](std::size_t& count) {
    const boost::shared_ptr<vocle::binary> body = m_studio.concat_records(body_records, "raw");
    if (body->size() < 12 || u32(*body, 0) != 2 || u32(*body, 8) != 6 ||
        12 + u32(*body, 4) + 6 != body->size() ||
        std::memcmp(body->begin() + body->size() - 6, "\x07\x00\xf9\xff\xbc\x02", 6) != 0) {
      return std::string("a body that is not the two records");
    }
    count = u32(*body, 4) / 2;
    return pattern_prefix_fault(body->begin() + 12, u32(*body, 4), recorded.load());
  }));

  std::vector<std::int16_t> block;
  std::size_t position = 0;
  for (std::size_t b = 0; b < blocks && !failed; ++b) {
    block.resize(sizes[b % 5]);
    for (std::size_t k = 0; k < block.size(); ++k) {
      block[k] = pattern(position + k);
    }
    // Counted before the block goes in: a reader that sees the block has seen this count.
    recorded = position + block.size();
    const std::int16_t* channels[1] = {block.data()};
    if (m_buffer->record_callback(channels, nullptr, block.size(), nullptr, 0) != paContinue) {
      fault("the recording ended at block " + std::to_string(b));
      break;
    }
    position += block.size();
    stored = position;
    // Lets at least one read-out finish before the next block.
    const std::uint64_t seen = reads.load();
    while (reads.load() == seen && !failed) {
      std::this_thread::yield();
    }
  }
  done = true;
  for (std::thread& t : readers) {
    t.join();
  }
  EXPECT_EQ(std::vector<std::string>(), faults);
  EXPECT_EQ(total, position);
  for (const std::size_t count : counts) {
    EXPECT_EQ(total, count) << "the read-out after the recording holds all of it";
  }
}

}  // namespace
