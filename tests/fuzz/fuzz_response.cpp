// The answer side of an upload: response header lines as any server may send them, and the
// result handling for any transfer outcome, status, headers and body. Every outcome gives
// exactly one result list of four, and an error text never carries more than the start of the
// answer.
#include <cstddef>
#include <cstdint>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>
#include <boost/make_shared.hpp>

#include "core/foundation/binary.h"
#include "core/http/request_factory.h"
#include "core/studio/task.h"
#include "fuzz_support.h"

using vocle::fuzz::check;
using vocle::http::request_factory;

namespace {

const std::int32_t statuses[] = {200, 301, 307, 400, 404, 422, 500, 0, 100, 308};

std::string read_source(const std::string& relative) {
  std::string text;
  if (FILE* f = std::fopen((std::string(VOCLE_SOURCE_DIR) + "/" + relative).c_str(), "rb")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
      text.append(buffer, n);
    }
    std::fclose(f);
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vocle::fuzz::quiet();
  vocle::fuzz::configure("", read_source("conf/lang.conf"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const CURLcode result =
      in.ConsumeBool() ? CURLE_OK : static_cast<CURLcode>(in.ConsumeIntegralInRange<int>(1, 100));
  const std::int32_t status =
      in.ConsumeBool() ? in.PickValueInArray(statuses) : in.ConsumeIntegral<std::int32_t>();
  const bool with_context = in.ConsumeIntegralInRange<int>(0, 7) != 0;
  const bool with_callback = in.ConsumeIntegralInRange<int>(0, 7) != 0;

  request_factory::header_map headers;
  const int lines = in.ConsumeIntegralInRange<int>(0, 6);
  std::size_t location_size = 0;
  for (int i = 0; i < lines; ++i) {
    const std::string line = in.ConsumeRandomLengthString(200);
    request_factory::parse_header(line, headers);
  }
  for (const auto& h : headers) {
    check(!h.first.empty(), "a header has a name");
    for (char c : h.first) {
      check(c != ':' && !(c >= 'A' && c <= 'Z'), "a header name is lower-case, without colon");
    }
  }
  if (headers.count("location")) {
    location_size = headers["location"].size();
  }

  vocle::http::progress_context context;
  vocle::audio::studio::task t(in.ConsumeIntegral<std::int32_t>(), 30,
                               vocle::audio::studio::task_table_ptr());
  context.task = in.ConsumeBool() ? &t : nullptr;
  context.ulnow = in.ConsumeIntegral<std::int64_t>();
  context.dlnow = in.ConsumeIntegral<std::int64_t>();
  context.total_time = in.ConsumeFloatingPoint<double>();
  context.response_limit = in.ConsumeIntegral<std::uint32_t>();
  context.response_too_large = in.ConsumeBool();

  const std::string bytes = in.ConsumeRemainingBytesAsString();
  const vocle::binary body(bytes.data(), bytes.size());
  auto callback = boost::make_shared<vocle::fuzz::kept_calls>();
  request_factory::response_callback(result, status, headers, body,
                                     with_callback ? callback : vocle::function_ptr(),
                                     with_context ? &context : nullptr);
  if (!with_callback) {
    check(callback->lists.empty(), "no callback, no call");
    return 0;
  }
  check(callback->lists.size() == 1, "one result list");
  const FB::VariantList& list = callback->lists[0];
  check(list.size() == 4, "four elements");
  const bool success = list[0].convert_cast<bool>();
  const std::string text = list[1].convert_cast<std::string>();
  check(success == (result == CURLE_OK && status == 200), "success is a completed 200");
  if (success) {
    check(bytes.find(text) != std::string::npos || text.empty(), "the answer is the body's");
  } else {
    check(text.size() <= 4096 + location_size + list[3].convert_cast<std::string>().size(),
          "an error text carries only the start of the answer");
  }
  return 0;
}
