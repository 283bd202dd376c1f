// The controller behind every script call: the audio parameters, the numbered record slots, the
// upload tasks, and the workers that record, play, stop, save, load and upload.
//
// The studio is split over files by concern:
//   studio.cpp          construction, the buffer table, the accessors, the version
//   studio_devices.cpp  audio start-up, device choice, the device list
//   studio_tasks.cpp    upload tasks and their cancellation
//   studio_records.cpp  record read-out and description, the page's log
//   studio_files.cpp    record encoding, default file names, the file-permission rule
// and the workers beside them, a file for each kind of work.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <boost/any.hpp>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>

#include "core/foundation/function.h"
#include "core/studio/worker_registry.h"
#include "framework/variant.h"

namespace vocle {

class binary;
class byte_source;
class settings;

namespace audio {

class audio_buffer;
class sample_store;

class studio : private boost::noncopyable {
 public:
  class task;

  // The upload tasks of one studio and their lock. Tasks hold it by shared pointer: an upload
  // that outlives its studio still removes itself from a live table.
  struct task_table {
    boost::mutex mutex;
    std::int32_t next_id = 0;
    std::map<std::int32_t, task*> tasks;
  };
  typedef boost::shared_ptr<task_table> task_table_ptr;

  typedef boost::shared_ptr<audio_buffer> buffer_ptr;

  // The record slots and their lock. Shared with the list-save workers, which look their records
  // up after the page's call has returned, perhaps after the page has gone.
  struct buffer_table {
    explicit buffer_table(std::uint64_t max) : max_count(max) {}
    boost::mutex mutex;
    std::vector<buffer_ptr> slots;
    const std::uint64_t max_count;
  };
  typedef boost::shared_ptr<buffer_table> buffer_table_ptr;

  // What a page shares with its recordings and playbacks: whether it is closing (raised under
  // wake_mutex, and wake tells the workers at once), whether a stream opening has warned yet that
  // the configured stream layout is not used (once per page), and the group of the streams that
  // have not stopped yet, which the closing page waits for.
  struct page_streams {
    page_streams() : running(new worker_registry::group()) {}
    std::atomic<bool> closing{false};
    std::atomic<bool> layout_warned{false};
    const worker_registry::group_ptr running;
    std::mutex wake_mutex;
    std::condition_variable wake;
  };
  typedef boost::shared_ptr<page_streams> page_streams_ptr;

  // What a worker keeps of its studio, made on the page's thread when the worker is started: the
  // audio parameters as they are then, and the parts of the studio that outlive it. A worker
  // holds this, by value, and never touches the studio itself.
  struct worker_context {
    double sample_rate;
    std::uint64_t frames_per_buffer;
    std::uint64_t channels;
    std::uint32_t sample_format;
    bool interleaved;
    buffer_table_ptr buffers;
    page_streams_ptr streams;
    // worker_registry::generation() at the start: a later one means the process is ending.
    std::uint64_t generation;
    // The configuration, kept alive while the worker may read it.
    std::shared_ptr<const settings> configuration;

    // The page has closed or the process is ending.
    bool closing() const;
    // The process is ending.
    bool ending() const;
  };
  // Detector options of a recording ("vad_gap", "vad_wait", "vad_max" as double,
  // "vad_statistic", "vad_clip" as bool); empty for a playback.
  typedef std::map<std::string, boost::any> options_t;
  // {input device index, output device index}; -1 means none.
  typedef std::pair<std::int32_t, std::int32_t> device_pair;

  // One record of a list save: the page's raw path (placeholders not yet expanded) and format.
  struct threaded_save_record_param {
    std::uint64_t index;
    std::string path;
    std::string format;
  };
  typedef std::vector<threaded_save_record_param> save_record_params;

  // Reads the "audio" settings and makes "audio.buffer_count" empty buffers (also more than
  // "audio.max_buffer_count" when so configured).
  studio();
  // The page closes. Its recordings and playbacks stop: when this returns no stream of the page
  // takes or gives another block (within about one block; a device that delivers no block at
  // all is waited for at most a few seconds), and each worker closes its device right after, on
  // its own thread. They report nothing to the page that has gone. Everything else the page started
  // (uploads, loads, saves, stops) runs on to its end on what its worker holds, and reports as
  // usual; this waits for none of it. The task table's entries are dropped; uploads still running
  // remove their tasks from the (shared) table.
  ~studio();

