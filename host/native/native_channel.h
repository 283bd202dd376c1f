// The browser's native-messaging channel as the host sees it: each message is a 32-bit length in
// native byte order followed by that many bytes of UTF-8 JSON, read from one descriptor (the
// host's standard input) and written to another (its standard output).
//
// A reader thread takes the messages in, reads each (message_reader: a message past its limits,
// or an object whose text breaks off, comes refused) and hands it to the message handler; when
// the input ends (the browser closed the port), breaks its framing or stop() is called, the
// closed handler is called once, with the reason, and the reader ends. A message that is not a
// JSON object is skipped (with a line on standard error); a length beyond k_largest_incoming
// cannot be trusted to frame the next message, so it closes the channel.
//
// Pushback: when the handler says it has no room, the reader reads nothing more until resume(),
// so that the browser holds what the page sends on; meanwhile it still ends at once when the
// browser closes the channel (the descriptor's hang-up) or stop() is called.
//
// The browser takes at most 1 MiB in one message from a host. A message whose text is longer
// than k_part_size goes as a run of {"t":"part","d":TEXT} messages, each holding the next piece
// of its text, the last one with "end":true; the receiver joins the pieces and parses them. No
// message may be longer than k_largest_outgoing in all: the page joins its text into one string,
// and a longer one would not fit, so send() refuses it first.
//
// The extension says {"t":"bye"} when the page has gone but the host still holds its place in
// the browser's budget of hosts: the channel then ends as if the input had ended, and the
// browser sees the host go when the process ends.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "host/native/message_reader.h"

namespace host {

class native_channel {
 public:
  // Returns false when there is no room for more: the reader then waits for resume().
  typedef std::function<bool(message_reader::message&& message)> message_fn;
  typedef std::function<void(const std::string& reason)> closed_fn;

  // Pieces of a long message: each piece's text, quoted into its part message, stays well under
  // the browser's limit even when every byte needs an escape.
  static constexpr std::size_t k_part_size = 256 * 1024;
  // The browser sends at most 64 MiB in one message.
  static constexpr std::uint32_t k_largest_incoming = 64u * 1024 * 1024;
  // A page's string holds at most 2^29 - 24 characters (V8), and the JSON text of a message is
  // one string before it is parsed: 500 MiB leaves room below that. The text is written as it is
  // made, a piece at a time, beside the message's value.
  static constexpr std::size_t k_largest_outgoing = 500u * 1024 * 1024;

  enum class send_result { sent, too_large, closed };

  // The descriptors stay open until the channel ends; the channel closes them.
  native_channel(int in_fd, int out_fd);
  // stop(), then waits for the reader.
  ~native_channel();
  native_channel(const native_channel&) = delete;
  native_channel& operator=(const native_channel&) = delete;

  // Starts the reader thread. The handlers run on it.
  void start(message_fn on_message, closed_fn on_closed);
  // Writes one message (cut into parts when long). Any thread; messages from one thread keep
  // their order. A write the browser does not read waits, but only until the browser closes
  // the input or stop() is called: then it gives up and the channel stops. closed when the
  // channel is closed or the write fails or gives up (the browser has gone);
  // too_large, with nothing written and the reason in *refusal, when the message is longer than
  // k_largest_outgoing.
  send_result send(const nlohmann::json& message, std::string* refusal = nullptr);
  // The reader may read again (after the handler said it had no room). Any thread.
  void resume();
  // Ends the reader as if the input had ended, with the reason. Any thread.
  void stop(const std::string& reason);
  // Async-signal-safe: wakes the reader, which ends with "terminated by a signal".
  void stop_from_signal();
  // stop(), then waits for the reader to end: no handler runs after this returns. Not on the
  // reader thread.
  void finish(const std::string& reason);
  bool closed() const { return m_closed.load(); }

 private:
  void read_loop();
  // Reads exactly size bytes; false at the end of input, on a read error or when woken.
  bool read_exactly(char* into, std::size_t size, std::string* reason);
  // Waits for resume(); false when the input ends or the channel stops first.
  bool wait_for_room(std::string* reason);
  bool write_frame(const std::string& text);
  void close_with(const std::string& reason);

  int m_in;
  int m_out;
  int m_wake[2] = {-1, -1};
  int m_room[2] = {-1, -1};
  std::thread m_reader;
  message_fn m_on_message;
  closed_fn m_on_closed;
  std::mutex m_write_mutex;
  bool m_write_broken = false;  // guarded by m_write_mutex
  std::mutex m_close_mutex;
  std::string m_stop_reason;  // guarded by m_close_mutex
  std::atomic<bool> m_closed{false};
  std::atomic<bool> m_close_reported{false};
};

}  // namespace host
