// What the upload tests share: a real server, a configuration whose language file gives every
// network code a text of its own, a task table of the test's own, and a synchronous post.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>

#include "common/config_dir.h"
#include "common/http_server.h"
#include "common/recording_function.h"
#include "core/foundation/binary.h"
#include "core/http/request_factory.h"
#include "core/studio/task.h"

namespace vocle {
namespace http_test {

typedef audio::studio::task task;
typedef boost::shared_ptr<testkit::recording_function> recorder_ptr;

inline std::string test_lang_conf() {
  return "[en_US]\n"
         "ZRV_ERR_NET_BAD_URL = bad address: %1%\n"
         "ZRV_ERR_NET_CONNECTION = cannot connect: %1%\n"
         "ZRV_ERR_NET_TIMEOUT = no answer in time: %1%\n"
         "ZRV_ERR_NET_MAX_REDIRECTS_EXCEEDED = too many redirects: %1%\n"
         "ZRV_ERR_NET_HTTP = transfer failed: %1%\n"
         "ZRV_ERR_NET_MOVED_PERMANENTLY = moved to [%1%]\n"
         "ZRV_ERR_NET_REDIRECTED = redirected to [%1%]\n"
         "ZRV_ERR_NET_MISSING_ARGS = arguments missing\n"
         "ZRV_ERR_NET_BAD_ARGS = arguments refused\n"
         "ZRV_ERR_NET_UNKNOWN_STATUS = status %1%: [%2%]\n"
         "ZRV_ERR_NET_RESPONSE_TOO_LARGE = answer over %1% bytes\n"
         "ERROR_I18N_FORMAT_PREFIX = pattern %1% failed: \n";
}

inline boost::shared_ptr<binary> make_binary(const std::string& bytes) {
  return boost::make_shared<binary>(bytes.data(), bytes.size());
}

inline http::form_field field(const std::string& type, const std::string& text) {
  return http::form_field{type, boost::any(text)};
}

inline http::form_field field(const std::string& type, const boost::shared_ptr<binary>& bytes) {
  return http::form_field{type, boost::any(bytes)};
}

// Bytes that a careless client would mangle: zeros, CR LF, a boundary-like run.
inline std::string awkward_bytes(std::size_t n, unsigned seed = 7) {
  std::string bytes(n, '\0');
  std::uint32_t x = seed;
  for (std::size_t i = 0; i < n; ++i) {
    x = x * 1664525u + 1013904223u;
    bytes[i] = static_cast<char>(x >> 24);
  }
  const std::string trap("\r\n--\r\n\r\n\0", 9);
  for (std::size_t i = 0; i + trap.size() < n; i += 997) {
    bytes.replace(i, trap.size(), trap);
  }
  return bytes;
}

// A page callback that records each call and then fails, as one whose page has gone may.
class throwing_function : public testkit::recording_function {
 public:
  void call_async(const FB::VariantList& args) override {
    recording_function::call_async(args);
    throw std::runtime_error("the page is gone");
  }
};

class upload_test : public ::testing::Test {
 protected:
  upload_test()
      : config(std::string(), test_lang_conf()),
        table(boost::make_shared<audio::studio::task_table>()),
        callback(boost::make_shared<testkit::recording_function>()) {
    http::request_factory::instance();
  }

  // A task of the test's table, uploading (status 1) as a worker would have left it.
  task* make_task(std::int32_t timeout = 30) {
    boost::mutex::scoped_lock lock(table->mutex);
    std::int32_t id = table->next_id++;
    task* t = new task(id, timeout, table);
    table->tasks[id] = t;
    t->set_status(task::task_posting);
    return t;
  }

  bool in_table(std::int32_t id) {
    boost::mutex::scoped_lock lock(table->mutex);
    return table->tasks.count(id) != 0;
  }

  // What cancel_upload does for one task: under the table's lock, 1 -> 2.
  bool request_cancel(std::int32_t id) {
    boost::mutex::scoped_lock lock(table->mutex);
    auto it = table->tasks.find(id);
    return it != table->tasks.end() &&
           it->second->exchange_status(task::task_posting, task::task_cancel_requested);
  }

  // Posts and returns the one result list (an empty list, and a test failure, when the count
  // of results is not one).
  FB::VariantList post(const std::string& uri, const http::form_fields& fields, task* t = nullptr,
                       const std::string& cookie = std::string(),
                       const function_ptr& on_upload_frame = function_ptr()) {
    if (!t) {
      t = make_task();
    }
    std::size_t before = callback->count();
    http::request_factory::post(uri, cookie, callback, on_upload_frame, fields, t);
    std::vector<FB::VariantList> lists = callback->lists();
    EXPECT_EQ(before + 1, lists.size()) << "one result list per post";
    return lists.size() == before + 1 ? lists.back() : FB::VariantList();
  }

  http::form_fields data_fields(const std::string& bytes = "payload") {
    http::form_fields fields;
    fields["data"] = field("binary", make_binary(bytes));
    return fields;
  }

  // The result list as text, for failure messages.
  static std::string describe(const FB::VariantList& list) {
    std::string s = "(";
    for (std::size_t i = 0; i < list.size(); ++i) {
      s += (i ? ", " : "") + list[i].convert_cast<std::string>();
    }
    return s + ")";
  }

  testkit::http_server server;
  testkit::config_dir config;
  audio::studio::task_table_ptr table;
  recorder_ptr callback;
};

}  // namespace http_test
}  // namespace vocle
