#include "core/audio/audio_input_strategy.h"

namespace vocle {
namespace audio {

audio_input_strategy::~audio_input_strategy() {}

}  // namespace audio
}  // namespace vocle
