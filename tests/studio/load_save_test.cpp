// Loading records from files and saving them, one at a time and as lists: real files in
// temporary folders, under each value of "system.file_permission".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>

#include "common/config_dir.h"
#include "common/recording_function.h"
#include "common/scoped_env.h"
#include "common/temp_dir.h"
#include "common/user_database.h"
#include "core/audio/audio_buffer.h"
#include "core/studio/studio.h"
#include "framework/script_error.h"
#include "log_capture.h"
#include "record_fixture.h"

namespace {

namespace fs = boost::filesystem;
using vocle::audio::studio;
using vocle::testkit::config_dir;
using vocle::testkit::log_capture;
using vocle::testkit::raw_bytes;
using vocle::testkit::read_file;
using vocle::testkit::record_fixture;
using vocle::testkit::recorder;
using vocle::testkit::recording_function;
using vocle::testkit::samples_of_bytes;
using vocle::testkit::samples_t;
using vocle::testkit::scoped_env;
using vocle::testkit::temp_dir;
using vocle::testkit::user_database;

const char* const lang_conf =
    "[en_US]\n"
    "LOAD_RECORD_FAILED=load failed\n"
    "SAVE_RECORD_FAILED=save failed\n"
    "FILE_PERMISSION_SECURITY_ERROR=refused (%1%)\n";

std::string permission_conf(const char* value) {
  return value ? std::string("[system]\nfile_permission=") + value + "\n" : std::string();
}

// A readable form of a result, so a mismatch shows both sides.
std::string describe(const FB::variant& v) {
  switch (v.kind()) {
    case FB::variant::k_empty:
      return "empty";
    case FB::variant::k_string:
      return "\"" + v.convert_cast<std::string>() + "\"";
    case FB::variant::k_list: {
      std::string text = "[";
      for (const FB::variant& item : v.list()) {
        text += (text.size() > 1 ? ", " : "") + describe(item);
      }
      return text + "]";
    }
    case FB::variant::k_map: {
      std::string text = "{";
      for (const auto& item : v.map()) {
        text += (text.size() > 1 ? ", " : "") + item.first + ": " + describe(item.second);
      }
      return text + "}";
    }
    default:
      return v.convert_cast<std::string>();
  }
}

std::string describe(const FB::VariantList& list) {
  return describe(FB::variant(list));
}

FB::VariantMap entry(std::uint64_t index, bool success, const std::string& detail) {
  return FB::VariantMap{{"index", index}, {"success", success}, {"detail", detail}};
}

// What sox reads from a file, as 16-bit samples.
samples_t decoded_by_sox(const std::string& file, const temp_dir& dir) {
  const std::string out = dir.file("sox-out.raw");
  const std::string command = "sox -t wav '" + file + "' -t raw -e signed-integer -b 16 -L '" +
                              out + "' 2>'" + dir.file("sox.err") + "'";
  if (std::system(command.c_str()) != 0) {
    ADD_FAILURE() << "sox failed: " << read_file(dir.file("sox.err"));
    return samples_t();
  }
  return samples_of_bytes(read_file(out));
}

const samples_t sample_record = {0, 1, -1, 32767, -32768, 256, -256, 12345};

// The per-user folder is a temporary one, so "@{appdata}" names a known place; page paths live
// in a folder of their own. Pages may use any path unless a test says otherwise.
class Files : public record_fixture {
 protected:
  temp_dir m_home;
  temp_dir m_dir;
  scoped_env m_env;

  Files() : record_fixture(permission_conf("all"), lang_conf) {
    m_env.set("XDG_DATA_HOME", m_home.path()).set("HOME", m_home.path());
  }

  void permit(const char* value) { m_cfg.rewrite("vocle.conf", permission_conf(value)); }

  std::string appdata(const std::string& name) const { return m_home.path() + "/Tarvix/" + name; }

  FB::VariantList save(std::uint64_t index, const std::string& format, const std::string& path) {
    recorder r = boost::make_shared<recording_function>();
    m_studio.threaded_save_record(index, format, path, r);
    return result_of(r);
  }

