// Catches the message boxes that the system shows while it lives, instead of writing them to
// standard error.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "firebreath/Linux/util_linux.h"

namespace vocle {
namespace testkit {

class box_recorder {
 public:
  struct box {
    std::string text;
    std::string caption;
  };

  box_recorder();
  ~box_recorder();
  box_recorder(const box_recorder&) = delete;
  box_recorder& operator=(const box_recorder&) = delete;

  std::vector<box> boxes() const;

 private:
  mutable std::mutex m_mutex;
  std::vector<box> m_boxes;
  platform::message_box_handler m_previous;
};

}  // namespace testkit
}  // namespace vocle
