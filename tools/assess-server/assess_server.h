// A local stand-in for the speech-assessment server, for tests and demos.
//
// POST /1/assess.wav takes a recognition form: a part "file" holding a WAV DVI-ADPCM image with
// the content type application/wav; codec="11", then a part "sentence". The answer (200) says
// what arrived:
//   {"sentence": "...", "samples": 24321, "duration": 1.52006, "sample_rate": 16000,
//    "parts": ["file", "sentence"]}
// A form that is not what the plug-in sends (no multipart body, a part missing or twice, "file"
// after "sentence", another content type) is answered 400; an image that does not read as WAV
// DVI-ADPCM (see wav_dvi_adpcm_image.h) is answered 422. Both carry
//   {"error": "why", "parts": [...]}.
//
// A POST to any other path takes any multipart form and answers 200 with its parts in order:
//   {"parts": [{"name": "data", "file_name": "data",
//               "content_type": "application/octet-stream", "bytes": 4096}]}
//
// Controls for tests, in the query string of any POST (the plug-in posts to the URL it is given,
// so a test puts them there). They act once the whole request has arrived:
//   delay_ms=N   answer after N milliseconds (at most 3600000)
//   drop=1       close the connection without an answer (after the delay, if any)
//   status=N     answer with status N (200 to 599) and the body the request would have got
//   bytes=N      answer with N bytes of filler text in place of the JSON body, with the
//                answer's status; for clients' answer limits
//   chunked=1    send the filler in chunks, without announcing its length
// A control with a value outside these is answered 400. Other query parameters are ignored.
//
// A request body larger than the server's limit (--max-body, 64 MiB by default) is read to its
// end without being kept and answered 413 with {"error": "why", "parts": [...]}, whatever the
// controls say.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include <httplib.h>

namespace assess {

class assess_server {
 public:
  // One part of a multipart form, as it arrived.
  struct part {
    std::string name;
    std::string file_name;
    std::string content_type;
    std::string content;
  };

  // A status and its JSON body.
  struct answer {
    int status;
    std::string body;
  };

  // The largest request body that is kept, by default.
  static constexpr std::size_t default_max_body = 64 * 1024 * 1024;

  explicit assess_server(std::size_t max_body = default_max_body);
  assess_server(const assess_server&) = delete;
  assess_server& operator=(const assess_server&) = delete;

  // Binds host:port, port 0 meaning any free port. Returns the port, or -1 when it cannot.
  int bind(const std::string& host, int port);
  // Serves on the bound port until stop; false when serving failed. Returns at once after stop.
  bool run();
  // Makes run return: delayed answers are cut short, the requests in progress are finished.
  // Any thread; waits until run has returned.
  void stop();

  // The answer to a recognition form.
  static answer assess(const std::vector<part>& parts);
  // The answer to any other form.
  static answer describe(const std::vector<part>& parts);
  // True for application/wav with the parameter codec="11" (in any letter case of the media
  // type, the codec quoted or not).
  static bool is_adpcm_wav(const std::string& content_type);

 private:
  void serve(const httplib::Request& request, httplib::Response& response,
             const httplib::ContentReader& reader, bool recognition);
  // Waits, or less when the server stops first.
  void pause(std::size_t milliseconds);

  const std::size_t m_max_body;
  httplib::Server m_server;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_stopping = false;
  bool m_running = false;
};

}  // namespace assess