  FB::VariantList load(std::uint64_t index, const std::string& path, bool append = false,
                       const std::string& format = "raw") {
    recorder r = boost::make_shared<recording_function>();
    m_studio.threaded_load_record(index, format, path, append, r);
    return result_of(r);
  }

  FB::VariantList save_list(const studio::save_record_params& records) {
    recorder r = boost::make_shared<recording_function>();
    m_studio.threaded_save_records(records, r);
    return result_of(r);
  }

  std::vector<std::string> errors() const { return m_log.messages("ERROR"); }
};

// ---- the permission rule, end to end ----

TEST_F(Files, AllSavesAndLoadsThePagesPathSampleForSample) {
  fill(0, sample_record);
  const std::string path = m_dir.file("rec.raw");
  EXPECT_EQ(describe({true, path}), describe(save(0, "raw", path)));
  EXPECT_EQ(raw_bytes(sample_record), read_file(path));

  EXPECT_EQ(describe({true, path}), describe(load(1, path)));
  EXPECT_EQ(sample_record, samples(1));

  EXPECT_EQ(1u, m_log.count("DEBUG", "raw path " + path));
  EXPECT_EQ(1u, m_log.count("INFO", "index 0, format raw, path " + path));
  EXPECT_EQ(1u, m_log.count("DEBUG", "save to file " + path + ", size 16"));
  EXPECT_EQ(1u, m_log.count("INFO", "file saved"));
  EXPECT_EQ(1u, m_log.count("INFO", "index 1, format raw, path " + path));
  EXPECT_EQ(1u, m_log.count("INFO", "file read success, 16 bytes from " + path));
  EXPECT_TRUE(errors().empty());
}

TEST_F(Files, AllWithAnEmptyPathUsesTheExpandedDefaultName) {
  fill(0, sample_record);
  EXPECT_EQ(describe({true, appdata("test.raw")}), describe(save(0, "raw", "")));
  EXPECT_EQ(raw_bytes(sample_record), read_file(appdata("test.raw")));
  EXPECT_EQ(describe({true, appdata("test.raw")}), describe(load(2, "")));
  EXPECT_EQ(sample_record, samples(2));
}

TEST_F(Files, SandboxReportsTheExpandedDefaultPathNotThePagesOne) {
  permit("sandbox");
  fill(0, sample_record);
  const std::string page_path = m_dir.file("page.raw");
  EXPECT_EQ(describe({true, appdata("test.raw")}), describe(save(0, "raw", page_path)));
  EXPECT_FALSE(fs::exists(page_path));
  EXPECT_EQ(raw_bytes(sample_record), read_file(appdata("test.raw")));

  EXPECT_EQ(describe({true, appdata("test.raw")}), describe(load(1, page_path)));
  EXPECT_EQ(sample_record, samples(1));
  EXPECT_EQ(2u, m_log.count("WARN",
                            "switch system/file_permission is sandbox, save to default file "
                            "@{appdata}/test.raw"));
}

TEST_F(Files, EveryOtherPermissionRefusesBeforeAnythingIsTouched) {
  // (The configuration file trims its values, so spaces around a word cannot reach the rule.)
  const char* refusing[] = {nullptr, "", "ALL", "Sandbox", "sand box", "none"};
  const std::string path = m_dir.file("rec.raw");
  fill(0, sample_record);
  for (const char* value : refusing) {
    SCOPED_TRACE(value ? std::string("\"") + value + "\"" : std::string("unset"));
    permit(value);
    const std::string refusal = std::string("refused (") + (value ? value : "") + ")";
    const std::size_t before = m_log.count("ERROR", refusal);
    // An index far beyond the buffer limit: a refusal comes before any buffer is looked up.
    EXPECT_EQ(describe({false, refusal}), describe(save(50, "raw", path)));
    EXPECT_EQ(describe({false, refusal}), describe(load(50, path)));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(1u, m_studio.buffer_count());
    EXPECT_EQ(before + 2, m_log.count("ERROR", refusal));
  }
  EXPECT_EQ(sample_record, samples(0));
}

TEST_F(Files, StartersFailTheCallOnAnIndexAtTheBufferLimit) {
  auto r = boost::make_shared<recording_function>();
  EXPECT_THROW(m_studio.threaded_save_record(10, "raw", m_dir.file("a.raw"), r), FB::script_error);
  EXPECT_THROW(m_studio.threaded_load_record(10, "raw", m_dir.file("a.raw"), false, r),
               FB::script_error);
  EXPECT_EQ(0u, r->count());
  EXPECT_FALSE(fs::exists(m_dir.file("a.raw")));
}

// ---- loading ----

TEST_F(Files, LoadTakesTheBytesAsLittleEndianSamples) {
  const samples_t before = {7, 8, 9};
  // A file read in several pieces into several storage chunks, with an odd last byte.
  std::string long_file(300001, '\0');
  std::uint32_t x = 11;
  for (char& byte : long_file) {
    x = x * 1664525u + 1013904223u;
    byte = static_cast<char>(x >> 24);
  }
  const samples_t long_samples = samples_of_bytes(long_file);
  samples_t long_appended = before;
  long_appended.insert(long_appended.end(), long_samples.begin(), long_samples.end());
  struct {
    const char* name;
    std::string contents;
    bool append;
    samples_t expected;
  } cases[] = {
      {"five bytes: the odd last byte is left out",
       std::string("\x01\x02\x03\x80\x7f", 5),
       false,
       {0x0201, static_cast<std::int16_t>(0x8003)}},
      {"an empty file empties the buffer", "", false, {}},
      {"append adds after what was there",
       std::string("\xff\xff\x02\x00", 4),
       true,
       {7, 8, 9, -1, 2}},
      {"append of an empty file keeps the samples", "", true, before},
      {"a long file replaces the samples", long_file, false, long_samples},
      {"a long file is appended whole", long_file, true, long_appended},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fill(0, before);
    const std::string path = m_dir.write("in.bin", c.contents);
    EXPECT_EQ(describe({true, path}), describe(load(0, path, c.append)));
    EXPECT_EQ(c.expected, samples(0));
  }
}

TEST_F(Files, AFailedLoadLeavesTheSamplesAsTheyWere) {
  fill(0, sample_record);
  const std::string missing = m_dir.file("missing.raw");
  EXPECT_EQ(describe({false, "load failed"}), describe(load(0, missing)));
  EXPECT_EQ(describe({false, "load failed"}), describe(load(0, m_dir.path())));  // a folder
  EXPECT_EQ(sample_record, samples(0));
  EXPECT_EQ(2u, m_log.count("ERROR", "file open failure"));
}

// The page names the path: a FIFO (whose open would wait for a writer, and a closing page with
// it) or a device is refused at once, like a missing file. Should the load wait all the same, the
// test gives the FIFO a writer so that the worker ends, and fails.
TEST_F(Files, ALoadOfWhatIsNoRegularFileFailsWithoutWaiting) {
  fill(0, sample_record);
  const std::string fifo = m_dir.file("pipe.raw");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  for (const std::string& path : {fifo, std::string("/dev/zero")}) {
    recorder r = boost::make_shared<recording_function>();
    m_studio.threaded_load_record(0, "raw", path, false, r);
    const bool reported = r->wait_for(1);
    if (!reported) {
      const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) {
        ::close(writer);
      }
    }
    ASSERT_TRUE(reported) << "the load of " << path << " waits";
    EXPECT_EQ(describe({false, "load failed"}), describe(r->lists().at(0))) << path;
  }
  EXPECT_EQ(sample_record, samples(0));
  EXPECT_EQ(2u, m_log.count("ERROR", "file open failure"));
}

