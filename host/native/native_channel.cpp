#include "host/native/native_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <utility>
#include <vector>

namespace host {

namespace {

// Reads are cut into pieces of at most this, so that a length the page chose costs memory only as
// its bytes come.
const std::size_t k_read_piece = 1024 * 1024;

// What a message's JSON text takes: at least `least` bytes and at most `least + room`. Escapes of
// ASCII characters are counted exactly; a byte outside ASCII takes one byte, or three when it is
// not UTF-8 and becomes a replacement character; a number takes one to 24 bytes.
struct text_size {
  std::size_t least = 0;
  std::size_t room = 0;
};

// The bytes an ASCII character adds to a JSON string when escaped: 1 for a two-character escape
// (\" \\ \n ...), 5 for \u00XX; 0 for any other byte.
struct escape_table {
  unsigned char extra[256] = {};
  escape_table() {
    for (int c = 0; c < 0x20; ++c) {
      extra[c] = 5;
    }
    for (const char c : {'"', '\\', '\b', '\t', '\n', '\f', '\r'}) {
      extra[static_cast<unsigned char>(c)] = 1;
    }
  }
};

const escape_table& escapes() {
  static const escape_table table;
  return table;
}

void measure_string(const std::string& text, text_size* size) {
  const unsigned char* extra = escapes().extra;
  std::size_t escaped = 0;
  std::size_t wide = 0;
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    escaped += extra[byte];
    wide += byte >> 7;
  }
  size->least += text.size() + 2 + escaped;
  size->room += 2 * wide;
}

// Whether the text goes into JSON as it is: ASCII that needs no escape.
bool plain(const std::string& text) {
  const unsigned char* extra = escapes().extra;
  unsigned char mark = 0;
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    mark |= extra[byte] | (byte & 0x80);
  }
  return mark == 0;
}

void measure(const nlohmann::json& value, text_size* size) {
  using type = nlohmann::json::value_t;
  switch (value.type()) {
    case type::object:
      size->least += value.empty() ? 2 : 1 + value.size();  // the braces and the commas
      for (auto member = value.begin(); member != value.end(); ++member) {
        measure_string(member.key(), size);
        size->least += 1;  // the colon
        measure(*member, size);
      }
      break;
    case type::array:
      size->least += value.empty() ? 2 : 1 + value.size();
      for (const auto& item : value) {
        measure(item, size);
      }
      break;
    case type::string:
      measure_string(value.get_ref<const std::string&>(), size);
      break;
    case type::boolean:
      size->least += value.get<bool>() ? 4 : 5;
      break;
    case type::number_integer:
    case type::number_unsigned:
    case type::number_float:
      size->least += 1;
      size->room += 23;
      break;
    default:
      size->least += 4;
      break;
  }
}

// Counts the text the serializer makes, and keeps none of it.
class text_counter : public nlohmann::detail::output_adapter_protocol<char> {
 public:
  void write_character(char) override { ++m_size; }
  void write_characters(const char*, std::size_t length) override { m_size += length; }
  std::size_t size() const { return m_size; }

 private:
  std::size_t m_size = 0;
};

// A frame could not be written: the rest of the message is not made.
struct write_failed {};

// Takes the serializer's text as it comes and writes it: as one frame when it stays within
// native_channel::k_part_size, else as part messages of at most that much of the text each,
// never cutting a UTF-8 sequence. Only one piece is held at a time.
class part_writer : public nlohmann::detail::output_adapter_protocol<char> {
 public:
  explicit part_writer(std::function<bool(const std::string&)> write) : m_write(std::move(write)) {
    m_pending.reserve(native_channel::k_part_size + 1);
  }

  void write_character(char c) override {
    m_pending.push_back(c);
    emit_full();
  }
  // A long run is taken a piece at a time: what waits is never much more than one piece.
  void write_characters(const char* s, std::size_t length) override {
    while (length > 0) {
      const std::size_t take = std::min(length, native_channel::k_part_size + 1 - m_pending.size());
      m_pending.append(s, take);
      s += take;
      length -= take;
      emit_full();
    }
  }

