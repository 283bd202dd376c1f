// Audio start-up, the device choice and the device list, over ALSA's virtual devices and over
// device lists made up for the cases one host API cannot show.
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <portaudiocpp/PortAudioCpp.hxx>

#include "common/alsa_config.h"
#include "common/alsa_rig.h"
#include "common/config_dir.h"
#include "common/temp_dir.h"
#include "core/studio/studio.h"
#include "log_capture.h"

namespace {

using vocle::audio::studio;
using vocle::testkit::alsa_config;
using vocle::testkit::alsa_rig;
using vocle::testkit::config_dir;
using vocle::testkit::log_capture;
using vocle::testkit::temp_dir;
typedef studio::device_pair device_pair;
typedef studio::device_info device_info;

// Capture and playback ends of ALSA's file plugin, to build device lists from.
const std::string capture =
    "{ type asym; capture.pcm { type plug; slave { pcm { type file; slave.pcm { type null }; "
    "file \"/dev/null\"; infile \"@DIR@/mic.raw\"; format \"raw\" }; format S16_LE; rate 16000; "
    "channels 1 } } }\n";
const std::string playback =
    "{ type asym; playback.pcm { type plug; slave { pcm { type file; slave.pcm { type null }; "
    "file \"@DIR@/speaker.raw\"; format \"raw\" }; format S16_LE; rate 16000; channels 1 } } }\n";

// mic_a, mic_b (inputs), spk_a (output), duplex (both) and default (both, the system default).
const std::string named_devices =
    "pcm.mic_a " + capture + "pcm.mic_b { type asym; capture.pcm \"mic_a\" }\n" + "pcm.spk_a " +
    playback + "pcm.duplex { type asym; capture.pcm \"mic_a\"; playback.pcm \"spk_a\" }\n" +
    "pcm.!default { type asym; capture.pcm \"mic_a\"; playback.pcm \"spk_a\" }\n";

// A speaker and nothing to record from.
const std::string speaker_only =
    "pcm.spk_a " + playback + "pcm.!default { type asym; playback.pcm \"spk_a\" }\n";

// One microphone, and a speaker that is the default device.
const std::string microphone_and_speaker = "pcm.vocle_mic " + capture + "pcm.!default " + playback;

int index_of(const std::string& name) {
  return alsa_rig::device_index(name);
}

// Starts the audio system on construction and ends it on destruction; the ALSA configuration and
// the settings must be in place first.
struct audio_system {
  audio_system() { studio::initialize(); }
  ~audio_system() { portaudio::System::terminate(); }
};

std::set<std::string> keys_of(const FB::VariantMap& m) {
  std::set<std::string> keys;
  for (const auto& entry : m) {
    keys.insert(entry.first);
  }
  return keys;
}

const FB::VariantMap& map_named(const FB::VariantList& list, const std::string& name) {
  for (const FB::variant& v : list) {
    if (v.map().at("name").convert_cast<std::string>() == name) {
      return v.map();
    }
  }
  throw std::runtime_error("no device " + name);
}

std::set<std::string> flags_of(const FB::VariantMap& m) {
  std::set<std::string> flags = keys_of(m);
  for (const char* always : {"index", "name", "input_channels", "output_channels", "host_api"}) {
    flags.erase(always);
  }
  return flags;
}

TEST(Devices, TheDefaultPairWithDefaultSettings) {
  alsa_rig rig;
  config_dir cfg("");
  audio_system audio;
  const device_pair chosen = studio::choose_device();
  EXPECT_EQ(index_of("default"), chosen.first);
  // The default device records and plays: it is only an input candidate, yet as the system
  // default output it serves playback too.
  EXPECT_EQ(index_of("default"), chosen.second);
}

TEST(Devices, TheListOfTheStandardRig) {
  alsa_rig rig;
  config_dir cfg("");
  audio_system audio;
  studio s;
  const FB::VariantList list = s.devices();
  ASSERT_EQ(3u, list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(int(i), list[i].map().at("index").convert_cast<int>());
    EXPECT_EQ("ALSA", list[i].map().at("host_api").convert_cast<std::string>());
  }
  const FB::VariantMap& mic = map_named(list, alsa_rig::microphone);
  EXPECT_GE(mic.at("input_channels").convert_cast<int>(), 1);
  EXPECT_EQ(0, mic.at("output_channels").convert_cast<int>());
  EXPECT_TRUE(flags_of(mic).empty());
  EXPECT_TRUE(flags_of(map_named(list, alsa_rig::speaker)).empty());
  const FB::VariantMap& def = map_named(list, "default");
  EXPECT_EQ(
      (std::set<std::string>{"default_input", "default_output", "choosed_input", "choosed_output"}),
      flags_of(def));
  for (const char* flag : {"default_input", "default_output", "choosed_input", "choosed_output"}) {
    EXPECT_EQ(FB::variant(true), def.at(flag)) << flag;
  }
}

TEST(Devices, OneMicrophoneAndOneSpeaker) {
  alsa_config alsa(microphone_and_speaker);
  config_dir cfg("");
  audio_system audio;
  studio s;
  const FB::VariantList list = s.devices();
  ASSERT_EQ(2u, list.size());
  EXPECT_EQ((std::set<std::string>{"default_input", "choosed_input"}),
            flags_of(map_named(list, "vocle_mic")));
  EXPECT_EQ((std::set<std::string>{"default_output", "choosed_output"}),
            flags_of(map_named(list, "default")));
}

TEST(Devices, ABlacklistedDefaultIsListedButNeverChosen) {
  alsa_rig rig;
  config_dir cfg("[device]\nblacklist=default\n");
  audio_system audio;
  EXPECT_EQ(device_pair(index_of(alsa_rig::microphone), index_of(alsa_rig::speaker)),
            studio::choose_device());
  studio s;
  const FB::VariantList list = s.devices();
  ASSERT_EQ(3u, list.size());
  EXPECT_EQ((std::set<std::string>{"default_input", "default_output"}),
            flags_of(map_named(list, "default")));
  EXPECT_EQ(std::set<std::string>{"choosed_input"}, flags_of(map_named(list, "vocle_mic")));
  EXPECT_EQ(std::set<std::string>{"choosed_output"}, flags_of(map_named(list, "vocle_speaker")));
}

TEST(Devices, NoInputDeviceAtAll) {
  alsa_config alsa(speaker_only);
  config_dir cfg("");
  audio_system audio;
  EXPECT_EQ(device_pair(-1, index_of("default")), studio::choose_device());
  studio s;
  for (const FB::variant& v : s.devices()) {
    EXPECT_EQ(0u, v.map().count("choosed_input"));
    EXPECT_EQ(0u, v.map().count("default_input"));
  }
}

struct blacklist_case {
  const char* blacklist;
  const char* input;   // "" for none
  const char* output;  // "" for none
};

class Blacklist : public ::testing::TestWithParam<blacklist_case> {};

TEST_P(Blacklist, MatchesWholeNames) {
  alsa_config alsa(named_devices);
  config_dir cfg(std::string("[device]\nblacklist=") + GetParam().blacklist + "\n");
  audio_system audio;
  const blacklist_case& c = GetParam();
  const device_pair expected(*c.input ? index_of(c.input) : -1,
                             *c.output ? index_of(c.output) : -1);
  EXPECT_EQ(expected, studio::choose_device()) << c.blacklist;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Blacklist,
    ::testing::Values(
        blacklist_case{"", "default", "default"},
        // Without the default the lowest index wins among equal ranks.
        blacklist_case{"default", "mic_a", "spk_a"},
        // One word of a name is no match; the word inside a match-anything pattern is.
        blacklist_case{"default;mic", "mic_a", "spk_a"},
        blacklist_case{"default;.*mic.*", "duplex", "spk_a"},
        blacklist_case{"default;mic_.", "duplex", "spk_a"},
        blacklist_case{"default;MIC_A", "mic_a", "spk_a"},
        blacklist_case{"default;mic_a", "mic_b", "spk_a"},
        // A device that records and plays is an input candidate only: without the default it
        // never serves playback.
        blacklist_case{"default;spk_a", "mic_a", ""}, blacklist_case{".*", "", ""},
        // Empty entries blacklist only nameless devices.
        blacklist_case{";;mic_a;mic_b;duplex", "default", "default"}));

TEST(Devices, AnInvalidBlacklistEntryIsSkipped) {
  alsa_config alsa(named_devices);
  config_dir cfg("[device]\nblacklist=(;default;[z-a]\n");
  log_capture log;
  audio_system audio;
  EXPECT_EQ(device_pair(index_of("mic_a"), index_of("spk_a")), studio::choose_device());
  studio s;
  EXPECT_EQ(5u, s.devices().size());
  std::size_t ignored = 0;
  for (const std::string& m : log.messages("ERROR")) {
    ignored += m.compare(0, 31, "ignored device.blacklist entry ") == 0;
  }
  EXPECT_EQ(4u, ignored) << "two bad entries, two choices";
}

// Several workers choose their devices while the page lists them.
TEST(Devices, ChoosingOnManyThreadsAtOnce) {
  alsa_config alsa(named_devices);
  config_dir cfg("[device]\nblacklist=default\npriorities=OSS;ALSA\n");
  audio_system audio;
  const device_pair expected(index_of("mic_a"), index_of("spk_a"));
  std::vector<std::thread> workers;
  std::vector<device_pair> seen(6);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    workers.emplace_back([&seen, i] {
      for (int k = 0; k < 20; ++k) {
        seen[i] = studio::choose_device();
      }
    });
  }
  studio s;
  for (int k = 0; k < 20; ++k) {
    EXPECT_EQ(5u, s.devices().size());
  }
  for (std::thread& w : workers) {
    w.join();
  }
  for (const device_pair& p : seen) {
    EXPECT_EQ(expected, p);
  }
}

