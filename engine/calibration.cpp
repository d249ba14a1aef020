#include "calibration.h"

#include <cmath>
#include <limits>
#include <vector>

#include "kernels.h"

namespace zelmor::engine {

namespace {

// 1 / (2j + 1), the coefficients of atanh(s) / s as a series in s^2, up to s^20.
constexpr double kAtanhSeries[] = {1.0,        1.0 / 3.0,  1.0 / 5.0,  1.0 / 7.0,  1.0 / 9.0, 1.0 / 11.0,
                                   1.0 / 13.0, 1.0 / 15.0, 1.0 / 17.0, 1.0 / 19.0, 1.0 / 21.0};
// log 2 in two parts; the first has trailing zeros enough that e * kLog2High is exact.
constexpr double kLog2High = 6.93147180369123816490e-01;
constexpr double kLog2Low = 1.90821492927058770002e-10;
// (sqrt(5) - 1) / 2.
constexpr double kGolden = 0.6180339887498949;

// z(i, m) = scores(i, m) / temperature, in one place so that every use has its bits.
double scaled(const double* scores, std::int64_t n, std::int64_t i, std::int32_t m, double temperature) {
    return scores[i + m * n] / temperature;
}

double largestScaled(const double* scores, std::int64_t n, std::int32_t k, std::int64_t i, double temperature) {
    double largest = -std::numeric_limits<double>::infinity();
    for (std::int32_t m = 0; m < k; ++m) {
        const double z = scaled(scores, n, i, m, temperature);
        if (z > largest) largest = z;
    }
    return largest;
}

}  // namespace

double calibrationLog(double x) {
    if (x == 0.0) return -std::numeric_limits<double>::infinity();
    if (!(x > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    if (std::isinf(x)) return x;
    int exponent = 0;
    double mantissa = std::frexp(x, &exponent);
    // mantissa in [sqrt(1/2), sqrt(2)), so that s below stays within 0.172.
    if (mantissa < 0.70710678118654752440) {
        mantissa = 2.0 * mantissa;
        exponent = exponent - 1;
    }
    // log(m) = 2 atanh(s), s = (m - 1) / (m + 1).
    const double s = (mantissa - 1.0) / (mantissa + 1.0);
    const double s2 = s * s;
    double series = kAtanhSeries[10];
    for (int j = 9; j >= 0; --j) series = kAtanhSeries[j] + s2 * series;
    const double e = static_cast<double>(exponent);
    return e * kLog2High + (e * kLog2Low + 2.0 * s * series);
}

double logLoss(const double* scores, std::int64_t n, std::int32_t k, const double* labels, double temperature) {
    double total = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        const double largest = largestScaled(scores, n, k, i, temperature);
        double sum = 0.0;
        for (std::int32_t m = 0; m < k; ++m) sum = sum + kernelExp(scaled(scores, n, i, m, temperature) - largest);
        const auto own = static_cast<std::int32_t>(labels[i]) - 1;
        total = total + ((calibrationLog(sum) + largest) - scaled(scores, n, i, own, temperature));
    }
    return total;
}

double fitTemperature(const double* scores, std::int64_t n, std::int32_t k, const double* labels) {
    auto loss = [&](double logTemperature) { return logLoss(scores, n, k, labels, kernelExp(logTemperature)); };
    double low = calibrationLog(kLeastTemperature);
    double high = calibrationLog(kMostTemperature);
    double left = high - kGolden * (high - low);
    double right = low + kGolden * (high - low);
    double leftLoss = loss(left);
    double rightLoss = loss(right);
    for (int step = 0; step < kTemperatureSteps; ++step) {
        if (leftLoss < rightLoss) {
            high = right;
            right = left;
            rightLoss = leftLoss;
            left = high - kGolden * (high - low);
            leftLoss = loss(left);
        } else {
            low = left;
            left = right;
            leftLoss = rightLoss;
            right = low + kGolden * (high - low);
            rightLoss = loss(right);
        }
    }
    const double temperature = kernelExp(0.5 * (low + high));
    return std::fmin(std::fmax(temperature, kLeastTemperature), kMostTemperature);
}

double fitTemperatureToDecisions(const double* decision, std::int64_t n, std::int32_t k, const double* labels,
                                 double beta) {
    std::vector<double> scores(static_cast<std::size_t>(n * k));
    for (std::size_t cell = 0; cell < scores.size(); ++cell) scores[cell] = decision[cell] / beta;
    return fitTemperature(scores.data(), n, k, labels);
}

void softmaxProbabilities(const double* scores, std::int64_t n, std::int32_t k, double temperature, double* out) {
    for (std::int64_t i = 0; i < n; ++i) {
        std::int32_t predicted = 0;
        for (std::int32_t m = 1; m < k; ++m) {
            if (scores[i + m * n] > scores[i + predicted * n]) predicted = m;
        }
        const double largest = largestScaled(scores, n, k, i, temperature);
        double sum = 0.0;
        for (std::int32_t m = 0; m < k; ++m) {
            const double e = kernelExp(scaled(scores, n, i, m, temperature) - largest);
            out[i + m * n] = e;
            sum = sum + e;
        }
        for (std::int32_t m = 0; m < k; ++m) out[i + m * n] = out[i + m * n] / sum;
        // A lower score never rounds to a probability above the predicted class's (exp and the
        // division are monotone), but may round to an equal one.
        const double top = out[i + predicted * n];
        for (std::int32_t m = 0; m < predicted; ++m) {
            if (out[i + m * n] >= top) out[i + m * n] = std::nextafter(top, 0.0);
        }
    }
}

}  // namespace zelmor::engine