  // Writes what is left; false when a write failed.
  bool finish() {
    if (!m_parted) {
      return m_write(m_pending);
    }
    return emit(m_pending.size(), true);
  }

 private:
  void emit_full() {
    while (m_pending.size() > native_channel::k_part_size) {
      std::size_t end = native_channel::k_part_size;
      while (end > 1 && (static_cast<unsigned char>(m_pending[end]) & 0xC0) == 0x80) {
        --end;
      }
      if (!emit(end, false)) {
        throw write_failed();
      }
    }
  }

  // The piece's text is JSON made by the serializer: every control character in it is escaped
  // already, so only quotes and backslashes take an escape here, and a part stays under 1 MiB.
  bool emit(std::size_t end, bool last) {
    m_parted = true;
    m_frame.assign("{\"t\":\"part\",\"d\":\"");
    const char* text = m_pending.data();
    std::size_t k = 0;
    while (k < end) {
      std::size_t run = k;
      while (run < end && text[run] != '"' && text[run] != '\\' &&
             static_cast<unsigned char>(text[run]) >= 0x20) {
        ++run;
      }
      m_frame.append(text + k, run - k);
      if (run == end) {
        break;
      }
      const char c = text[run];
      if (c == '"' || c == '\\') {
        m_frame.push_back('\\');
        m_frame.push_back(c);
      } else {
        static const char hex[] = "0123456789abcdef";
        m_frame.append("\\u00");
        m_frame.push_back(hex[(c >> 4) & 0xF]);
        m_frame.push_back(hex[c & 0xF]);
      }
      k = run + 1;
    }
    m_frame.append(last ? "\",\"end\":true}" : "\"}");
    m_pending.erase(0, end);
    return m_write(m_frame);
  }

  std::function<bool(const std::string&)> m_write;
  std::string m_pending;
  std::string m_frame;
  bool m_parted = false;
};

// Writes value's JSON text as serializer.dump(value, false, false, 0) does, through the same
// output; a string that needs no escape is copied at once rather than character by character.
void write_json(const nlohmann::json& value,
                nlohmann::detail::serializer<nlohmann::json>* serializer,
                nlohmann::detail::output_adapter_protocol<char>* out) {
  using type = nlohmann::json::value_t;
  const auto write_string = [&](const std::string& text, const nlohmann::json* node) {
    if (plain(text)) {
      out->write_character('"');
      out->write_characters(text.data(), text.size());
      out->write_character('"');
    } else if (node != nullptr) {
      serializer->dump(*node, false, false, 0);
    } else {
      serializer->dump(nlohmann::json(text), false, false, 0);
    }
  };
  switch (value.type()) {
    case type::object: {
      out->write_character('{');
      bool first = true;
      for (auto member = value.begin(); member != value.end(); ++member) {
        if (!first) {
          out->write_character(',');
        }
        first = false;
        write_string(member.key(), nullptr);
        out->write_character(':');
        write_json(*member, serializer, out);
      }
      out->write_character('}');
      break;
    }
    case type::array: {
      out->write_character('[');
      bool first = true;
      for (const auto& item : value) {
        if (!first) {
          out->write_character(',');
        }
        first = false;
        write_json(item, serializer, out);
      }
      out->write_character(']');
      break;
    }
    case type::string:
      write_string(value.get_ref<const std::string&>(), &value);
      break;
    default:
      serializer->dump(value, false, false, 0);
      break;
  }
}

std::string too_long(std::size_t bytes, bool at_least) {
  return std::string("it takes ") + (at_least ? "at least " : "") + std::to_string(bytes) +
         " bytes, more than the 500 MiB (" + std::to_string(native_channel::k_largest_outgoing) +
         " bytes) a page takes in one message";
}

}  // namespace