// ---- the choice over made-up lists: several host APIs, empty names ----

device_info in(std::int32_t index, const std::string& api, const std::string& name = "dev") {
  return device_info{index, name + std::to_string(index), 2, 0, api, false, false};
}
device_info out(std::int32_t index, const std::string& api, const std::string& name = "dev") {
  return device_info{index, name + std::to_string(index), 0, 2, api, false, false};
}

TEST(DeviceChoice, PrioritiesDecideAmongHostApisWhenTheDefaultIsBlacklisted) {
  config_dir cfg("[device]\nblacklist=blocked.*\npriorities=A;B\n");
  device_info default_in = in(0, "A", "blocked");
  default_in.default_input = true;
  device_info default_out = out(1, "A", "blocked");
  default_out.default_output = true;
  const std::vector<device_info> list = {
      default_in,      default_out, in(2, "B"),  in(3, "other"), in(4, "A"),   in(5, "A"),
      out(6, "other"), out(7, "B"), out(8, "B"), in(9, "B"),     out(10, "A"),
  };
  // Inputs: A ranks 0 (4, 5), B ranks 1 (2, 9), other ranks 2 (3); the lowest index of rank 0.
  // Outputs: A at 10 ranks ahead of the B devices and of the lower "other" one.
  EXPECT_EQ(device_pair(4, 10), studio::choose_device(list));

  cfg.rewrite("vocle.conf", "[device]\nblacklist=blocked.*\npriorities=B;A\n");
  EXPECT_EQ(device_pair(2, 7), studio::choose_device(list));

  // A host API named by none of the priorities ranks after all of them.
  cfg.rewrite("vocle.conf", "[device]\nblacklist=blocked.*\npriorities=C\n");
  EXPECT_EQ(device_pair(2, 6), studio::choose_device(list));
}

