// assess-server's readers over any input. The first byte chooses:
//  - even: the bytes as a WAV DVI-ADPCM image, which reads or is refused with its reason, and
//    never decodes more samples than its data can hold;
//  - odd: a multipart form as cpp-httplib hands it over (part headers and pieces of content, in
//    any order, under any body limit), which keeps no more than the limit, and whose parts are
//    then assessed and described as the server answers them.
#include <cstddef>
#include <cstdint>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.h"
#include "tools/assess-server/assess_server.h"
#include "tools/assess-server/form_reader.h"
#include "tools/assess-server/wav_dvi_adpcm_image.h"

using assess::assess_server;
using vocle::fuzz::check;

namespace {

const char* const names[] = {"file", "sentence", "data", ""};
const char* const content_types[] = {"application/wav; codec=\"11\"", "application/wav; codec=11",
                                     "APPLICATION/WAV ; CODEC = \"11\"", "text/plain", ""};

void read_image(const std::string& bytes) {
  try {
    const assess::wav_dvi_adpcm_image image = assess::wav_dvi_adpcm_image::read(bytes);
    check(assess::wav_dvi_adpcm_image::data_bytes_needed(
              static_cast<std::uint32_t>(image.samples.size())) <= bytes.size(),
          "no more samples than the data holds");
    check(image.duration() >= 0, "a duration");
  } catch (const assess::malformed_image& e) {
    check(*e.what() != '\0', "a refusal says why");
  }
}

void check_answer(const assess_server::answer& a) {
  check(a.status == 200 || a.status == 400 || a.status == 422, "an answer's status");
  check(!a.body.empty() && a.body.front() == '{' && a.body.back() == '}', "a JSON object");
}

void read_form(FuzzedDataProvider& in) {
  const std::size_t max_body = in.ConsumeIntegralInRange<std::size_t>(0, 4096);
  assess::form_reader form(max_body);
  std::size_t content = 0;  // bytes given after the first part began
  std::size_t header_bytes = 0;
  std::size_t headers = 0;
  bool began = false;
  while (in.remaining_bytes() > 0) {
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
      const std::string name =
          in.ConsumeBool() ? in.PickValueInArray(names) : in.ConsumeRandomLengthString(16);
      const std::string file_name = in.ConsumeBool() ? name : in.ConsumeRandomLengthString(16);
      const std::string content_type =
          in.ConsumeBool() ? in.PickValueInArray(content_types) : in.ConsumeRandomLengthString(40);
      check(form.header(name, file_name, content_type), "reading goes on after a header");
      header_bytes += name.size() + file_name.size() + content_type.size();
      ++headers;
      began = true;
    } else {
      const std::string piece = in.ConsumeRandomLengthString(600);
      const bool taken = form.content(piece.data(), piece.size());
      check(taken == began, "content is taken once a part has begun");
      if (taken) {
        content += piece.size();
      }
    }
  }
  check(form.bytes() == content, "every content byte is counted");
  std::size_t held = 0;
  for (const assess_server::part& p : form.parts()) {
    held += p.name.size() + p.file_name.size() + p.content_type.size() + p.content.size();
  }
  check(held <= max_body, "no more than the limit is kept");
  if (!form.too_large()) {
    check(held == header_bytes + content && form.parts().size() == headers,
          "below the limit everything is kept");
  }

  check_answer(assess_server::assess(form.parts()));
  check_answer(assess_server::describe(form.parts()));
  for (const assess_server::part& p : form.parts()) {
    assess_server::is_adpcm_wav(p.content_type);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  if (data[0] % 2 == 0) {
    read_image(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  } else {
    FuzzedDataProvider in(data + 1, size - 1);
    read_form(in);
  }
  return 0;
}
