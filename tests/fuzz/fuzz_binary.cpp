// The byte buffer against a plain string: every operation, in any order, with offsets and sizes
// around the contents and sources that lie inside the buffer itself, leaves the same contents,
// followed by the zero byte.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "core/foundation/binary.h"
#include "fuzz_support.h"

using vocle::binary;
using vocle::fuzz::check;

namespace {

void compare(const binary& b, const std::string& model) {
  check(b.size() == model.size(), "size");
  check(b.begin()[b.size()] == '\0', "the zero byte after the contents");
  check((b.data() == nullptr) == model.empty(), "data is null exactly when empty");
  check(std::memcmp(b.begin(), model.data(), model.size()) == 0, "contents");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::string model = in.ConsumeRandomLengthString(64);
  binary b(model.data(), model.size());
  compare(b, model);
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange<int>(0, 8)) {
      case 0: {
        const std::string bytes = in.ConsumeRandomLengthString(256);
        b.append(bytes.data(), bytes.size());
        model += bytes;
        break;
      }
      case 1: {
        const std::size_t offset = in.ConsumeIntegralInRange<std::size_t>(0, model.size() + 64);
        const std::string bytes = in.ConsumeRandomLengthString(256);
        b.write(offset, bytes.data(), bytes.size());
        if (!bytes.empty()) {
          if (model.size() < offset + bytes.size()) {
            model.resize(offset + bytes.size(), '\0');
          }
          model.replace(offset, bytes.size(), bytes);
        }
        break;
      }
      case 2: {
        const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, model.size() + 8);
        b.consume(n);
        model.erase(0, n);
        break;
      }
      case 3: {
        const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, model.size() + 256);
        b.resize(n);
        model.resize(n, '\0');
        break;
      }
      case 4: {
        const std::string bytes = in.ConsumeRandomLengthString(256);
        b.assign(bytes.data(), bytes.size());
        model = bytes;
        break;
      }
      case 5: {
        b.reserve(in.ConsumeIntegralInRange<std::size_t>(0, 4096));
        break;
      }
      case 6: {
        // A piece of the buffer itself, written back at any offset (the buffer may grow and move
        // while the source is read).
        if (model.empty()) {
          break;
        }
        const std::size_t from = in.ConsumeIntegralInRange<std::size_t>(0, model.size() - 1);
        const std::size_t length = in.ConsumeIntegralInRange<std::size_t>(0, model.size() - from);
        const std::size_t offset = in.ConsumeIntegralInRange<std::size_t>(0, model.size() + 64);
        const std::string piece = model.substr(from, length);
        b.write(offset, b.begin() + from, length);
        if (length) {
          if (model.size() < offset + length) {
            model.resize(offset + length, '\0');
          }
          model.replace(offset, length, piece);
        }
        break;
      }
      case 7: {
        // Appending the buffer's own contents to itself.
        const std::string copy = model;
        b.append(b.begin(), b.size());
        model += copy;
        break;
      }
      default: {
        const std::uint32_t value = in.ConsumeIntegral<std::uint32_t>();
        const binary word(value);
        check(word.size() == 4, "a word is four bytes");
        for (int i = 0; i < 4; ++i) {
          check(static_cast<std::uint8_t>(word.begin()[i]) == ((value >> (8 * i)) & 0xFF),
                "little-endian");
        }
        break;
      }
    }
    compare(b, model);
    if (model.size() > (1u << 16)) {
      break;  // the model doubles with every self-append; 64 KiB say all there is
    }
  }
  return 0;
}
