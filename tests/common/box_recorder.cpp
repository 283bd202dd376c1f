#include "common/box_recorder.h"

namespace vocle {
namespace testkit {

box_recorder::box_recorder() {
  m_previous = platform::set_message_box_handler(
      [this](const std::string& text, const std::string& caption) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_boxes.push_back(box{text, caption});
      });
}

box_recorder::~box_recorder() {
  platform::set_message_box_handler(m_previous);
}

std::vector<box_recorder::box> box_recorder::boxes() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_boxes;
}

}  // namespace testkit
}  // namespace vocle
