// Packets into Ogg pages, appended to a byte buffer: the container of the "spx" and "opus"
// files that are not written by a library of their own.
#pragma once

#include <cstddef>
#include <cstdint>

#include <ogg/ogg.h>

#include "core/foundation/binary.h"

namespace vocle {

class ogg_stream {
 public:
  // A logical stream with a random serial number, writing into out. Throws failure_text as a
  // std::runtime_error when libogg fails.
  ogg_stream(binary& out, const char* failure_text);
  ~ogg_stream();
  ogg_stream(const ogg_stream&) = delete;
  ogg_stream& operator=(const ogg_stream&) = delete;

  // Queues a packet; first marks the stream's first packet, last its end.
  void packet(const void* data, std::size_t length, std::int64_t granule, std::int64_t number,
              bool first, bool last);
  // Writes the pages that are full.
  void pages();
  // Writes everything queued, ending the page at the last packet.
  void flush();

 private:
  void write(const ogg_page& page);

  binary& m_out;
  const char* m_failure_text;
  ogg_stream_state m_stream;
};

}  // namespace vocle
