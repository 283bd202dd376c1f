#include "core/encoding/encoding.h"

#include <limits>

#include <boost/format.hpp>
#include <boost/make_shared.hpp>

#include "core/encoding/mp3_encoding.h"
#include "core/encoding/opus_encoding.h"
#include "core/encoding/raw_encoding.h"
#include "core/encoding/spx_encoding.h"
#include "core/encoding/wav_dvi_adpcm_encoding.h"
#include "core/encoding/wav_encoding.h"
#include "framework/script_error.h"

namespace vocle {

encoding::encoding(double sample_rate, std::uint32_t sample_format, std::uint64_t channels,
                   bool interleaved)
    : m_sample_rate(sample_rate),
      m_sample_format(sample_format),
      m_channels(channels),
      m_interleaved(interleaved) {}

encoding::~encoding() {}

void encoding::encode(binary& out, const std::vector<std::int16_t>& samples) {
  encode(out, sample_view(samples));
}

std::uint64_t encoding::encoded_size(std::size_t /*count*/) const {
  return 0;
}

std::uint32_t encoding::integer_rate() const {
  // A double outside the target's range must not reach the conversion: that is undefined.
  if (!(m_sample_rate >= 1.0)) {
    return 0;
  }
  if (m_sample_rate >= 4294967295.0) {
    return std::numeric_limits<std::uint32_t>::max();
  }
  return static_cast<std::uint32_t>(m_sample_rate);
}

std::uint32_t encoding::resampled_rate() const {
  const std::uint32_t rate = integer_rate();
  return rate >= 100 && rate <= 768000 ? rate : 0;
}

boost::shared_ptr<encoding> encoding::create(const std::string& type, double sample_rate,
                                             std::uint32_t sample_format, std::uint64_t channels,
                                             bool interleaved) {
  if (type == "raw") {
    return boost::make_shared<raw_encoding>(sample_rate, sample_format, channels, interleaved);
  }
  if (type == "wav") {
    return boost::make_shared<wav_encoding>(sample_rate, sample_format, channels, interleaved);
  }
  if (type == "wav_dvi_adpcm") {
    return boost::make_shared<wav_dvi_adpcm_encoding>(sample_rate, sample_format, channels,
                                                      interleaved);
  }
  if (type == "spx") {
    return boost::make_shared<spx_encoding>(sample_rate, sample_format, channels, interleaved);
  }
  if (type == "opus") {
    return boost::make_shared<opus_encoding>(sample_rate, sample_format, channels, interleaved);
  }
  if (type == "mp3") {
    return boost::make_shared<mp3_encoding>(sample_rate, sample_format, channels, interleaved);
  }
  throw FB::script_error((boost::format("wrong encoding type %1%") % type).str());
}

}  // namespace vocle
