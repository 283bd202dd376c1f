// Writing a file's whole contents so that the file is always whole: its old contents or the new
// ones, also when the write fails part-way (a full disk, the file-size limit) or the process
// dies during it.
#pragma once

#include <cstddef>
#include <string>

namespace vocle {

// Where the new contents wait until every byte is written.
enum class file_staging {
  // An unnamed file in the target's folder (O_TMPFILE), given a name only once it is complete:
  // a process killed during the write leaves nothing behind. On a file system without unnamed
  // files this is `named`.
  unnamed,
  // A hidden file beside the target (".NAME.XXXX-XXXX-XXXX.tmp"), renamed over it once complete
  // and removed when the write fails; a process killed during the write leaves it behind.
  named,
};

// Saves size bytes at data to the file at path (the narrow character set's path, as the file
// APIs take it). A plain file with one name is replaced: the new contents are written beside
// it, taking its owner and mode, and renamed over it, so a failed save leaves the old file. A
// device, a pipe, a file with a second hard link, or a plain file in a folder where no new file
// may be made is written in place. Through a symbolic link the file it names is saved. A pipe
// that nobody reads fails at once. A failed write reports "Failed to write: " and the reason on
// the standard error stream.
bool save_file(const std::string& path, const char* data, std::size_t size,
               file_staging staging = file_staging::unnamed);

}  // namespace vocle
