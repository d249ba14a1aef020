// projectSimplex against the reference solver's, bit for bit, on any doubles at all: the solve
// loop can hand it infinities and NaNs once extreme but finite inputs overflow. Where the fixed
// point would cycle, both stop at the same pass, so even there they must agree.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dual_solver.h"
#include "fuzz_input.h"
#include "reference.h"

namespace {

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

[[noreturn]] void fail(const char* what, const std::vector<double>& values, std::size_t index) {
    std::fprintf(stderr, "projectSimplex: %s at entry %zu; input:\n", what, index);
    for (double v : values) std::fprintf(stderr, "  %a\n", v);
    std::abort();
}

std::vector<double> decode(fuzzing::FuzzInput& in, std::int32_t* count) {
    const std::uint8_t mode = in.byte();
    const std::int32_t length = in.byte() % 65;
    // Now and then a count of zero or below: an empty projection, whatever the values.
    *count = (mode & 0xC0) == 0xC0 ? -static_cast<std::int32_t>(mode & 3) : length;
    const double scale = in.powerOfTwo();
    std::vector<double> values(static_cast<std::size_t>(length));
    for (auto& v : values) {
        switch (mode & 3) {
            case 0:
                // Quarter steps: ties, exact sums and residuals of exactly zero.
                v = in.smallInteger() / 4.0;
                break;
            case 1:
                v = in.anyDouble();
                break;
            case 2:
                // One magnitude for all, so sums overflow or round far above the tolerance.
                v = in.smallInteger() * scale;
                break;
            default:
                // Mostly small values with a few raw ones among them.
                v = (in.byte() & 7) == 0 ? in.anyDouble() : in.smallInteger() / 8.0;
                break;
        }
    }
    return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::FuzzInput in(data, size);
    std::int32_t count = 0;
    const std::vector<double> values = decode(in, &count);

    const std::vector<double> got = zelmor::projectSimplex(values.data(), count);
    const std::vector<double> reference = zelmor::reference::projectSimplex(values.data(), count);
    const std::size_t expected = count > 0 ? static_cast<std::size_t>(count) : 0;
    if (got.size() != expected || reference.size() != expected) fail("wrong result length", values, 0);
    for (std::size_t j = 0; j < expected; ++j) {
        if (!sameBits(got[j], reference[j])) fail("differs from the reference solver's", values, j);
    }
    // The projection itself: entries are never negative nor NaN, and for moderate finite inputs
    // they sum to 1 within the residual tolerance plus rounding.
    bool moderate = expected > 0;
    for (double v : values) moderate = moderate && std::fabs(v) <= 1e6;
    double sum = 0.0;
    for (std::size_t j = 0; j < expected; ++j) {
        if (got[j] < 0.0 || std::isnan(got[j])) fail("negative or NaN entry", values, j);
        sum += got[j];
    }
    if (moderate && std::fabs(sum - 1.0) > 1.2e-6) fail("entries do not sum to 1", values, 0);
    return 0;
}
