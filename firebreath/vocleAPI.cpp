#include "firebreath/vocleAPI.h"

#include <cerrno>
#include <exception>
#include <map>
#include <memory>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>
#include <boost/regex.hpp>

#include "core/audio/vad.h"
#include "core/foundation/keys.h"
#include "core/foundation/log.h"
#include "core/foundation/settings.h"
#include "core/foundation/util.h"
#include "core/studio/task.h"
#include "firebreath/js_function.h"
#include "firebreath/jskey_funchost.h"
#include "firebreath/jskey_funchost_simple.h"
#include "firebreath/jskey_function.h"
#include "firebreath/options.h"
#include "framework/script_error.h"

using vocle::function_ptr;
using vocle::get_option_bool;
using vocle::get_option_double;
using vocle::get_option_index_list;
using vocle::get_option_int;
using vocle::get_option_int64;
using vocle::get_option_list;
using vocle::get_option_string;
using vocle::option_map;
using vocle::audio::studio;

namespace {

namespace fs = boost::filesystem;

// An upload task until a starter takes it over: a call that fails before the hand-over destroys
// the task, which takes it out of the studio's table.
typedef std::unique_ptr<studio::task> owned_task;

// The outcome of a file-system method, as the page gets it.
struct filesystem_outcome {
  bool success = false;
  // The path in messages: expanded, back in UTF-8 (the page's own text when it did not expand).
  std::string path;
  // The platform's text for the error code, in UTF-8.
  std::string reason;
};

// Expands the page's path and hands the file-system path to the check. A path that cannot be
// expanded (no application-data folder) is a failure like any other, with its message as reason.
// A path that holds a NUL is not handed over: the code page's text, and the system, would end it
// there and name another file. It fails as the platform fails an invalid argument.
template <class Check>
filesystem_outcome run_filesystem_check(const std::string& raw_path, Check check) {
  filesystem_outcome outcome;
  outcome.path = raw_path;
  try {
    const std::string expanded = vocle::util::expand_path(raw_path);
    boost::system::error_code ec;
    if (vocle::util::holds_nul(expanded)) {
      outcome.path = expanded;
      ec.assign(EINVAL, boost::system::system_category());
    } else {
      const fs::path target(vocle::util::utf8_to_ansi(expanded));
      outcome.path = vocle::util::ansi_to_utf8(target.string());
      outcome.success = check(target, ec);
    }
    outcome.reason = vocle::util::ansi_to_utf8(ec.message());
  } catch (const std::exception& e) {
    outcome.success = false;
    outcome.reason = e.what();
  }
  return outcome;
}

void report_filesystem(const function_ptr& callback, const filesystem_outcome& outcome) {
  if (!callback) {
    return;
  }
  FB::VariantList result;
  result.push_back(FB::variant(outcome.success));
  if (!outcome.success) {
    result.push_back(FB::variant(outcome.reason));
  }
  callback->call_async(result);
}

}  // namespace

bool is_trusted_location(const std::string& location) {
  return is_trusted_location(location,
                             vocle::settings::instance().get(vocle::keys::system_trusted));
}

bool is_trusted_location(const std::string& location, const std::vector<std::string>& patterns) {
  for (const std::string& entry : patterns) {
    if (entry.empty()) {
      continue;
    }
    // Perl syntax, case-sensitive; a pattern that does not compile fails the whole check, so a
    // broken list never lets a page in.
    const boost::regex expression(entry);
    // A match that grows too costly makes the library give up with std::runtime_error (the page
    // chooses its location, so it can aim at a pattern that backtracks). That error leaves here
    // too, like a pattern that does not compile: the page gets no object, and the entry point
    // logs the failed construction. Reading it as "no match" would also keep the page
    // untrusted, but would silently skip an entry that could not be evaluated; nothing is
    // granted or refused on a guess.
    if (boost::regex_match(location, expression)) {
      return true;
    }
  }
  return false;
}

vocleAPI::vocleAPI(const boost::weak_ptr<vocle7>& plugin, const FB::BrowserHostPtr& host)
    : FB::JSAPIAuto("<JSAPI-Auto Javascript Object>"), m_plugin(plugin), m_host(host) {
  if (!m_host) {
    throw FB::script_error("no browser host to read the page location from");
  }
  const FB::DOMWindowPtr window = m_host->getDOMWindow();
  if (!window) {
    throw FB::script_error("the page has no window to read its location from");
  }
  const std::string location = window->getLocation();
  VOCLE_LOG_INFO("plugin instantiated on %1%", location);

  registerProperty("version", FB::make_property(this, &vocleAPI::version));
  registerProperty("version_detail", FB::make_property(this, &vocleAPI::version_detail));
  if (!is_trusted_location(location)) {
    return;
  }
  register_trusted_surface();
}

