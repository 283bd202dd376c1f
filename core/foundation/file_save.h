// Writing a file's whole contents so that the file is always whole: its old contents or the new
// ones, also when the write fails part-way (a full disk, the file-size limit), when the process
// dies during it, and after a power cut once the save has reported success.
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
  // A hidden file beside the target (".NAME.XXXX-XXXX-XXXX.tmp"), locked while it is written,
  // renamed over the target once complete and removed when the save fails. A process killed
  // during the write leaves it behind, unlocked; the next save of the same target removes it.
  named,
};

// Saves size bytes at data to the file at path (the narrow character set's path, as the file
// APIs take it). A plain file with one name is replaced: the new contents are written beside
// it, taking its owner and mode, flushed to the disk, and renamed over it, and then the folder
// is flushed; a failed save leaves the old file byte for byte. Only a device, a pipe, a file
// with a second hard link, or a file in a folder where this user may not make a file (EACCES,
// EPERM) is written in place (a file's contents flushed as well); any other failure to stage
// the contents (no space, no free inode, no descriptor left) fails the save. Through a symbolic
// link the file it names is saved. A pipe that nobody reads fails at once. A failed write or
// flush, and a staging file that cannot be made, report "Failed to write: " and the reason on
// the standard error stream; a path whose folder is missing fails without a word.
bool save_file(const std::string& path, const char* data, std::size_t size,
               file_staging staging = file_staging::unnamed);

}  // namespace vocle