TEST(DeviceChoice, TheDefaultWinsWhateverThePriorities) {
  config_dir cfg("[device]\npriorities=A\n");
  device_info duplex = device_info{3, "duplex", 2, 2, "B", false, true};
  const std::vector<device_info> list = {in(0, "A"), out(1, "A"), in(2, "B"), duplex};
  // The duplex device is only on the input list, yet as the default output it is chosen for it.
  EXPECT_EQ(device_pair(0, 3), studio::choose_device(list));
}

TEST(DeviceChoice, TheEmptyNameRuleOfTheDefaultSettings) {
  config_dir cfg("");
  // The absent blacklist is one empty pattern, the absent priorities one empty name.
  device_info nameless = device_info{0, "", 2, 2, "A", true, true};
  std::vector<device_info> list = {nameless, in(1, "A"), out(2, "A"), in(3, ""), out(4, "")};
  // The nameless default is never chosen; among the rest the empty host API ranks 0.
  EXPECT_EQ(device_pair(3, 4), studio::choose_device(list));

  list = {nameless, in(1, "A"), out(2, "A")};
  EXPECT_EQ(device_pair(1, 2), studio::choose_device(list));
}

TEST(DeviceChoice, DevicesWithoutChannelsAreNeverCandidates) {
  config_dir cfg("");
  device_info dead = device_info{0, "dead", 0, 0, "A", true, true};
  EXPECT_EQ(device_pair(-1, -1), studio::choose_device({dead}));
  EXPECT_EQ(device_pair(-1, -1), studio::choose_device({}));
}