TEST_F(Files, ALoadedWavBringsItsHeaderAsTwentyTwoSamplesFirst) {
  fill(0, sample_record);
  const std::string path = m_dir.file("rec.wav");
  EXPECT_EQ(describe({true, path}), describe(save(0, "wav", path)));
  // What was written is a WAV file holding the record, as an independent reader sees it.
  EXPECT_EQ(sample_record, decoded_by_sox(path, m_dir));

  EXPECT_EQ(describe({true, path}), describe(load(1, path)));
  const samples_t loaded = samples(1);
  ASSERT_EQ(22u + sample_record.size(), loaded.size());
  EXPECT_EQ(samples_of_bytes("RIFF"), samples_t(loaded.begin(), loaded.begin() + 2));
  EXPECT_EQ(sample_record, samples_t(loaded.begin() + 22, loaded.end()));
}

// ---- saving ----

TEST_F(Files, OneMissingFolderLevelIsMadeTwoAreNot) {
  fill(0, sample_record);
  const std::string one = m_dir.file("new/rec.raw");
  EXPECT_EQ(describe({true, one}), describe(save(0, "raw", one)));
  EXPECT_EQ(raw_bytes(sample_record), read_file(one));

  const std::string two = m_dir.file("a/b/rec.raw");
  EXPECT_EQ(describe({false, "save failed"}), describe(save(0, "raw", two)));
  EXPECT_FALSE(fs::exists(m_dir.file("a")));
  EXPECT_EQ(1u, m_log.count("ERROR", "failed to create dir: " + m_dir.file("a/b")));

  // A file where the folder should be.
  m_dir.write("plain", "x");
  EXPECT_EQ(describe({false, "save failed"}),
            describe(save(0, "raw", m_dir.file("plain/rec.raw"))));
  EXPECT_EQ(1u, m_log.count("ERROR", "failed to create dir: " + m_dir.file("plain")));
}