vocleAPI::~vocleAPI() = default;

void vocleAPI::register_trusted_surface() {
  registerMethod("set_jskey_funchost", FB::make_method(this, &vocleAPI::set_jskey_funchost));
  registerMethod("get_jskey_funchost", FB::make_method(this, &vocleAPI::get_jskey_funchost));
  registerMethod("get_record_info", FB::make_method(this, &vocleAPI::get_record_info));
  registerMethod("get_record", FB::make_method(this, &vocleAPI::get_record));
  registerMethod("log", FB::make_method(this, &vocleAPI::log));
  registerMethod("start_record", FB::make_method(this, &vocleAPI::start_record));
  registerMethod("playback", FB::make_method(this, &vocleAPI::playback));
  registerMethod("stop", FB::make_method(this, &vocleAPI::stop));
  registerMethod("save_record", FB::make_method(this, &vocleAPI::save_record));
  registerMethod("save_records", FB::make_method(this, &vocleAPI::save_records));
  registerMethod("load_record", FB::make_method(this, &vocleAPI::load_record));
  registerMethod("post_record", FB::make_method(this, &vocleAPI::post_record));
  registerMethod("recognize_record", FB::make_method(this, &vocleAPI::recognize_record));
  registerMethod("cancel_upload", FB::make_method(this, &vocleAPI::cancel_upload));
  registerProperty("desktop_path", FB::make_property(this, &vocleAPI::desktop_path));
  registerMethod("filesystem_remove", FB::make_method(this, &vocleAPI::filesystem_remove));
  registerMethod("filesystem_exists", FB::make_method(this, &vocleAPI::filesystem_exists));

  if (vocle::settings::instance().get(vocle::keys::system_api) == "all") {
    registerMethod("test", FB::make_method(this, &vocleAPI::test));
  }

  registerProperty("log_level", FB::make_property(this, &vocleAPI::log_level));
  registerProperty("log_file", FB::make_property(this, &vocleAPI::log_file));
  registerProperty("lang", FB::make_property(this, &vocleAPI::lang));
  registerProperty("devices", FB::make_property(this, &vocleAPI::devices));
  registerProperty("buffer_count",
                   FB::make_property(this, &vocleAPI::buffer_count, &vocleAPI::write_buffer_count));
  registerProperty("max_buffer_count", FB::make_property(this, &vocleAPI::max_buffer_count));
  registerProperty("sample_rate",
                   FB::make_property(this, &vocleAPI::sample_rate, &vocleAPI::write_sample_rate));
  registerProperty("frames_per_buffer", FB::make_property(this, &vocleAPI::frames_per_buffer,
                                                          &vocleAPI::write_frames_per_buffer));
  registerProperty("upload_timeout", FB::make_property(this, &vocleAPI::upload_timeout,
                                                       &vocleAPI::write_upload_timeout));
  // The page may set a long text here: counted, so that a host need not read it to see it is
  // unchanged. The other properties are short, or change behind the page (the configuration,
  // the devices, the buffer table that workers grow), and are read.
  FB::PropertyFunctors url =
      FB::make_property(this, &vocleAPI::recognition_url, &vocleAPI::write_recognition_url);
  url.revision = [this](std::uint64_t* revision) {
    return m_studio.recognition_url_revision(revision);
  };
  registerProperty("recognition_url", url);

  registerMethod("get_version", FB::make_method(this, &vocleAPI::get_version));
  registerMethod("get_version_detail", FB::make_method(this, &vocleAPI::get_version_detail));
  registerMethod("get_log_level", FB::make_method(this, &vocleAPI::get_log_level));
  registerMethod("get_log_file", FB::make_method(this, &vocleAPI::get_log_file));
  registerMethod("get_lang", FB::make_method(this, &vocleAPI::get_lang));
  registerMethod("get_devices", FB::make_method(this, &vocleAPI::get_devices));
  registerMethod("get_buffer_count", FB::make_method(this, &vocleAPI::get_buffer_count));
  registerMethod("set_buffer_count", FB::make_method(this, &vocleAPI::set_buffer_count));
  registerMethod("get_max_buffer_count", FB::make_method(this, &vocleAPI::get_max_buffer_count));
  registerMethod("get_sample_rate", FB::make_method(this, &vocleAPI::get_sample_rate));
  registerMethod("set_sample_rate", FB::make_method(this, &vocleAPI::set_sample_rate));
  registerMethod("get_frames_per_buffer", FB::make_method(this, &vocleAPI::get_frames_per_buffer));
  registerMethod("set_frames_per_buffer", FB::make_method(this, &vocleAPI::set_frames_per_buffer));
  registerMethod("get_upload_timeout", FB::make_method(this, &vocleAPI::get_upload_timeout));
  registerMethod("set_upload_timeout", FB::make_method(this, &vocleAPI::set_upload_timeout));
  registerMethod("get_recognition_url", FB::make_method(this, &vocleAPI::get_recognition_url));
  registerMethod("set_recognition_url", FB::make_method(this, &vocleAPI::set_recognition_url));

  registerAttribute("diagnose", FB::variant(""), false);
}

