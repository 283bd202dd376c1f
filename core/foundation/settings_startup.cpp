#include <vector>

#include <boost/filesystem.hpp>
#include <boost/regex.hpp>

#include "core/foundation/settings.h"
#include "core/foundation/util.h"

namespace vocle {
namespace fs = boost::filesystem;

// Each job stands alone: a folder that cannot be made, a pattern that does not compile or a
// folder that cannot be read is reported, and the other jobs still run.
void settings::startup() {
  report("info", "on settings::startup()", false);

  for (const std::string& piece : get_list(keys::system_startup_mkdir.name, ";")) {
    if (piece.empty()) {
      continue;
    }
    try {
      std::string folder = util::expand_path(piece);
      fs::path path(util::utf8_to_ansi(folder));
      report("info", "settings::startup() to mkdir " + path.string(), false);
      fs::file_status status = fs::status(path);
      if (!fs::exists(status)) {
        fs::create_directory(path);
      } else if (!fs::is_directory(status)) {
        report("error",
               (boost::format("attempt to mkdir %1% which is actually a file") % folder).str(),
               true);
      }
    } catch (const std::exception& e) {
      report("error", e.what(), true);
    }
  }

  report("info", "settings::startup() remove files", false);
  list_list groups = get_list_list(keys::system_startup_rm.name, ";", "|");
  if (groups.size() < 2) {
    return;
  }
  // Compiled once; a pattern that does not compile is reported and left out.
  struct compiled {
    std::string text;
    boost::regex regex;
    bool failed;  // a match has failed already (and was shown in a box)
  };
  std::vector<compiled> patterns;
  for (const std::string& pattern : groups[1]) {
    if (pattern.empty()) {
      continue;
    }
    try {
      patterns.push_back(compiled{pattern, boost::regex(pattern), false});
    } catch (const std::exception& e) {
      report("error", e.what(), true);
    }
  }
  for (const std::string& piece : groups[0]) {
    if (piece.empty()) {
      continue;
    }
    try {
      fs::path folder(util::utf8_to_ansi(util::expand_path(piece)));
      report("info", "to rm match files in " + folder.string(), false);
      boost::system::error_code ec;
      if (!fs::is_directory(folder, ec)) {
        continue;
      }
      std::vector<fs::path> entries;
      for (fs::directory_iterator it(folder), end; it != end; ++it) {
        entries.push_back(it->path());
      }
      for (const fs::path& entry : entries) {
        std::string name = util::ansi_to_utf8(entry.filename().string());
        report("info", "to match file " + name, false);
        for (compiled& pattern : patterns) {
          bool matches = false;
          try {
            matches = boost::regex_match(name, pattern.regex);
          } catch (const std::exception& e) {
            // A pattern too costly for this name (the matcher gives up): the other patterns and
            // entries still count. The box shows once per pattern, not once per file.
            report("error", e.what(), !pattern.failed);
            pattern.failed = true;
          }
          if (matches) {
            fs::remove_all(entry, ec);  // a failed removal is not an error of the job
            report("info", "match succeeds with " + pattern.text, false);
          }
        }
      }
    } catch (const std::exception& e) {
      report("error", e.what(), true);
    }
  }
}

std::string settings::log_file() {
  std::lock_guard<std::mutex> lock(m_log_file_mutex);
  if (m_log_file.empty()) {
    std::string path = get(keys::log_file);
    if (path.empty()) {
      path = keys::default_log_file;
    }
    m_log_file = util::expand_path(path);
  }
  return m_log_file;
}

}  // namespace vocle