TEST_F(Files, ASaveReplacesAnExistingFileWhole) {
  const std::string path = m_dir.write("rec.raw", std::string(100, 'x'));
  fill(0, {1, 2});
  EXPECT_EQ(describe({true, path}), describe(save(0, "raw", path)));
  EXPECT_EQ(raw_bytes({1, 2}), read_file(path));
  // Nothing is left beside it.
  std::size_t entries =
      std::distance(fs::directory_iterator(m_dir.path()), fs::directory_iterator());
  EXPECT_EQ(1u, entries);
}

TEST_F(Files, AnEmptyBufferWritesAnEmptyFile) {
  const std::string path = m_dir.file("empty.raw");
  EXPECT_EQ(describe({true, path}), describe(save(0, "raw", path)));
  ASSERT_TRUE(fs::exists(path));
  EXPECT_EQ(0u, fs::file_size(path));
}

TEST_F(Files, AFormatWithoutEncoderFailsTheSaveAndKeepsTheOldFile) {
  fill(0, sample_record);
  const std::string path = m_dir.write("rec.raw", "old");
  struct {
    std::string format;
    std::string path;
  } cases[] = {
      {"", path},
      {"ogg", path},
      // "all" with no path and no format: the bare prefix, a file named "test.".
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("format \"" + c.format + "\", path \"" + c.path + "\"");
    EXPECT_EQ(describe({false, "wrong encoding type " + c.format}),
              describe(save(0, c.format, c.path)));
  }
  EXPECT_EQ("old", read_file(path));
  EXPECT_FALSE(fs::exists(appdata("test.")));
}

TEST_F(Files, APlaceholderThatCannotBeExpandedFailsTheCall) {
  m_env.unset("XDG_DATA_HOME").unset("HOME");
  user_database unknown_user("");
  auto r = boost::make_shared<recording_function>();
  EXPECT_THROW(m_studio.threaded_save_record(0, "raw", "@{appdata}/a.raw", r), std::runtime_error);
  EXPECT_EQ(0u, r->count());
}

// ---- list saves ----

TEST_F(Files, AListGoesOnPastAFailedRecord) {
  fill(0, {1});
  fill(1, {2, 2});
  fill(2, {3, 3, 3});
  const std::string first = m_dir.file("0.raw");
  const std::string third = m_dir.file("2.raw");
  const FB::VariantList result = save_list({
      {0, first, "raw"},
      {1, m_dir.file("x/y/1.raw"), "raw"},
      {2, third, "raw"},
  });
  EXPECT_EQ(describe({false, FB::VariantList{entry(0, true, first), entry(1, false, "save failed"),
                                             entry(2, true, third)}}),
            describe(result));
  EXPECT_EQ(raw_bytes({1}), read_file(first));
  EXPECT_EQ(raw_bytes({3, 3, 3}), read_file(third));
  EXPECT_EQ(1u,
            m_log.count("DEBUG", "index: 1, format: raw, raw_path: " + m_dir.file("x/y/1.raw")));
}

