// A regular file opened for reading, for paths that may come from a page. Opening a FIFO would
// wait for a writer and a device may never end, so only a regular file (or a link to one) is
// opened, and the open itself never waits. The file is read up to the size it had when it was
// opened: a file that grows meanwhile does not keep the reader going.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/noncopyable.hpp>

namespace vocle {

class regular_file : private boost::noncopyable {
 public:
  regular_file();
  // Closes the file.
  ~regular_file();

  // False when the path names no regular file or it cannot be opened for reading.
  bool open(const std::string& path);
  // The size when it was opened.
  std::uint64_t size() const { return m_size; }
  // Reads up to n of the next bytes; returns how many (0 at the end, also when the file has
  // shrunk), or -1 when the file cannot be read.
  long read(char* to, std::size_t n);

 private:
  int m_fd;
  std::uint64_t m_size;
  std::uint64_t m_read;
};

}  // namespace vocle
