#include "scoring.h"

#include <map>
#include <vector>

namespace zelmor::engine {

namespace {

// A whole number of any size, in 32-bit limbs from the lowest.
using WholeNumber = std::vector<std::uint32_t>;

void multiplyBy(WholeNumber* x, std::uint32_t factor) {
    std::uint64_t carry = 0;
    for (std::uint32_t& limb : *x) {
        const std::uint64_t value = static_cast<std::uint64_t>(limb) * factor + carry;
        limb = static_cast<std::uint32_t>(value);
        carry = value >> 32;
    }
    if (carry != 0) x->push_back(static_cast<std::uint32_t>(carry));
}

// x += y * factor.
void addMultiple(WholeNumber* x, const WholeNumber& y, std::uint32_t factor) {
    if (x->size() < y.size()) x->resize(y.size(), 0);
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < x->size(); ++i) {
        const std::uint64_t term = i < y.size() ? static_cast<std::uint64_t>(y[i]) * factor : 0;
        // At most (2^32 - 1) + (2^32 - 1)^2 + (2^32 - 1) < 2^64.
        const std::uint64_t value = (*x)[i] + term + carry;
        (*x)[i] = static_cast<std::uint32_t>(value);
        carry = value >> 32;
    }
    if (carry != 0) x->push_back(static_cast<std::uint32_t>(carry));
}

int compare(const WholeNumber& a, const WholeNumber& b) {
    std::size_t top = a.size() > b.size() ? a.size() : b.size();
    while (top-- > 0) {
        const std::uint32_t x = top < a.size() ? a[top] : 0;
        const std::uint32_t y = top < b.size() ? b[top] : 0;
        if (x != y) return x > y ? 1 : -1;
    }
    return 0;
}

}  // namespace

int compareBalancedAccuracy(const std::int64_t* a, const std::int64_t* b, const std::int64_t* sizes,
                            std::int32_t k) {
    // Classes of one size share a denominator: their differences add up first.
    std::map<std::int64_t, std::int64_t> differenceOfSize;
    for (std::int32_t c = 0; c < k; ++c) {
        if (sizes[c] > 0) differenceOfSize[sizes[c]] += a[c] - b[c];
    }
    // The sum of the positive differences over their sizes against that of the negative ones,
    // both over the product of the sizes: gains / denominator against losses / denominator.
    WholeNumber gains;
    WholeNumber losses;
    WholeNumber denominator{1};
    for (const auto& [size, difference] : differenceOfSize) {
        // Counts and sizes are at most the example count, which fits in 32 bits.
        const auto s = static_cast<std::uint32_t>(size);
        multiplyBy(&gains, s);
        multiplyBy(&losses, s);
        if (difference > 0) addMultiple(&gains, denominator, static_cast<std::uint32_t>(difference));
        if (difference < 0) addMultiple(&losses, denominator, static_cast<std::uint32_t>(-difference));
        multiplyBy(&denominator, s);
    }
    return compare(gains, losses);
}

}  // namespace zelmor::engine
