// Reads a fuzzer's byte string as a stream of small decisions and doubles. Reads past the end
// yield zeros, so every input, however short, decodes to some problem and the fuzzer can
// grow it one byte at a time.
#ifndef ZELMOR_FUZZ_FUZZ_INPUT_H
#define ZELMOR_FUZZ_FUZZ_INPUT_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fuzzing {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return offset_ < size_ ? data_[offset_++] : 0; }

    // A signed small integer, for values that tie and cancel exactly.
    int smallInteger() { return static_cast<std::int8_t>(byte()); }

    // Any bit pattern: NaN payloads, infinities, subnormals and signed zeros included.
    double anyDouble() {
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(byte()) << (8 * i);
        double value = 0.0;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    // Any finite bit pattern. Clearing the top exponent bit of a non-finite pattern keeps
    // its sign and mantissa and lands near 1, so the fuzzer's mutations stay meaningful.
    double finiteDouble() {
        double value = anyDouble();
        if (!std::isfinite(value)) {
            std::uint64_t bits = 0;
            std::memcpy(&bits, &value, sizeof bits);
            bits &= ~(std::uint64_t{1} << 62);
            std::memcpy(&value, &bits, sizeof value);
        }
        return value;
    }

    // 2^e with e spread over the whole exponent range of finite doubles, -1074 .. 1023.
    double powerOfTwo() { return std::ldexp(1.0, -1074 + static_cast<int>(byte()) * 2097 / 255); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

}  // namespace fuzzing

#endif  // ZELMOR_FUZZ_FUZZ_INPUT_H