// ---- start-up logging ----

struct startup_logging {
  temp_dir logs;
  std::string log_file = logs.file("vocle.log");
};

TEST(Initialize, LogsTheConfigurationAndTheDevices) {
  alsa_rig rig;
  startup_logging l;
  config_dir cfg("[log]\nfile=" + l.log_file + "\n", "[en_US]\nHELLO=hello\n");
  log_capture log;
  audio_system audio;
  EXPECT_EQ(1u, log.count("DEBUG", "entered"));
  EXPECT_EQ(1u, log.count("DEBUG", "initialize with logconfig 1, logdevice 1"));
  EXPECT_EQ(1u, log.count("INFO", "logfile: " + l.log_file));
  EXPECT_EQ(1u,
            log.count("INFO", "settings:\n[log]\nfile=" + l.log_file + "\n[en_US]\nHELLO=hello\n"))
      << "the configuration tree, then the language tree";
  EXPECT_EQ(1u, log.count("INFO", "initializing audio system..."));
  EXPECT_EQ(1u, log.count("INFO", "audio system initialized!"));
  EXPECT_EQ(1u, log.count("INFO", "audio devices count: 3\n"));
  const std::string list =
      "audio devices count: 3\n"
      "0: vocle_mic, in=128 out=0, ALSA\n"
      "1: vocle_speaker, in=0 out=128, ALSA\n"
      "2: default, in=128 out=128, ALSA, default input, default output\n";
  EXPECT_EQ(1u, log.count("INFO", list));
}

TEST(Initialize, LoggingCanBeTurnedOff) {
  struct {
    const char* config;
    bool config_lines;
    bool device_lines;
  } cases[] = {
      {"logconfig=false\n", false, true},
      {"logdevice=false\n", true, false},
      {"logconfig=false\nlogdevice=false\n", false, false},
  };
  for (const auto& c : cases) {
    alsa_rig rig;
    startup_logging l;
    config_dir cfg(std::string("[log]\nfile=") + l.log_file + "\n" + c.config);
    log_capture log;
    {
      audio_system audio;
      EXPECT_TRUE(portaudio::System::exists()) << "the audio system starts either way";
      EXPECT_EQ(3, portaudio::System::instance().deviceCount());
    }
    std::size_t config_lines = 0;
    std::size_t device_lines = 0;
    for (const std::string& m : log.messages("INFO")) {
      config_lines += m.compare(0, 9, "logfile: ") == 0 || m.compare(0, 10, "settings:\n") == 0;
      device_lines += m.compare(0, 21, "audio devices count: ") == 0;
    }
    EXPECT_EQ(c.config_lines ? 2u : 0u, config_lines) << c.config;
    EXPECT_EQ(c.device_lines ? 2u : 0u, device_lines) << c.config;
    EXPECT_EQ(1u, log.count("INFO", "audio system initialized!")) << c.config;
  }
}

}  // namespace