  // The end of the process (the plug-in's last unload, the end of a test program): every worker
  // of every studio stops or finishes, and when this returns true none of them runs any code of
  // the library any more, so PortAudio and libcurl may be ended and the library unloaded.
  //  - Uploads are cancelled: a transfer under way aborts at its next progress report (libcurl
  //    makes one at least about once a second, also on a silent connection), and one that has
  //    not begun (its worker still encoding, or waiting for the transfer before it) is not made;
  //    each reports its failure as a cancelled upload does.
  //  - Recordings and playbacks stop as when their page closes; stops end with them.
  //  - Loads, saves and encodings finish.
  // The wait is bounded by the upload time-out ("audio.upload_timeout"), or by 10 seconds when
  // that is 0 (no limit): false when a worker still runs then (one stuck in the file system or
  // on a device that delivers nothing); ending PortAudio is then unsafe. Studios may still
  // exist; workers started afterwards run as usual. Never call it from a worker.
  static bool shutdown_workers();

  // ---- the buffer table ----

  // The buffer at the index; missing slots up to the index are made first. An index that needs
  // a new slot at or beyond max_buffer_count fails with the script error
  // "reach max_buffer_count limit". The buffer stays usable after it has left the table.
  buffer_ptr get_buffer(std::uint64_t index);
  // Shrinks or grows the table; a count above max_buffer_count fails with the same error.
  void set_buffer_count(std::uint64_t count);
  std::uint64_t buffer_count() const;
  std::uint64_t max_buffer_count() const;

  // ---- audio parameters: safe to read from any thread while the page's thread sets them ----

  double sample_rate() const { return m_sample_rate.load(); }
  void set_sample_rate(double rate) { m_sample_rate.store(rate); }
  std::uint64_t frames_per_buffer() const { return m_frames_per_buffer.load(); }
  void set_frames_per_buffer(std::uint64_t frames) { m_frames_per_buffer.store(frames); }
  std::uint64_t upload_timeout() const { return m_upload_timeout.load(); }
  void set_upload_timeout(std::uint64_t seconds) { m_upload_timeout.store(seconds); }
  // Fixed at construction.
  std::uint64_t channels() const { return m_channels; }
  // A PortAudio sample-format flag (paInt16 unless "audio.sample_format" names another).
  std::uint32_t sample_format() const { return m_sample_format; }
  bool interleaved() const { return m_interleaved; }

  // The page's override of the recognition URL; the empty text removes it. Page's thread only.
  void set_recognition_url(std::string url);
  // The override, else "audio.recognition_url" as configured now.
  std::string recognition_url() const;
  // While there is an override: true with the count of overrides set so far, which grows with
  // each one. Without one the value is the configuration's, which this does not count: false.
  bool recognition_url_revision(std::uint64_t* revision) const;

  std::string version() const;
  std::string version_detail() const;

  // ---- audio start-up and devices ----

  // Starts the audio system for the process (once, before any studio exists) and logs the
  // configuration and the device list as "log.logconfig" and "log.logdevice" ask. A PortAudio
  // failure to start leaves as portaudio::PaException.
  static void initialize();
  // The devices for a recording or a playback: the system defaults unless blacklisted
  // ("device.blacklist", whole-name regular expressions), else the first device of the best
  // ranked host API ("device.priorities"). Reads the settings and the device list every call.
  static device_pair choose_device();
  // What the device choice sees of one device; names in UTF-8.
  struct device_info {
    std::int32_t index;
    std::string name;
    int input_channels;
    int output_channels;
    std::string host_api;
    bool default_input;
    bool default_output;
  };
  // The audio system's devices in index order; none before initialize.
  static std::vector<device_info> device_list();
  // The choice among the given devices (in index order) under the current settings.
  static device_pair choose_device(const std::vector<device_info>& devices);
  // One map per device ("index", "name", "input_channels", "output_channels", "host_api", and
  // "default_input", "default_output", "choosed_input", "choosed_output" only where they hold).
  FB::VariantList devices() const;

  // ---- upload tasks ----

  // A task per upload, created on the page's thread; its id names it for cancel_upload. A
  // negative timeout means the studio's upload time-out.
  //
  // Ownership: the caller owns the task. It hands it on to the upload starter, the starter to
  // its worker, and the worker to request_factory::post, which destroys it when the transfer has
  // ended. Whoever fails before that hand-over (the starter on a bad buffer index, the worker on
  // a failed encoding) destroys the task itself, which takes it out of the table, so no task
  // stays in the table for ever. Workers therefore hold it in a std::unique_ptr until they
  // release it into request_factory::post. Read the id before handing the task on: it may be
  // gone as soon as the upload ends.
  task* create_task(std::int32_t timeout);
  // Marks one uploading task (id >= 0) or every uploading task (id < 0) for cancellation; the
  // transfer then aborts at its next progress report. False when the task is unknown or not
  // uploading.
  bool cancel_upload(std::int32_t id);

  // ---- record inspection and the page's log ----