TEST_F(Files, AFailureInsideTheListWorkerBecomesItsEntry) {
  fill(0, {5});
  const std::string ok = m_dir.file("ok.raw");
  const FB::VariantList result = save_list({
      {0, m_dir.file("a.raw"), ""},
      {10, m_dir.file("b.raw"), "raw"},  // the buffer limit is 10
      {0, ok, "raw"},
  });
  EXPECT_EQ(describe({false, FB::VariantList{entry(0, false, "wrong encoding type "),
                                             entry(10, false, "reach max_buffer_count limit"),
                                             entry(0, true, ok)}}),
            describe(result));
  EXPECT_EQ(raw_bytes({5}), read_file(ok));
  EXPECT_FALSE(fs::exists(m_dir.file("a.raw")));
  EXPECT_FALSE(fs::exists(m_dir.file("b.raw")));
}

TEST_F(Files, AListWhosePlaceholdersCannotBeExpandedReportsEachRecord) {
  permit("sandbox");
  m_env.unset("XDG_DATA_HOME").unset("HOME");
  user_database unknown_user("");
  const FB::VariantList result = save_list({{0, "", "raw"}, {1, "", "raw"}});
  EXPECT_EQ(describe({false, FB::VariantList{entry(0, false, "Could not find path"),
                                             entry(1, false, "Could not find path")}}),
            describe(result));
}

TEST_F(Files, ARefusingConfigurationRefusesEveryRecordOfAList) {
  permit("Sandbox");
  const FB::VariantList result =
      save_list({{0, m_dir.file("a.raw"), "raw"}, {3, "", "wav"}, {50, "", "raw"}});
  const std::string refusal = "refused (Sandbox)";
  EXPECT_EQ(describe({false, FB::VariantList{entry(0, false, refusal), entry(3, false, refusal),
                                             entry(50, false, refusal)}}),
            describe(result));
  EXPECT_EQ(3u, m_log.count("ERROR", refusal));
  EXPECT_EQ(1u, m_studio.buffer_count());
  EXPECT_FALSE(fs::exists(m_dir.file("a.raw")));
}

TEST_F(Files, AnEmptyListSucceeds) {
  EXPECT_EQ(describe({true, FB::VariantList{}}), describe(save_list({})));
}

TEST_F(Files, SandboxListNamesCarryTheIndexAndTheSameIndexTwiceRewritesOneFile) {
  permit("sandbox");
  fill(0, {4, 4});
  fill(2, {6});
  const std::string zero = appdata("test.0raw");
  const std::string two = appdata("test.2wav");
  const FB::VariantList result =
      save_list({{0, m_dir.file("ignored"), "raw"}, {2, "", "wav"}, {0, "", "raw"}});
  EXPECT_EQ(describe({true, FB::VariantList{entry(0, true, zero), entry(2, true, two),
                                            entry(0, true, zero)}}),
            describe(result));
  EXPECT_EQ(raw_bytes({4, 4}), read_file(zero));
  EXPECT_EQ(samples_t{6}, decoded_by_sox(two, m_dir));
  EXPECT_FALSE(fs::exists(m_dir.file("ignored")));
}

TEST_F(Files, WithoutACallbackAListStillSavesEveryRecord) {
  fill(0, {1, 2, 3});
  const studio::save_record_params records = {{0, m_dir.file("a.raw"), "raw"},
                                              {1, m_dir.file("b.raw"), "raw"},
                                              {0, m_dir.file("c.raw"), "raw"}};
  m_studio.threaded_save_records(records, vocle::function_ptr());
  // The worker's last word is its third "file saved".
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (m_log.count("INFO", "file saved") < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(3u, m_log.count("INFO", "file saved"));
  EXPECT_EQ(raw_bytes({1, 2, 3}), read_file(m_dir.file("a.raw")));
  EXPECT_EQ("", read_file(m_dir.file("b.raw")));
  EXPECT_TRUE(fs::exists(m_dir.file("b.raw")));
  EXPECT_EQ(raw_bytes({1, 2, 3}), read_file(m_dir.file("c.raw")));
}

}  // namespace
