// The upload starters and workers: a post of one record, a post of several records packed into
// one body, and a recognition upload of one record with its sentence.
//
// The upload task travels with the upload and ends in request_factory::post, which destroys it
// (taking it out of the studio's table). Until that hand-over whoever holds the task owns it in
// a std::unique_ptr: a starter that fails on a bad index, or a worker whose encoding fails,
// destroys it on the spot, so no task is left behind in the table. A worker that fails before
// the transfer still gives the page the one result every upload ends with:
// (false, the failure's message, the task id, an empty transfer summary).
//
// Cookies are credentials: log lines show their length, never their text.
#include <cstdint>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>

#include "core/audio/audio_buffer.h"
#include "core/encoding/adpcm.h"
#include "core/encoding/encoding.h"
#include "core/foundation/binary.h"
#include "core/foundation/binary_source.h"
#include "core/foundation/byte_source.h"
#include "core/foundation/log.h"
#include "core/foundation/sample_view.h"
#include "core/foundation/sample_view_source.h"
#include "core/http/form_field.h"
#include "core/http/request_factory.h"
#include "core/studio/studio.h"
#include "core/studio/task.h"
#include "core/studio/worker_registry.h"

namespace vocle {
namespace audio {
namespace {

typedef std::unique_ptr<studio::task> owned_task;

std::string cookie_text(const std::string& cookie) {
  return http::request_factory::cookie_note(cookie);
}

// Runs the worker on a thread of its own. The task passes to the worker only once the thread
// runs: when it cannot be started the task is still the starter's and is destroyed.
template <class Worker>
void start_upload(owned_task& upload_task, Worker worker) {
  worker_registry::start(std::move(worker));
  upload_task.release();
}

// The end of an upload that never reached the transfer: the task leaves the table first, so
// a page that hears of the end finds the task gone, as after any other upload.
void fail_before_transfer(owned_task upload_task, const function_ptr& callback,
                          const std::string& text) {
  VOCLE_LOG_ERROR("upload not sent: %1%", text);
  const std::int32_t id = upload_task ? upload_task->id() : -1;
  if (upload_task) {
    upload_task->set_status(studio::task::task_done);
  }
  upload_task.reset();
  if (callback) {
    try {
      callback->call_async(FB::VariantList{false, text, id, std::string()});
    } catch (const std::exception& e) {
      VOCLE_LOG_ERROR("upload result not delivered: %1%", e.what());
    }
  }
}

std::string failure_text(const std::exception& e) {
  const std::string what = e.what();
  return what.empty() ? std::string("the record could not be prepared for upload") : what;
}

void set_posting(const owned_task& upload_task) {
  if (upload_task) {
    upload_task->set_status(studio::task::task_posting);
  }
}

// The worker of a post: the task turns to uploading first of all (from then on a cancel of it is
// honoured), then the body is made and posted; a body that cannot be made ends the upload before
// its transfer.
template <class MakeBody>
void make_and_post(MakeBody make_body, const std::string& url, const std::string& cookie,
                   const function_ptr& callback, const function_ptr& on_upload_frame,
                   owned_task upload_task) {
  set_posting(upload_task);
  decltype(make_body()) body;
  try {
    body = make_body();
  } catch (const std::exception& e) {
    fail_before_transfer(std::move(upload_task), callback, failure_text(e));
    return;
  }
  studio::post_binary(body, url, cookie, callback, on_upload_frame, upload_task.release());
}

// Hands the form to the request factory, which owns the task from the call on and reports the
// outcome itself.
void post_fields(const std::string& url, const std::string& cookie, const function_ptr& callback,
                 const function_ptr& on_upload_frame, const http::form_fields& fields,
                 owned_task upload_task) {
  try {
    http::request_factory::post(url, cookie, callback, on_upload_frame, fields,
                                upload_task.release());
  } catch (const std::exception& e) {
    // The factory has destroyed the task; whether it delivered a result is its own affair.
    VOCLE_LOG_ERROR("post to %1% failed: %2%", url, e.what());
  }
}

// A "raw" record is its samples' little-endian bytes, which are what the record holds: the body
// reads them from a view of the record taken now, so nothing is copied before the transfer, and
// a recording or load into the record meanwhile changes nothing that is sent.
boost::shared_ptr<byte_source> raw_body(const studio::buffer_ptr& buffer) {
  sample_view view = buffer->snapshot();
  VOCLE_LOG_DEBUG("got %1% samples", view.size());
  return boost::make_shared<sample_view_source>(std::move(view));
}

void write_u32(binary& out, std::size_t offset, std::uint32_t value) {
  unsigned char* p = reinterpret_cast<unsigned char*>(out.begin()) + offset;
  for (int i = 0; i < 4; ++i) {
    p[i] = static_cast<unsigned char>(value >> (8 * i));
  }
}

}  // namespace

void studio::threaded_post_record(std::uint64_t index, const std::string& format,
                                  const std::string& url, const std::string& cookie,
                                  function_ptr callback, function_ptr on_upload_frame,
                                  task* upload_task) {
  owned_task owned(upload_task);
  VOCLE_LOG_INFO("index %1%, url %2%, cookie %3%, format %4%", index, url, cookie_text(cookie),
                 format);
  buffer_ptr buffer = get_buffer(index);
  const worker_context context = this->context();
  start_upload(
      owned, [context, buffer, format, url, cookie, callback, on_upload_frame, upload_task]() {
        post_record(context, buffer, format, url, cookie, callback, on_upload_frame, upload_task);
      });
}

void studio::threaded_multi_post_record(const std::vector<std::uint64_t>& indexes,
                                        const std::string& format, const std::string& url,
                                        const std::string& cookie, function_ptr callback,
                                        function_ptr on_upload_frame, task* upload_task) {
  owned_task owned(upload_task);
  std::string joined;
  for (std::size_t i = 0; i < indexes.size(); ++i) {
    if (i) {
      joined += ", ";
    }
    joined += std::to_string(indexes[i]);
  }
  VOCLE_LOG_INFO("index [%1%], url %2%, cookie %3%, format %4%", joined, url, cookie_text(cookie),
                 format);
  std::map<std::int32_t, buffer_ptr> buffers;
  for (std::uint64_t index : indexes) {
    buffers[static_cast<std::int32_t>(index)] = get_buffer(index);
  }
  const worker_context context = this->context();
  start_upload(owned,
               [context, buffers, format, url, cookie, callback, on_upload_frame, upload_task]() {
                 multi_post_record(context, buffers, format, url, cookie, callback, on_upload_frame,
                                   upload_task);
               });
}

void studio::threaded_recognize_record(std::uint64_t index, const std::string& sentence,
                                       const std::string& url, const std::string& cookie,
                                       function_ptr callback, function_ptr on_upload_frame,
                                       task* upload_task) {
  owned_task owned(upload_task);
  VOCLE_LOG_INFO("url %1%, cookie %2%, index %3%", url, cookie_text(cookie), index);
  buffer_ptr buffer = get_buffer(index);
  VOCLE_LOG_INFO("got buffer %1%", static_cast<const void*>(buffer.get()));
  const worker_context context = this->context();
  start_upload(owned,
               [context, buffer, sentence, url, cookie, callback, on_upload_frame, upload_task]() {
                 recognize_record(context, buffer, sentence, url, cookie, callback, on_upload_frame,
                                  upload_task);
               });
}

void studio::post_record(buffer_ptr buffer, std::string format, std::string url, std::string cookie,
                         function_ptr callback, function_ptr on_upload_frame, task* upload_task) {
  post_record(context(), std::move(buffer), std::move(format), std::move(url), std::move(cookie),
              std::move(callback), std::move(on_upload_frame), upload_task);
}

void studio::post_record(const worker_context& context, buffer_ptr buffer, std::string format,
                         std::string url, std::string cookie, function_ptr callback,
                         function_ptr on_upload_frame, task* upload_task) {
  if (format == "raw") {
    make_and_post([&] { return raw_body(buffer); }, url, cookie, callback, on_upload_frame,
                  owned_task(upload_task));
    return;
  }
  make_and_post([&] { return encode_record(context, buffer, format); }, url, cookie, callback,
                on_upload_frame, owned_task(upload_task));
}

void studio::multi_post_record(std::map<std::int32_t, buffer_ptr> buffers, std::string format,
                               std::string url, std::string cookie, function_ptr callback,
                               function_ptr on_upload_frame, task* upload_task) {
  multi_post_record(context(), std::move(buffers), std::move(format), std::move(url),
                    std::move(cookie), std::move(callback), std::move(on_upload_frame),
                    upload_task);
}

void studio::multi_post_record(const worker_context& context,
                               std::map<std::int32_t, buffer_ptr> buffers, std::string format,
                               std::string url, std::string cookie, function_ptr callback,
                               function_ptr on_upload_frame, task* upload_task) {
  // The records encoded so far are dropped with a body that fails.
  make_and_post([&] { return concat_records(context, buffers, format); }, url, cookie, callback,
                on_upload_frame, owned_task(upload_task));
}

void studio::recognize_record(buffer_ptr buffer, std::string sentence, std::string url,
                              std::string cookie, function_ptr callback,
                              function_ptr on_upload_frame, task* upload_task) {
  recognize_record(context(), std::move(buffer), std::move(sentence), std::move(url),
                   std::move(cookie), std::move(callback), std::move(on_upload_frame), upload_task);
}

void studio::recognize_record(const worker_context& /*context*/, buffer_ptr buffer,
                              std::string sentence, std::string url, std::string cookie,
                              function_ptr callback, function_ptr on_upload_frame,
                              task* upload_task) {
  owned_task owned(upload_task);
  set_posting(owned);
  http::form_fields fields;
  try {
    boost::shared_ptr<binary> image;
    {
      // The samples go into the image as they are: the studio's audio settings play no part.
      // A snapshot, encoded without copying a sample.
      const sample_view samples = buffer->snapshot();
      image = adpcm::make_wav(samples);
    }
    VOCLE_LOG_DEBUG("size %1%, url %2%, cookie %3%, sentence %4%", image->size(), url,
                    cookie_text(cookie), sentence);
    // By name, "file" goes before "sentence" in the body.
    fields["sentence"] = http::form_field{"string", boost::any(sentence)};
    fields["file"] = http::form_field{"wav_dvi_adpcm", boost::any(image)};
    VOCLE_LOG_TRACE("headers prepare ready");
    http::request_factory::instance();
  } catch (const std::exception& e) {
    fail_before_transfer(std::move(owned), callback, failure_text(e));
    return;
  }
  post_fields(url, cookie, callback, on_upload_frame, fields, std::move(owned));
}

void studio::post_binary(const boost::shared_ptr<binary>& body, const std::string& url,
                         const std::string& cookie, function_ptr callback,
                         function_ptr on_upload_frame, task* upload_task) {
  owned_task owned(upload_task);
  boost::shared_ptr<byte_source> source;
  try {
    // The transfer drains the binary through the source, as it would read the binary itself.
    source = boost::make_shared<binary_source>(body);
  } catch (const std::exception& e) {
    fail_before_transfer(std::move(owned), callback, failure_text(e));
    return;
  }
  post_binary(source, url, cookie, std::move(callback), std::move(on_upload_frame),
              owned.release());
}

void studio::post_binary(const boost::shared_ptr<byte_source>& body, const std::string& url,
                         const std::string& cookie, function_ptr callback,
                         function_ptr on_upload_frame, task* upload_task) {
  owned_task owned(upload_task);
  http::form_fields fields;
  try {
    if (!body) {
      throw std::invalid_argument("no body to post");
    }
    VOCLE_LOG_DEBUG("size %1%, url %2%, cookie %3%", body->size(), url, cookie_text(cookie));
    // The transfer streams the body from memory; the form holds it, never a copy.
    fields["data"] = http::form_field{"binary", boost::any(body)};
    VOCLE_LOG_TRACE("headers prepare ready");
    http::request_factory::instance();
  } catch (const std::exception& e) {
    fail_before_transfer(std::move(owned), callback, failure_text(e));
    return;
  }
  post_fields(url, cookie, callback, on_upload_frame, fields, std::move(owned));
}

boost::shared_ptr<binary> studio::concat_records(const std::map<std::int32_t, buffer_ptr>& buffers,
                                                 const std::string& format) {
  return concat_records(context(), buffers, format);
}

boost::shared_ptr<binary> studio::concat_records(const worker_context& context,
                                                 const std::map<std::int32_t, buffer_ptr>& buffers,
                                                 const std::string& format) {
  // An unknown format fails here, before any buffer is touched.
  boost::shared_ptr<encoding> encoder = encoding::create(
      format, context.sample_rate, context.sample_format, context.channels, context.interleaved);
  const std::uint64_t largest = std::numeric_limits<std::uint32_t>::max();
  // A size field has 32 bits: a longer record cannot be described, only cut, so it is refused.
  const auto refuse_beyond_largest = [largest](std::uint64_t size) {
    if (size > largest) {
      throw std::length_error("record too large for a multi-record body");
    }
  };

  // A snapshot of every record, in ascending index order, taken before any is encoded; no
  // sample is copied.
  std::vector<sample_view> records;
  records.reserve(buffers.size());
  for (const auto& entry : buffers) {
    records.push_back(entry.second->snapshot());
  }

  // The count and a size field for each record, then the records. The body is the only copy of
  // the encoded audio: each record is encoded straight into it and its size written back into
  // the header afterwards. Where the encoder knows the sizes beforehand the body is allocated
  // once, and a record too large is refused before anything is encoded.
  const std::size_t n = records.size();
  const std::size_t header = 4 * n + 4;
  std::uint64_t total = header;
  for (const sample_view& record : records) {
    const std::uint64_t size = encoder->encoded_size(record.size());
    refuse_beyond_largest(size);
    total += size;
  }
  boost::shared_ptr<binary> body = boost::make_shared<binary>(header);
  body->reserve(static_cast<std::size_t>(total));
  write_u32(*body, 0, static_cast<std::uint32_t>(n));
  std::size_t size_offset = 4;
  for (sample_view& record : records) {
    VOCLE_LOG_DEBUG("got %1% samples", record.size());
    const std::size_t start = body->size();
    // A fresh encoder for every record: a stream ends with its record.
    encoding::create(format, context.sample_rate, context.sample_format, context.channels,
                     context.interleaved)
        ->encode(*body, record);
    // The chunks this record kept alive may go now.
    record = sample_view();
    const std::uint64_t length = body->size() - start;
    VOCLE_LOG_DEBUG("encoded to binary %1%", length);
    refuse_beyond_largest(length);
    write_u32(*body, size_offset, static_cast<std::uint32_t>(length));
    size_offset += 4;
  }
  return body;
}

}  // namespace audio
}  // namespace vocle