  // The record encoded in the format, as Base64 text.
  std::string get_record(std::uint64_t index, const std::string& format);
  // "status", "vad_statistics", "sample_rate", "count", "time", "channels", "interleaved".
  std::map<std::string, std::string> get_record_info(std::uint64_t index);
  // A line of the page's own text at the level the page names ("trace", "debug", "info",
  // "warn", "error", "fatal"); the text is never taken as a format.
  static void log(const std::string& type, const std::string& message);

  // ---- record encoding, default names, the file-permission rule ----

  // A snapshot of the buffer's samples, taken under its lock without copying them, encoded with
  // this studio's parameters into a buffer sized beforehand where the format allows. An
  // unknown format fails with the script error "wrong encoding type %1%" before the buffer is
  // touched; an encoder's own failure leaves as it is.
  boost::shared_ptr<binary> encode_record(const buffer_ptr& buffer, const std::string& format);
  // "audio.record_file_prefix" followed by the format (a single record) or by the index and the
  // format (a record of a list: test.2wav). Raw: placeholders are not expanded.
  static std::string default_path(const std::string& format);
  static std::string default_path(const std::string& format, std::uint64_t index);

  // What the "system.file_permission" rule makes of the page's path for one load or save.
  struct file_access {
    bool allowed = false;
    // Allowed: the resolved path (placeholders expanded, made absolute, UTF-8).
    std::string path;
    // Refused: the translated "FILE_PERMISSION_SECURITY_ERROR" text, or the translated
    // failure_key for a path that holds a NUL; already logged.
    std::string refusal;
  };
  // "all": the page's path, or default_name when it is empty; "sandbox": default_name, with a
  // warning; anything else: refused. default_name is default_path(format) for a single record,
  // default_path(format, index) for a record of a list. The path chosen is refused when it holds
  // a NUL (the system would take only the part before it), with the request's own failure text
  // (failure_key: "LOAD_RECORD_FAILED", "SAVE_RECORD_FAILED"). An allowed path is normalised.
  // Throws when a placeholder cannot be expanded ("Could not find path"): a worker must catch
  // that.
  static file_access resolve_file_path(const std::string& raw_path, const std::string& default_name,
                                       const char* failure_key);
  // Placeholders expanded, then made absolute against the current folder; nothing else is
  // changed ("." and ".." stay, the file need not exist).
  static std::string normalize_path(const std::string& raw_path);

  // ---- workers, built on the above ----
  // Runs work on a detached thread of its own, which nothing in the page waits for; the end of
  // the process does (shutdown_workers). The work must not use this studio: give it what it
  // needs by value or by shared pointer (context()). boost::thread_resource_error passes to the
  // caller when no thread can be started (the work then never runs).
  void start_worker(boost::function<void()> work);
  // What a worker started now keeps of this studio.
  worker_context context() const;

  // Each threaded_ member runs on the page's thread, resolves the buffer (get_buffer's script
  // error passes to the caller, and then no thread starts) and starts a detached thread running
  // the member of the bare name on the studio's context(), which reports once through the
  // callback. Called on the studio directly, the members of the bare name run on its context()
  // of that moment.

  void threaded_start_record(std::size_t index, function_ptr callback, function_ptr volumn,
                             const options_t& options);
  void start_record(buffer_ptr buffer, function_ptr callback, function_ptr volumn,
                    options_t options);
  void threaded_playback(std::size_t index, function_ptr callback, function_ptr volumn,
                         const options_t& options);
  void playback(buffer_ptr buffer, function_ptr callback, function_ptr volumn, options_t options);
  void threaded_stop(std::uint64_t index, function_ptr callback);
  void stop(buffer_ptr buffer, function_ptr callback);

  void threaded_load_record(std::uint64_t index, const std::string& format, const std::string& path,
                            bool append, function_ptr callback);
  void load_record(buffer_ptr buffer, std::string path, std::string format, bool append,
                   function_ptr callback);
  // Reads the file in pieces and appends its bytes to samples as little-endian 16-bit samples
  // (an odd last byte is left out). Only a regular file is read, and opening never waits.
  static bool load_file(const std::string& path, sample_store& samples);
  void threaded_save_record(std::uint64_t index, const std::string& format, const std::string& path,
                            function_ptr callback);
  void save_record(buffer_ptr buffer, std::string path, std::string format, function_ptr callback);
  bool save_one_record(const buffer_ptr& buffer, const std::string& path, const std::string& format,
                       std::string& detail);
  static bool save_file(const std::string& path, const boost::shared_ptr<binary>& bytes);
  void threaded_save_records(const save_record_params& records, function_ptr callback);
  void save_records(save_record_params records, function_ptr callback);

