// The script object a page sees when it touches the plug-in: one per plug-in instance, with its
// own studio. The page's location, read once at construction, decides what the page gets: the
// two version properties for every page, the whole surface for a trusted page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/optional.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/weak_ptr.hpp>

#include "core/foundation/function.h"
#include "core/studio/studio.h"
#include "firebreath/jskey_funchost_base.h"
#include "framework/BrowserHost.h"
#include "framework/JSAPIAuto.h"
#include "framework/variant.h"

class vocle7;

// True when the location matches, as a whole, one of the regular expressions of
// "system.trusted" (";"-separated, empty entries skipped, tried in order). An entry that is not a
// valid expression raises boost::regex_error when it is reached; a match that exceeds the
// expression library's complexity bound raises std::runtime_error (regex_error's base).
bool is_trusted_location(const std::string& location);
// The same rule over a list already split: the entries of "system.trusted", in order.
bool is_trusted_location(const std::string& location, const std::vector<std::string>& patterns);

class vocleAPI : public FB::JSAPIAuto {
 public:
  // Builds the studio, reads the page's location and registers what the page may use. Fails
  // (and no object exists) when the host has no window or "system.trusted" holds, before a
  // matching one, an invalid expression or one too costly to match against the location.
  vocleAPI(const boost::weak_ptr<vocle7>& plugin, const FB::BrowserHostPtr& host);
  // The studio goes first: it waits for its workers, whose late results the page (already shut
  // down by then) drops.
  ~vocleAPI() override;

  // The page's callback value as a callback: none for empty or null; a key text (strings,
  // numbers, booleans) through the keyed callback host; else the page object itself, as a rule
  // a function. A key text with no keyed host, or a value that is neither, raises
  // FB::bad_variant_cast.
  vocle::function_ptr cast_function(const FB::variant& value);
  // The callback under the option's name; none when the name is missing.
  vocle::function_ptr get_callback(const FB::VariantMap& options, const std::string& name);
  // Queues the result for the page's callback; true when there was one. The callback value is
  // emptied either way. Conversion errors of the callback go to the caller.
  bool deliver_result(boost::optional<FB::variant>& callback, const FB::VariantList& result);

  // ---- keyed callback host and record information ----
  void set_jskey_funchost(const FB::JSObjectPtr& host, boost::optional<bool> simple,
                          boost::optional<FB::variant> callback);
  // The host object last installed; null before any.
  FB::JSObjectPtr get_jskey_funchost(boost::optional<FB::variant> callback);
  FB::VariantMap get_record_info(std::uint64_t index, boost::optional<FB::variant> callback);

  // ---- recording, playback, files, uploads: each takes the page's option object ----
  FB::variant get_record(const FB::variant& options);
  void log(const std::string& type, const std::string& message);
  void start_record(const FB::variant& options);
  void playback(const FB::variant& options);
  void stop(const FB::variant& options);
  void save_record(const FB::variant& options);
  void save_records(const FB::variant& options);
  void load_record(const FB::variant& options);
  // Both return the new upload's task id.
  std::int32_t post_record(const FB::variant& options);
  std::int32_t recognize_record(const FB::variant& options);
  bool cancel_upload(std::int32_t id);
  bool filesystem_remove(const FB::variant& options);
  bool filesystem_exists(const FB::variant& options);
  // Developer routine of the voice detector (registered only when "system.api" is "all").
  void test(boost::optional<FB::variant> callback);

  // ---- properties ----
  std::string version() const;
  std::string version_detail() const;
  std::string desktop_path() const;
  std::string log_level() const;
  std::string log_file() const;
  std::string lang() const;
  FB::VariantList devices() const;
  std::uint64_t buffer_count() const;
  void write_buffer_count(std::uint64_t count);
  std::uint64_t max_buffer_count() const;
  double sample_rate() const;
  void write_sample_rate(double rate);
  std::uint64_t frames_per_buffer() const;
  void write_frames_per_buffer(std::uint64_t frames);
  std::uint64_t upload_timeout() const;
  void write_upload_timeout(std::uint64_t seconds);
  std::string recognition_url() const;
  void write_recognition_url(const std::string& url);

  // ---- accessors: the property's value, also delivered as [value]; setters deliver [] ----
  std::string get_version(boost::optional<FB::variant> callback);
  std::string get_version_detail(boost::optional<FB::variant> callback);
  std::string get_log_level(boost::optional<FB::variant> callback);
  std::string get_log_file(boost::optional<FB::variant> callback);
  std::string get_lang(boost::optional<FB::variant> callback);
  FB::VariantList get_devices(boost::optional<FB::variant> callback);
  std::uint64_t get_buffer_count(boost::optional<FB::variant> callback);
  void set_buffer_count(std::uint64_t count, boost::optional<FB::variant> callback);
  std::uint64_t get_max_buffer_count(boost::optional<FB::variant> callback);
  double get_sample_rate(boost::optional<FB::variant> callback);
  void set_sample_rate(double rate, boost::optional<FB::variant> callback);
  std::uint64_t get_frames_per_buffer(boost::optional<FB::variant> callback);
  void set_frames_per_buffer(std::uint64_t frames, boost::optional<FB::variant> callback);
  std::uint64_t get_upload_timeout(boost::optional<FB::variant> callback);
  void set_upload_timeout(std::uint64_t seconds, boost::optional<FB::variant> callback);
  std::string get_recognition_url(boost::optional<FB::variant> callback);
  void set_recognition_url(const std::string& url, boost::optional<FB::variant> callback);

 private:
  void register_trusted_surface();
  // Returns the value after delivering [value] to the callback.
  template <class T>
  T deliver_value(const T& value, boost::optional<FB::variant>& callback);
  // Runs a single-record file starter. Failures of the file work that the starter meets on the
  // page's thread (no folder for "@{appdata}", say) reach the callback as [false, text], as they
  // would from the worker; the page's own mistakes (the buffer limit) still fail the call.
  template <class Start>
  void start_file_work(const vocle::function_ptr& callback, Start start);

  boost::weak_ptr<vocle7> m_plugin;
  FB::BrowserHostPtr m_host;
  vocle::jskey_funchost_ptr m_jskey_funchost;
  boost::mutex m_jskey_funchost_mutex;
  vocle::audio::studio m_studio;
};

namespace vocle {
// The script object is named like the framework's classes, outside the project's namespace;
// code of the project may name it either way.
using ::vocleAPI;
}  // namespace vocle