// ---- callbacks ----

function_ptr vocleAPI::cast_function(const FB::variant& value) {
  if (value.empty() || value.is_null()) {
    return function_ptr();
  }
  // Read without m_jskey_funchost_mutex: every script call runs on the page's thread, the only
  // one that replaces the host, and the mutex is never held while a delivery comes through here.
  try {
    const std::string key = value.convert_cast<std::string>();
    VOCLE_LOG_DEBUG("got jskey: %1%", key);
    if (!m_jskey_funchost) {
      throw FB::script_error("failed to get jskey_funchost");
    }
    return boost::make_shared<vocle::jskey_function>(m_jskey_funchost, key);
  } catch (const std::exception& e) {
    VOCLE_LOG_DEBUG("exception thrown when try to cast jskey_function: %1%", e.what());
  }
  return boost::make_shared<vocle::js_function>(value.convert_cast<FB::JSObjectPtr>());
}

function_ptr vocleAPI::get_callback(const FB::VariantMap& options, const std::string& name) {
  const FB::VariantMap::const_iterator found = options.find(name);
  if (found == options.end()) {
    return function_ptr();
  }
  return cast_function(found->second);
}

bool vocleAPI::deliver_result(boost::optional<FB::variant>& callback,
                              const FB::VariantList& result) {
  if (!callback) {
    return false;
  }
  function_ptr function = cast_function(*callback);
  callback = boost::none;
  if (!function) {
    return false;
  }
  function->call_async(result);
  return true;
}

template <class T>
T vocleAPI::deliver_value(const T& value, boost::optional<FB::variant>& callback) {
  deliver_result(callback, FB::VariantList{FB::variant(value)});
  return value;
}

// ---- keyed callback host and record information ----

// A delivery through a simple host reads the host's functions at once on the page's thread, and
// so runs the page's getters, which may call these two methods again. The mutex covers the
// exchange and the read only; the delivery follows in the same script call, after it is released,
// and the host replaced is let go after it too (letting go of a page object reaches into the
// page).
void vocleAPI::set_jskey_funchost(const FB::JSObjectPtr& host, boost::optional<bool> simple,
                                  boost::optional<FB::variant> callback) {
  vocle::jskey_funchost_ptr installed;
  if (simple && *simple) {
    installed = boost::make_shared<vocle::jskey_funchost_simple>(host);
  } else {
    installed = boost::make_shared<vocle::jskey_funchost>(host);
  }
  {
    boost::mutex::scoped_lock lock(m_jskey_funchost_mutex);
    m_jskey_funchost.swap(installed);
  }
  installed.reset();
  deliver_result(callback, FB::VariantList());
}

FB::JSObjectPtr vocleAPI::get_jskey_funchost(boost::optional<FB::variant> callback) {
  // Before the page has installed a host there is none to give: the page gets null.
  FB::JSObjectPtr host;
  {
    boost::mutex::scoped_lock lock(m_jskey_funchost_mutex);
    if (m_jskey_funchost) {
      host = m_jskey_funchost->get_host();
    }
  }
  deliver_result(callback, FB::VariantList{FB::variant(host)});
  return host;
}

FB::VariantMap vocleAPI::get_record_info(std::uint64_t index,
                                         boost::optional<FB::variant> callback) {
  FB::VariantMap info;
  for (const auto& entry : m_studio.get_record_info(index)) {
    info[entry.first] = FB::variant(entry.second);
  }
  return deliver_value(info, callback);
}

// ---- recording, playback, files, uploads ----

