// A growable byte buffer that always keeps one zero byte after its contents, so the contents can
// be handed on as a terminated string. Encoded audio, file contents, form parts and response
// bodies travel in it, held by boost::shared_ptr.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vocle {

class binary {
 public:
  binary(const char* data, std::size_t length);
  explicit binary(std::size_t count);
  // The 4 bytes of the value, little-endian.
  explicit binary(std::uint32_t value);
  ~binary();

  std::size_t size() const { return m_data.size() - 1 - m_start; }
  // Null when empty.
  char* data() { return size() ? begin() : nullptr; }
  const char* data() const { return size() ? begin() : nullptr; }
  // The storage, also when empty (then it points at the terminating zero).
  char* begin() { return m_data.data() + m_start; }
  const char* begin() const { return m_data.data() + m_start; }

  void resize(std::size_t n);
  // Room for n content bytes, so that growing to them allocates nothing more; the contents stay.
  void reserve(std::size_t n);
  void write(std::size_t offset, const char* data, std::size_t length);
  void append(const char* data, std::size_t length);
  // Drops the first min(n, size()) bytes.
  void consume(std::size_t n);
  void assign(const char* data, std::size_t length);

  // The path goes to the file streams as it stands (convert UTF-8 with util::utf8_to_ansi first).
  // A save is save_file (file_save.h): a plain file with one name is replaced whole, keeping its
  // owner and mode and flushed to the disk, so a failed or killed save leaves the old file;
  // only a device, a pipe, a file with a second hard link, and a folder where this user may not
  // make a file are written in place. A pipe that nobody reads fails the save; a pipe fails a
  // load, which needs a size to read.
  bool save(const std::string& path) const;
  bool load(const std::string& path);

 private:
  // Moves the contents and their zero to the front of m_data and drops the consumed bytes.
  void compact();
  // Before the contents grow to n bytes: compacts when the storage is too small for them behind
  // the consumed bytes and those are at least as many as the contents.
  void reserve_contents(std::size_t n);

  // The contents are m_data[m_start, m_data.size() - 1), followed by the zero byte. consume only
  // moves m_start forward, so draining a buffer in small pieces costs nothing beyond the reads;
  // the consumed bytes are let go when the buffer runs empty or when growing needs their room.
  std::vector<char> m_data;
  std::size_t m_start = 0;
};

}  // namespace vocle
