#include "core/encoding/ogg_stream.h"

#include <cstring>
#include <random>
#include <stdexcept>

namespace vocle {

ogg_stream::ogg_stream(binary& out, const char* failure_text)
    : m_out(out), m_failure_text(failure_text) {
  std::random_device seed;
  if (ogg_stream_init(&m_stream, static_cast<int>(seed() & 0x7fffffff)) != 0) {
    throw std::runtime_error(m_failure_text);
  }
}

ogg_stream::~ogg_stream() {
  ogg_stream_clear(&m_stream);
}

void ogg_stream::packet(const void* data, std::size_t length, std::int64_t granule,
                        std::int64_t number, bool first, bool last) {
  ogg_packet p;
  std::memset(&p, 0, sizeof p);
  p.packet = static_cast<unsigned char*>(const_cast<void*>(data));
  p.bytes = static_cast<long>(length);
  p.b_o_s = first ? 1 : 0;
  p.e_o_s = last ? 1 : 0;
  p.granulepos = granule;
  p.packetno = number;
  if (ogg_stream_packetin(&m_stream, &p) != 0) {
    throw std::runtime_error(m_failure_text);
  }
}

void ogg_stream::pages() {
  ogg_page page;
  while (ogg_stream_pageout(&m_stream, &page) > 0) {
    write(page);
  }
}

void ogg_stream::flush() {
  ogg_page page;
  while (ogg_stream_flush(&m_stream, &page) > 0) {
    write(page);
  }
}

void ogg_stream::write(const ogg_page& page) {
  m_out.append(reinterpret_cast<const char*>(page.header),
               static_cast<std::size_t>(page.header_len));
  m_out.append(reinterpret_cast<const char*>(page.body), static_cast<std::size_t>(page.body_len));
}

}  // namespace vocle