FB::variant vocleAPI::get_record(const FB::variant& argument) {
  const FB::VariantMap options = option_map(argument);
  const function_ptr callback = get_callback(options, "callback");
  const std::uint64_t index = get_option_int64(options, "index", 0);
  const std::string format = get_option_string(options, "format", "");
  // A long record's text is hundreds of megabytes: the answer and the callback share one copy.
  const FB::variant text(m_studio.get_record(index, format));
  if (callback) {
    callback->call_async(FB::VariantList{text});
  }
  return text;
}

void vocleAPI::log(const std::string& type, const std::string& message) {
  studio::log(type, message);
}

void vocleAPI::start_record(const FB::variant& argument) {
  const FB::VariantMap options = option_map(argument);
  const function_ptr callback = get_callback(options, "callback");
  const function_ptr volumn = get_callback(options, "volumn");
  const std::uint64_t index = get_option_int64(options, "index", 0);
  // The configuration is read at every call, so a changed file counts from the next recording.
  const vocle::settings& config = vocle::settings::instance();
  studio::options_t detector;
  detector["vad_gap"] =
      get_option_double(options, "vad_gap", config.get(vocle::keys::audio_vad_gap));
  detector["vad_wait"] =
      get_option_double(options, "vad_wait", config.get(vocle::keys::audio_vad_wait));
  detector["vad_max"] =
      get_option_double(options, "vad_max", config.get(vocle::keys::audio_vad_max));
  detector["vad_statistic"] =
      get_option_bool(options, "vad_statistic", config.get(vocle::keys::audio_vad_statistic));
  detector["vad_clip"] =
      get_option_bool(options, "vad_clip", config.get(vocle::keys::audio_vad_clip));
  m_studio.threaded_start_record(static_cast<std::size_t>(index), callback, volumn, detector);
}

void vocleAPI::playback(const FB::variant& argument) {
  const FB::VariantMap options = option_map(argument);
  const function_ptr callback = get_callback(options, "callback");
  const function_ptr volumn = get_callback(options, "volumn");
  const std::uint64_t index = get_option_int64(options, "index", 0);
  m_studio.threaded_playback(static_cast<std::size_t>(index), callback, volumn,
                             studio::options_t());
}

void vocleAPI::stop(const FB::variant& argument) {
  const FB::VariantMap options = option_map(argument);
  const function_ptr callback = get_callback(options, "callback");
  const std::uint64_t index = get_option_int64(options, "index", 0);
  m_studio.threaded_stop(index, callback);
}

template <class Start>
void vocleAPI::start_file_work(const function_ptr& callback, Start start) {
  try {
    start();
  } catch (const FB::script_error&) {
    throw;
  } catch (const FB::bad_variant_cast&) {
    throw;
  } catch (const std::exception& e) {
    VOCLE_LOG_ERROR("file work not started: %1%", e.what());
    if (callback) {
      callback->call_async(FB::VariantList{FB::variant(false), FB::variant(std::string(e.what()))});
    }
  }
}

void vocleAPI::save_record(const FB::variant& argument) {
  VOCLE_LOG_INFO("entered");
  const FB::VariantMap options = option_map(argument);
  const function_ptr callback = get_callback(options, "callback");
  const std::uint64_t index = get_option_int64(options, "index", 0);
  const std::string format = get_option_string(options, "format", "");
  const std::string path = get_option_string(options, "path", "");
  start_file_work(callback,
                  [&]() { m_studio.threaded_save_record(index, format, path, callback); });
}

void vocleAPI::save_records(const FB::variant& argument) {
  const FB::VariantMap options = option_map(argument);
  const function_ptr callback = get_callback(options, "callback");
  const FB::VariantList records = get_option_list(options, "records", FB::VariantList());
  // Every entry is read before anything starts: one that is not an object fails the call whole.
  studio::save_record_params params;
  params.reserve(records.size());
  for (const FB::variant& entry : records) {
    const FB::VariantMap record = entry.convert_cast<FB::VariantMap>();
    studio::threaded_save_record_param param;
    param.index = get_option_int64(record, "index", 0);
    param.path = get_option_string(record, "path", "");
    param.format = get_option_string(record, "format", "");
    params.push_back(param);
  }
  m_studio.threaded_save_records(params, callback);
}

void vocleAPI::load_record(const FB::variant& argument) {
  VOCLE_LOG_INFO("entered");
  const FB::VariantMap options = option_map(argument);
  const function_ptr callback = get_callback(options, "callback");
  const std::uint64_t index = get_option_int64(options, "index", 0);
  const std::string format = get_option_string(options, "format", "");
  const std::string path = get_option_string(options, "path", "");
  const bool append = get_option_bool(options, "append", false);
  start_file_work(callback,
                  [&]() { m_studio.threaded_load_record(index, format, path, append, callback); });
}

