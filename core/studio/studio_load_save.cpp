// Loading records from files and saving them to files, one at a time or as a list.
//
// Every request has a starter on the page's thread and a detached worker that touches the file
// and reports once through the page's callback. A worker never lets an exception escape (that
// would end the process): whatever goes wrong inside it reaches the page in the worker's usual
// result form, [false, text] for one record or {index, false, text} in a list, where the text
// is the failure's own message ("wrong encoding type xyz", "failed to encode mp3",
// "reach max_buffer_count limit", "Could not find path"), the same message the page sees when
// the same failure happens inside a script call.
#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/thread/thread.hpp>

#include "core/audio/audio_buffer.h"
#include "core/audio/sample_store.h"
#include "core/foundation/binary.h"
#include "core/foundation/log.h"
#include "core/foundation/regular_file.h"
#include "core/foundation/settings.h"
#include "core/foundation/util.h"
#include "core/studio/studio.h"

namespace vocle {
namespace audio {
namespace {

namespace fs = boost::filesystem;

const char* const load_failed = "LOAD_RECORD_FAILED";
const char* const save_failed = "SAVE_RECORD_FAILED";

std::string translated(const char* key) {
  return settings::instance().translate(key);
}

// The text a worker reports for an exception it caught; the translated fallback key when the
// exception has no message of its own.
std::string failure_text(const std::exception& e, const char* fallback_key) {
  const std::string what = e.what();
  return what.empty() ? translated(fallback_key) : what;
}

void report(const function_ptr& callback, const FB::VariantList& result) {
  if (callback) {
    callback->call_async(result);
  }
}

const void* address_of(const studio::buffer_ptr& buffer) {
  return static_cast<const void*>(buffer.get());
}

// A file is loaded a piece of this size at a time, through one buffer that is used again for
// every piece: the record's storage is the only copy of the file that the load makes.
const std::size_t load_piece_samples = 64 * 1024;
// The record's room is made ready this much at a time at most: a huge file then takes memory as
// it is read, as any load does, rather than all at once before the first byte.
const std::uint64_t load_reserve_samples = 8 * 1024 * 1024;

}  // namespace

void studio::threaded_load_record(std::uint64_t index, const std::string& format,
                                  const std::string& path, bool append, function_ptr callback) {
  const file_access access = resolve_file_path(path, default_path(format), load_failed);
  if (!access.allowed) {
    report(callback, FB::VariantList{false, access.refusal});
    return;
  }
  VOCLE_LOG_INFO("index %1%, format %2%, path %3%", index, format, access.path);
  buffer_ptr buffer = get_buffer(index);
  VOCLE_LOG_INFO("got buffer %1%", address_of(buffer));
  const std::string resolved = access.path;
  const worker_context context = this->context();
  start_worker([context, buffer, resolved, format, append, callback]() {
    load_record(context, buffer, resolved, format, append, callback);
  });
}

void studio::load_record(buffer_ptr buffer, std::string path, std::string format, bool append,
                         function_ptr callback) {
  load_record(context(), std::move(buffer), std::move(path), std::move(format), append,
              std::move(callback));
}

void studio::load_record(const worker_context& /*context*/, buffer_ptr buffer, std::string path,
                         std::string /*format*/, bool append, function_ptr callback) {
  // The format only chose the default file name; a load takes the bytes as they are.
  bool reported = false;
  try {
    // Read outside the buffer's lock into a store of the load's own, whose chunks then move into
    // the buffer: a recording or playback of the buffer never waits for the disk.
    sample_store samples;
    if (!load_file(path, samples)) {
      reported = true;
      report(callback, FB::VariantList{false, translated(load_failed)});
      return;
    }
    // Held until the report is queued: a save of this buffer sees it before or after the whole
    // load, never halfway.
    boost::mutex::scoped_lock lock(buffer->m_mutex);
    if (!append) {
      buffer->m_samples.clear();
    }
    buffer->m_samples.splice(samples);
    reported = true;
    report(callback, FB::VariantList{true, path});
  } catch (const std::exception& e) {
    VOCLE_LOG_ERROR("load of %1% failed: %2%", path, e.what());
    if (!reported) {
      try {
        report(callback, FB::VariantList{false, failure_text(e, load_failed)});
      } catch (const std::exception& again) {
        VOCLE_LOG_ERROR("load result not delivered: %1%", again.what());
      }
    }
  }
}

bool studio::load_file(const std::string& path, sample_store& samples) {
  regular_file file;
  if (!file.open(util::utf8_to_ansi(path))) {
    VOCLE_LOG_ERROR("file open failure");
    return false;
  }
  std::vector<std::int16_t> piece(load_piece_samples);
  char* const bytes = reinterpret_cast<char*>(piece.data());
  std::uint64_t total = 0;
  std::size_t held = 0;  // bytes at the front of the piece: at most the odd byte of the last read
  std::uint64_t reserved = 0;  // samples the room made so far holds
  for (;;) {
    if (total / 2 >= reserved && file.size() / 2 > reserved) {
      const std::uint64_t more = std::min(file.size() / 2 - reserved, load_reserve_samples);
      samples.reserve(static_cast<std::size_t>(more));
      reserved += more;
    }
    const long got = file.read(bytes + held, 2 * piece.size() - held);
    if (got < 0) {
      // A file that cannot be read has not been loaded; what was read of it goes.
      VOCLE_LOG_ERROR("file open failure");
      return false;
    }
    if (got == 0) {
      break;  // a file that shrank while it was read keeps what was there
    }
    total += static_cast<std::uint64_t>(got);
    held += static_cast<std::size_t>(got);
    const std::size_t count = held / 2;
#if !(defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
    for (std::size_t i = 0; i < count; ++i) {
      piece[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[2 * i]) |
                                           static_cast<std::uint16_t>(p[2 * i + 1]) << 8);
    }
#endif
    // On a little-endian machine the bytes already are the samples.
    samples.append(piece.data(), count);
    if (held % 2) {
      bytes[0] = bytes[held - 1];
    }
    held %= 2;
  }
  VOCLE_LOG_INFO("file read success, %1% bytes from %2%", total, path);
  return true;
}

void studio::threaded_save_record(std::uint64_t index, const std::string& format,
                                  const std::string& path, function_ptr callback) {
  VOCLE_LOG_DEBUG("raw path %1%", path);
  const file_access access = resolve_file_path(path, default_path(format), save_failed);
  if (!access.allowed) {
    report(callback, FB::VariantList{false, access.refusal});
    return;
  }
  VOCLE_LOG_INFO("index %1%, format %2%, path %3%", index, format, access.path);
  buffer_ptr buffer = get_buffer(index);
  VOCLE_LOG_INFO("got buffer %1%", address_of(buffer));
  const std::string resolved = access.path;
  const worker_context context = this->context();
  start_worker([context, buffer, resolved, format, callback]() {
    save_record(context, buffer, resolved, format, callback);
  });
}

void studio::save_record(buffer_ptr buffer, std::string path, std::string format,
                         function_ptr callback) {
  save_record(context(), std::move(buffer), std::move(path), std::move(format),
              std::move(callback));
}

void studio::save_record(const worker_context& context, buffer_ptr buffer, std::string path,
                         std::string format, function_ptr callback) {
  std::string detail;
  const bool saved = save_one_record(context, buffer, path, format, detail);
  try {
    report(callback, FB::VariantList{saved, detail});
  } catch (const std::exception& e) {
    VOCLE_LOG_ERROR("save result not delivered: %1%", e.what());
  }
}

bool studio::save_one_record(const buffer_ptr& buffer, const std::string& path,
                             const std::string& format, std::string& detail) {
  return save_one_record(context(), buffer, path, format, detail);
}

bool studio::save_one_record(const worker_context& context, const buffer_ptr& buffer,
                             const std::string& path, const std::string& format,
                             std::string& detail) {
  try {
    const boost::shared_ptr<binary> bytes = encode_record(context, buffer, format);
    if (save_file(path, bytes)) {
      detail = path;
      return true;
    }
    detail = translated(save_failed);
  } catch (const std::exception& e) {
    // An unknown or empty format, an encoder's own failure, no memory for the bytes.
    VOCLE_LOG_ERROR("save of %1% failed: %2%", path, e.what());
    detail = failure_text(e, save_failed);
  }
  return false;
}

bool studio::save_file(const std::string& path, const boost::shared_ptr<binary>& bytes) {
  VOCLE_LOG_DEBUG("save to file %1%, size %2%", path, bytes->size());
  const fs::path file(util::utf8_to_ansi(path));
  const fs::path parent = file.parent_path();
  boost::system::error_code ec;
  // One missing level is made; a deeper gap, or a file in the folder's place, fails. The checks
  // report through error codes, so a folder that cannot even be examined fails the same way.
  if (!parent.empty() && !fs::is_directory(parent, ec)) {
    fs::create_directory(parent, ec);
    if (ec || !fs::is_directory(parent, ec)) {
      VOCLE_LOG_ERROR("failed to create dir: %1%", util::ansi_to_utf8(parent.string()));
      return false;
    }
  }
  // Over a plain file, written beside it and renamed over it: a failed save leaves the old file.
  if (!bytes->save(file.string())) {
    VOCLE_LOG_ERROR("file save failed");
    return false;
  }
  VOCLE_LOG_INFO("file saved");
  return true;
}

void studio::threaded_save_records(const save_record_params& records, function_ptr callback) {
  const worker_context context = this->context();
  start_worker([context, records, callback]() { save_records(context, records, callback); });
}

void studio::save_records(save_record_params records, function_ptr callback) {
  save_records(context(), std::move(records), std::move(callback));
}

void studio::save_records(const worker_context& context, save_record_params records,
                          function_ptr callback) {
  bool all = true;
  FB::VariantList entries;
  try {
    for (const threaded_save_record_param& record : records) {
      VOCLE_LOG_DEBUG("index: %1%, format: %2%, raw_path: %3%", record.index, record.format,
                      record.path);
      bool saved = false;
      std::string detail;
      try {
        const file_access access =
            resolve_file_path(record.path, default_path(record.format, record.index), save_failed);
        if (!access.allowed) {
          detail = access.refusal;
        } else {
          VOCLE_LOG_INFO("index %1%, format %2%, path %3%", record.index, record.format,
                         access.path);
          // The page's table, shared: the page may have gone meanwhile.
          buffer_ptr buffer = get_buffer(*context.buffers, record.index);
          VOCLE_LOG_INFO("got buffer %1%", address_of(buffer));
          saved = save_one_record(context, buffer, access.path, record.format, detail);
        }
      } catch (const std::exception& e) {
        // A placeholder that cannot be expanded, an index at or beyond the buffer limit.
        VOCLE_LOG_ERROR("record %1% not saved: %2%", record.index, e.what());
        detail = failure_text(e, save_failed);
      }
      all = all && saved;
      if (callback) {
        entries.push_back(
            FB::VariantMap{{"index", record.index}, {"success", saved}, {"detail", detail}});
      }
    }
  } catch (const std::exception& e) {
    // Only the list's own bookkeeping gets here (no memory for an entry); what was reported so
    // far stands, and the list as a whole failed.
    VOCLE_LOG_ERROR("list save stopped: %1%", e.what());
    all = false;
  }
  try {
    report(callback, FB::VariantList{all, entries});
  } catch (const std::exception& e) {
    VOCLE_LOG_ERROR("list save result not delivered: %1%", e.what());
  }
}

}  // namespace audio
}  // namespace vocle