native_channel::native_channel(int in_fd, int out_fd) : m_in(in_fd), m_out(out_fd) {
  if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    m_wake[0] = m_wake[1] = -1;
  }
  if (::pipe2(m_room, O_CLOEXEC | O_NONBLOCK) != 0) {
    m_room[0] = m_room[1] = -1;
  }
  // Writes wait in poll(), where the input's hang-up and stop() can end them, never in write().
  const int flags = ::fcntl(m_out, F_GETFL);
  if (flags >= 0) {
    ::fcntl(m_out, F_SETFL, flags | O_NONBLOCK);
  }
}

native_channel::~native_channel() {
  finish("the host is ending");
  for (int fd : {m_wake[0], m_wake[1], m_room[0], m_room[1], m_in, m_out}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

void native_channel::start(message_fn on_message, closed_fn on_closed) {
  m_on_message = std::move(on_message);
  m_on_closed = std::move(on_closed);
  m_reader = std::thread(&native_channel::read_loop, this);
}

void native_channel::stop(const std::string& reason) {
  {
    std::lock_guard<std::mutex> lock(m_close_mutex);
    if (m_stop_reason.empty()) {
      m_stop_reason = reason;
    }
  }
  stop_from_signal();
}

void native_channel::finish(const std::string& reason) {
  stop(reason);
  if (m_reader.joinable()) {
    m_reader.join();
  }
}

void native_channel::stop_from_signal() {
  if (m_wake[1] >= 0) {
    const char byte = 1;
    ssize_t ignored = ::write(m_wake[1], &byte, 1);
    (void)ignored;
  }
}

void native_channel::resume() {
  if (m_room[1] >= 0) {
    const char byte = 1;
    ssize_t ignored = ::write(m_room[1], &byte, 1);
    (void)ignored;
  }
}

bool native_channel::wait_for_room(std::string* reason) {
  if (m_room[0] < 0) {
    return true;  // no pushback without its pipe
  }
  for (;;) {
    // The input is watched for its end alone: what it holds stays unread.
    pollfd fds[3] = {{m_wake[0], POLLIN, 0}, {m_in, POLLRDHUP, 0}, {m_room[0], POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      *reason = std::string("the input cannot be watched: ") + std::strerror(errno);
      return false;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      std::lock_guard<std::mutex> lock(m_close_mutex);
      *reason = m_stop_reason.empty() ? "terminated by a signal" : m_stop_reason;
      return false;
    }
    if ((fds[1].revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) != 0) {
      *reason = "the browser closed the connection";
      return false;
    }
    if ((fds[2].revents & POLLIN) != 0) {
      char bytes[64];
      while (::read(m_room[0], bytes, sizeof bytes) > 0) {
      }
      return true;
    }
  }
}

bool native_channel::read_exactly(char* into, std::size_t size, std::string* reason) {
  std::size_t done = 0;
  while (done < size) {
    pollfd fds[2] = {{m_in, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
    const int ready = ::poll(fds, m_wake[0] >= 0 ? 2 : 1, -1);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      *reason = std::string("the input cannot be watched: ") + std::strerror(errno);
      return false;
    }
    if (m_wake[0] >= 0 && (fds[1].revents & POLLIN) != 0) {
      std::lock_guard<std::mutex> lock(m_close_mutex);
      *reason = m_stop_reason.empty() ? "terminated by a signal" : m_stop_reason;
      return false;
    }
    if (fds[0].revents == 0) {
      continue;
    }
    const ssize_t got = ::read(m_in, into + done, size - done);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) {
        continue;
      }
      *reason = std::string("the input failed: ") + std::strerror(errno);
      return false;
    }
    if (got == 0) {
      *reason = done == 0 ? "the browser closed the connection"
                          : "the browser closed the connection in the middle of a message";
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

void native_channel::read_loop() {
  std::string reason;
  std::vector<char> body;
  for (;;) {
    std::uint32_t length = 0;
    if (!read_exactly(reinterpret_cast<char*>(&length), sizeof length, &reason)) {
      break;
    }
    if (length > k_largest_incoming) {
      reason = "the browser sent a message of " + std::to_string(length) +
               " bytes, more than a message may hold";
      break;
    }
    body.clear();
    bool read = true;
    while (read && body.size() < length) {
      const std::size_t at = body.size();
      body.resize(std::min<std::size_t>(length, at + k_read_piece));
      read = read_exactly(body.data() + at, body.size() - at, &reason);
    }
    if (!read) {
      break;
    }
    message_reader::message message;
    const bool parsed = message_reader::read(body.data(), body.size(), &message);
    if (body.capacity() > k_read_piece) {
      std::vector<char>().swap(body);  // a large message's room goes with it
    }
    if (!parsed) {
      std::cerr << "vocle-host: skipped a message that is not a JSON object\n";
      continue;
    }
    const auto type = message.value.find("t");
    if (type != message.value.end() && *type == "bye") {
      reason = "the page has gone";
      break;
    }
    bool room = true;
    try {
      room = m_on_message(std::move(message));
    } catch (const std::exception& e) {
      std::cerr << "vocle-host: a message could not be taken in: " << e.what() << "\n";
    }
    if (!room && !wait_for_room(&reason)) {
      break;
    }
  }
  close_with(reason);
}

void native_channel::close_with(const std::string& reason) {
  m_closed.store(true);
  if (!m_close_reported.exchange(true) && m_on_closed) {
    m_on_closed(reason);
  }
}

bool native_channel::write_frame(const std::string& text) {
  const std::uint32_t length = static_cast<std::uint32_t>(text.size());
  std::string frame(reinterpret_cast<const char*>(&length), sizeof length);
  frame += text;
  std::size_t done = 0;
  while (done < frame.size()) {
    const ssize_t put = ::write(m_out, frame.data() + done, frame.size() - done);
    if (put >= 0) {
      done += static_cast<std::size_t>(put);
      continue;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return false;
    }
    // The browser is not reading. Once it has closed its side of the input, or the channel is
    // stopped, what is left would never be read: the write gives up rather than keep the host
    // from ending.
    pollfd fds[3] = {{m_out, POLLOUT, 0}, {m_in, POLLRDHUP, 0}, {m_wake[0], POLLIN, 0}};
    if (::poll(fds, m_wake[0] >= 0 ? 3 : 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if ((fds[1].revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) != 0 ||
        (m_wake[0] >= 0 && (fds[2].revents & POLLIN) != 0) ||
        (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      return false;
    }
  }
  return true;
}

native_channel::send_result native_channel::send(const nlohmann::json& message,
                                                 std::string* refusal) {
  if (m_closed.load()) {
    return send_result::closed;
  }
  text_size size;
  measure(message, &size);
  if (size.least > k_largest_outgoing) {
    if (refusal != nullptr) {
      *refusal = too_long(size.least, true);
    }
    return send_result::too_large;
  }
  // Text the page gave as invalid UTF-8 (file names, for one) is sent with replacement
  // characters rather than not at all.
  const auto handler = nlohmann::json::error_handler_t::replace;
  if (size.least + size.room > k_largest_outgoing) {
    // Near the limit only: the exact size, by making the text once without keeping it.
    auto counter = std::make_shared<text_counter>();
    nlohmann::detail::serializer<nlohmann::json>(counter, ' ', handler)
        .dump(message, false, false, 0);
    if (counter->size() > k_largest_outgoing) {
      if (refusal != nullptr) {
        *refusal = too_long(counter->size(), false);
      }
      return send_result::too_large;
    }
  }
  bool ok = true;
  {
    std::lock_guard<std::mutex> lock(m_write_mutex);
    if (m_write_broken) {
      return send_result::closed;  // a frame was left unfinished: nothing more can follow it
    }
    // A long text is written as it is made: the host never holds all of it beside the message.
    auto writer = std::make_shared<part_writer>(
        [this](const std::string& text) { return write_frame(text); });
    try {
      nlohmann::detail::serializer<nlohmann::json> serializer(writer, ' ', handler);
      write_json(message, &serializer, writer.get());
      ok = writer->finish();
    } catch (const write_failed&) {
      ok = false;
    }
    m_write_broken = !ok;
  }
  if (!ok) {
    stop("the browser stopped reading");
  }
  return ok ? send_result::sent : send_result::closed;
}

}  // namespace host