std::int32_t vocleAPI::post_record(const FB::variant& argument) {
  const FB::VariantMap options = option_map(argument);
  const function_ptr callback = get_callback(options, "callback");
  const function_ptr on_upload_frame = get_callback(options, "on_upload_frame");
  const std::string url = get_option_string(options, "url", "");
  const std::string cookie = get_option_string(options, "cookie", "");
  const std::string format = get_option_string(options, "format", "");
  const std::int32_t timeout = get_option_int(options, "timeout", -1);

  owned_task upload_task(m_studio.create_task(timeout));
  // The upload may end, and destroy its task, before the starter returns.
  const std::int32_t id = upload_task->id();

  // A list of indexes (or none) is one multi-record body; anything else that is not a list is
  // read as the index of a single record.
  std::vector<std::uint64_t> indexes;
  bool single = false;
  try {
    indexes = get_option_index_list(options, "index", std::vector<std::uint64_t>());
  } catch (const FB::bad_variant_cast&) {
    single = true;
  }
  if (single) {
    const std::uint64_t index = get_option_int64(options, "index", 0);
    m_studio.threaded_post_record(index, format, url, cookie, callback, on_upload_frame,
                                  upload_task.release());
  } else {
    m_studio.threaded_multi_post_record(indexes, format, url, cookie, callback, on_upload_frame,
                                        upload_task.release());
  }
  return id;
}

std::int32_t vocleAPI::recognize_record(const FB::variant& argument) {
  const FB::VariantMap options = option_map(argument);
  const function_ptr callback = get_callback(options, "callback");
  const function_ptr on_upload_frame = get_callback(options, "on_upload_frame");
  const std::string sentence = get_option_string(options, "sentence", "");
  const std::string url = get_option_string(options, "url", m_studio.recognition_url());
  const std::string cookie = get_option_string(options, "cookie", "");
  const std::uint64_t index = get_option_int64(options, "index", 0);
  const std::int32_t timeout = get_option_int(options, "timeout", -1);

  owned_task upload_task(m_studio.create_task(timeout));
  const std::int32_t id = upload_task->id();
  m_studio.threaded_recognize_record(index, sentence, url, cookie, callback, on_upload_frame,
                                     upload_task.release());
  return id;
}

bool vocleAPI::cancel_upload(std::int32_t id) {
  return m_studio.cancel_upload(id);
}

bool vocleAPI::filesystem_remove(const FB::variant& argument) {
  VOCLE_LOG_INFO("entered");
  const FB::VariantMap options = option_map(argument);
  const std::string path = get_option_string(options, "path", "");
  const function_ptr callback = get_callback(options, "callback");
  // A file or an empty folder. A missing path removes nothing and sets no error code, so its
  // reason is the text of code 0.
  const filesystem_outcome outcome = run_filesystem_check(
      path,
      [](const fs::path& target, boost::system::error_code& ec) { return fs::remove(target, ec); });
  if (outcome.success) {
    VOCLE_LOG_INFO("%1% has been removed", outcome.path);
  } else {
    VOCLE_LOG_ERROR("failed to remove %1%: %2%", outcome.path, outcome.reason);
  }
  report_filesystem(callback, outcome);
  return outcome.success;
}

bool vocleAPI::filesystem_exists(const FB::variant& argument) {
  VOCLE_LOG_INFO("entered");
  const FB::VariantMap options = option_map(argument);
  const std::string path = get_option_string(options, "path", "");
  const function_ptr callback = get_callback(options, "callback");
  const filesystem_outcome outcome =
      run_filesystem_check(path, [](const fs::path& target, boost::system::error_code& ec) {
        const fs::file_type type = fs::status(target, ec).type();
        return type != fs::file_not_found && type != fs::status_error;
      });
  if (outcome.success) {
    VOCLE_LOG_INFO("%1% exists", outcome.path);
  } else {
    VOCLE_LOG_ERROR("%1% does not exists: %2%", outcome.path, outcome.reason);
  }
  report_filesystem(callback, outcome);
  return outcome.success;
}

void vocleAPI::test(boost::optional<FB::variant> callback) {
  vocle::audio::vad::test_preprocess();
  deliver_result(callback, FB::VariantList());
}

