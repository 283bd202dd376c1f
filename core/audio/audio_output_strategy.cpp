#include "core/audio/audio_output_strategy.h"

namespace vocle {
namespace audio {

audio_output_strategy::~audio_output_strategy() {}

}  // namespace audio
}  // namespace vocle
