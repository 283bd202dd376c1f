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

  std::size_t size() const { return m_data.size() - 1; }
  // Null when empty.
  char* data() { return size() ? m_data.data() : nullptr; }
  const char* data() const { return size() ? m_data.data() : nullptr; }
  // The storage, also when empty (then it points at the terminating zero).
  char* begin() { return m_data.data(); }
  const char* begin() const { return m_data.data(); }

  void resize(std::size_t n);
  void write(std::size_t offset, const char* data, std::size_t length);
  void append(const char* data, std::size_t length);
  // Drops the first min(n, size()) bytes.
  void consume(std::size_t n);
  void assign(const char* data, std::size_t length);

  // The path goes to the file streams as it stands (convert UTF-8 with util::utf8_to_ansi first).
  // A save writes beside the target and renames over it, so a failed save leaves the old file.
  bool save(const std::string& path) const;
  bool load(const std::string& path);

 private:
  std::vector<char> m_data;
};

}  // namespace vocle