// ---- properties ----

std::string vocleAPI::version() const {
  return m_studio.version();
}

std::string vocleAPI::version_detail() const {
  return m_studio.version_detail();
}

std::string vocleAPI::desktop_path() const {
  return vocle::util::desktop_path();
}

std::string vocleAPI::log_level() const {
  return vocle::settings::instance().log_level();
}

std::string vocleAPI::log_file() const {
  return vocle::settings::instance().log_file();
}

std::string vocleAPI::lang() const {
  return vocle::settings::instance().lang();
}

FB::VariantList vocleAPI::devices() const {
  return m_studio.devices();
}

std::uint64_t vocleAPI::buffer_count() const {
  return m_studio.buffer_count();
}

void vocleAPI::write_buffer_count(std::uint64_t count) {
  m_studio.set_buffer_count(count);
}

std::uint64_t vocleAPI::max_buffer_count() const {
  return m_studio.max_buffer_count();
}

double vocleAPI::sample_rate() const {
  return m_studio.sample_rate();
}

void vocleAPI::write_sample_rate(double rate) {
  m_studio.set_sample_rate(rate);
}

std::uint64_t vocleAPI::frames_per_buffer() const {
  return m_studio.frames_per_buffer();
}

void vocleAPI::write_frames_per_buffer(std::uint64_t frames) {
  m_studio.set_frames_per_buffer(frames);
}

std::uint64_t vocleAPI::upload_timeout() const {
  return m_studio.upload_timeout();
}

void vocleAPI::write_upload_timeout(std::uint64_t seconds) {
  m_studio.set_upload_timeout(seconds);
}

std::string vocleAPI::recognition_url() const {
  return m_studio.recognition_url();
}

void vocleAPI::write_recognition_url(const std::string& url) {
  m_studio.set_recognition_url(url);
}

// ---- accessors ----

std::string vocleAPI::get_version(boost::optional<FB::variant> callback) {
  return deliver_value(version(), callback);
}

std::string vocleAPI::get_version_detail(boost::optional<FB::variant> callback) {
  return deliver_value(version_detail(), callback);
}

std::string vocleAPI::get_log_level(boost::optional<FB::variant> callback) {
  return deliver_value(log_level(), callback);
}

std::string vocleAPI::get_log_file(boost::optional<FB::variant> callback) {
  return deliver_value(log_file(), callback);
}

std::string vocleAPI::get_lang(boost::optional<FB::variant> callback) {
  return deliver_value(lang(), callback);
}

FB::VariantList vocleAPI::get_devices(boost::optional<FB::variant> callback) {
  return deliver_value(devices(), callback);
}

std::uint64_t vocleAPI::get_buffer_count(boost::optional<FB::variant> callback) {
  return deliver_value(buffer_count(), callback);
}

void vocleAPI::set_buffer_count(std::uint64_t count, boost::optional<FB::variant> callback) {
  write_buffer_count(count);
  deliver_result(callback, FB::VariantList());
}

std::uint64_t vocleAPI::get_max_buffer_count(boost::optional<FB::variant> callback) {
  return deliver_value(max_buffer_count(), callback);
}

double vocleAPI::get_sample_rate(boost::optional<FB::variant> callback) {
  return deliver_value(sample_rate(), callback);
}

void vocleAPI::set_sample_rate(double rate, boost::optional<FB::variant> callback) {
  write_sample_rate(rate);
  deliver_result(callback, FB::VariantList());
}

std::uint64_t vocleAPI::get_frames_per_buffer(boost::optional<FB::variant> callback) {
  return deliver_value(frames_per_buffer(), callback);
}

void vocleAPI::set_frames_per_buffer(std::uint64_t frames, boost::optional<FB::variant> callback) {
  write_frames_per_buffer(frames);
  deliver_result(callback, FB::VariantList());
}

std::uint64_t vocleAPI::get_upload_timeout(boost::optional<FB::variant> callback) {
  return deliver_value(upload_timeout(), callback);
}

void vocleAPI::set_upload_timeout(std::uint64_t seconds, boost::optional<FB::variant> callback) {
  write_upload_timeout(seconds);
  deliver_result(callback, FB::VariantList());
}

std::string vocleAPI::get_recognition_url(boost::optional<FB::variant> callback) {
  return deliver_value(recognition_url(), callback);
}

void vocleAPI::set_recognition_url(const std::string& url, boost::optional<FB::variant> callback) {
  write_recognition_url(url);
  deliver_result(callback, FB::VariantList());
}
