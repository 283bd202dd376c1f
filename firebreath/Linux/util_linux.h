// The platform calls behind vocle::util and vocle::settings, on Linux: the desktop folder, the
// process's narrow character set and conversions from and to it, the debugger output and the
// message box.
#pragma once

#include <functional>
#include <string>

namespace vocle {
namespace platform {

// The desktop folder in the narrow character set: $XDG_DESKTOP_DIR, else the desktop entry of
// user-dirs.dirs (in $XDG_CONFIG_HOME, else ~/.config), else $HOME/Desktop; "" when none of
// them can be found. Relative values of these variables count as unset.
std::string desktop_folder();

// The iconv name of the narrow character set of the process's LC_CTYPE locale; the C and POSIX
// locales count as "UTF-8".
std::string narrow_charset();
bool is_utf8(const std::string& charset);

// Converts text from one iconv character set to another. The text ends at its first zero byte;
// a character the target set lacks, or a malformed byte sequence, becomes "?". Equal sets, or an
// unknown set, give the text back as it stands.
std::string convert(const std::string& text, const std::string& from, const std::string& to);

// Between the narrow character set and UTF-8 (the text as it stands when the set is UTF-8).
std::string narrow_to_utf8(const std::string& text);
std::string utf8_to_narrow(const std::string& text);

// The debugger output: standard error, one message a line.
void debug_output(const std::string& text);

// Shows a message box: caption and text to standard error unless a handler is installed.
typedef std::function<void(const std::string& text, const std::string& caption)>
    message_box_handler;
void message_box(const std::string& text, const std::string& caption);
// Installs a handler (an empty one restores the default) and returns the one it replaces.
message_box_handler set_message_box_handler(message_box_handler handler);

}  // namespace platform
}  // namespace vocle