  // The upload starters and workers take over the task (see create_task).
  void threaded_post_record(std::uint64_t index, const std::string& format, const std::string& url,
                            const std::string& cookie, function_ptr callback,
                            function_ptr on_upload_frame, task* upload_task);
  void threaded_multi_post_record(const std::vector<std::uint64_t>& indexes,
                                  const std::string& format, const std::string& url,
                                  const std::string& cookie, function_ptr callback,
                                  function_ptr on_upload_frame, task* upload_task);
  void threaded_recognize_record(std::uint64_t index, const std::string& sentence,
                                 const std::string& url, const std::string& cookie,
                                 function_ptr callback, function_ptr on_upload_frame,
                                 task* upload_task);
  void post_record(buffer_ptr buffer, std::string format, std::string url, std::string cookie,
                   function_ptr callback, function_ptr on_upload_frame, task* upload_task);
  void multi_post_record(std::map<std::int32_t, buffer_ptr> buffers, std::string format,
                         std::string url, std::string cookie, function_ptr callback,
                         function_ptr on_upload_frame, task* upload_task);
  void recognize_record(buffer_ptr buffer, std::string sentence, std::string url,
                        std::string cookie, function_ptr callback, function_ptr on_upload_frame,
                        task* upload_task);
  static void post_binary(const boost::shared_ptr<binary>& body, const std::string& url,
                          const std::string& cookie, function_ptr callback,
                          function_ptr on_upload_frame, task* upload_task);
  // The same with the body streamed from a source, read once to its end ("raw" records: the
  // samples' own bytes, read from a view of the record).
  static void post_binary(const boost::shared_ptr<byte_source>& body, const std::string& url,
                          const std::string& cookie, function_ptr callback,
                          function_ptr on_upload_frame, task* upload_task);
  boost::shared_ptr<binary> concat_records(const std::map<std::int32_t, buffer_ptr>& buffers,
                                           const std::string& format);

 private:
  friend class stream_worker;

  // The workers proper: what the members of the same names do, on what a worker keeps of its
  // studio.
  static buffer_ptr get_buffer(buffer_table& table, std::uint64_t index);
  static boost::shared_ptr<binary> encode_record(const worker_context& context,
                                                 const buffer_ptr& buffer,
                                                 const std::string& format);
  // place: the worker's place among the page's running streams (null when the member is called
  // on the studio directly).
  static void start_record(const worker_context& context, const worker_registry::place_ptr& place,
                           buffer_ptr buffer, function_ptr callback, function_ptr volumn,
                           options_t options);
  static void playback(const worker_context& context, const worker_registry::place_ptr& place,
                       buffer_ptr buffer, function_ptr callback, function_ptr volumn,
                       options_t options);
  static void stop(const worker_context& context, buffer_ptr buffer, function_ptr callback);
  static void load_record(const worker_context& context, buffer_ptr buffer, std::string path,
                          std::string format, bool append, function_ptr callback);
  static void save_record(const worker_context& context, buffer_ptr buffer, std::string path,
                          std::string format, function_ptr callback);
  static bool save_one_record(const worker_context& context, const buffer_ptr& buffer,
                              const std::string& path, const std::string& format,
                              std::string& detail);
  static void save_records(const worker_context& context, save_record_params records,
                           function_ptr callback);
  static void post_record(const worker_context& context, buffer_ptr buffer, std::string format,
                          std::string url, std::string cookie, function_ptr callback,
                          function_ptr on_upload_frame, task* upload_task);
  static void multi_post_record(const worker_context& context,
                                std::map<std::int32_t, buffer_ptr> buffers, std::string format,
                                std::string url, std::string cookie, function_ptr callback,
                                function_ptr on_upload_frame, task* upload_task);
  static void recognize_record(const worker_context& context, buffer_ptr buffer,
                               std::string sentence, std::string url, std::string cookie,
                               function_ptr callback, function_ptr on_upload_frame,
                               task* upload_task);
  static boost::shared_ptr<binary> concat_records(const worker_context& context,
                                                  const std::map<std::int32_t, buffer_ptr>& buffers,
                                                  const std::string& format);

  // The record slots, shared with the workers that look records up.
  const buffer_table_ptr m_buffers;
  std::atomic<double> m_sample_rate;
  std::atomic<std::uint64_t> m_frames_per_buffer;
  const std::uint64_t m_channels;
  const std::uint32_t m_sample_format;
  const bool m_interleaved;
  std::atomic<std::uint64_t> m_upload_timeout;
  // Read and written on the page's thread only.
  std::string m_recognition_url;
  std::uint64_t m_recognition_url_revision = 0;
  // The next task id, the tasks by id, and their lock.
  task_table_ptr m_tasks;
  // Shared with the page's recordings and playbacks.
  const page_streams_ptr m_streams;
};

}  // namespace audio
}  // namespace vocle
