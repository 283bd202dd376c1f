#include "core/foundation/byte_source.h"

namespace vocle {

byte_source::~byte_source() = default;

}  // namespace vocle
