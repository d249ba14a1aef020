// Probabilities from decision values: a softmax of the scores (decision values in units of the
// margin) over a temperature fitted to out-of-fold scores by their log-loss. Every step is a
// fixed sequence of IEEE operations with the engine's own exponential and logarithm, so the
// temperature and the probabilities are the same bits on every machine and thread count.
#ifndef ZELMOR_ENGINE_CALIBRATION_H
#define ZELMOR_ENGINE_CALIBRATION_H

#include <cstdint>

namespace zelmor::engine {

// The temperatures a fit chooses from: [kLeastTemperature, kMostTemperature], in units of the
// margin. Out-of-fold scores that set every example's class apart by a wide margin push the
// fit to the least.
constexpr double kLeastTemperature = 1.0 / 1024.0;
constexpr double kMostTemperature = 1024.0;
// The steps of the golden-section search over log T; the bracket shrinks to 0.618^steps of
// its width, some 1e-12 of log T.
constexpr int kTemperatureSteps = 60;

// log(x) for a positive finite x, the same bits on every CPU (the C library's may differ):
// within a few ulp.
double calibrationLog(double x);

// The log-loss of softmax(scores / temperature) against the labels: the sum over examples i,
// in increasing order, of log(sum over m of exp(z(i, m) - z_max)) + z_max - z(i, y_i), with
// z = scores / temperature. scores is n x k, column-major; labels hold n classes 1..k.
double logLoss(const double* scores, std::int64_t n, std::int32_t k, const double* labels, double temperature);

// The temperature in [kLeastTemperature, kMostTemperature] that minimises logLoss: the
// midpoint, in log T, of the bracket left by kTemperatureSteps golden-section steps from the
// whole range (the loss is unimodal in log T, as it is convex in 1 / T). Ties between the two
// inner points move the bracket up: where the loss is flat (it rounds to 0 once the scores set
// every example apart), the larger temperature wins.
double fitTemperature(const double* scores, std::int64_t n, std::int32_t k, const double* labels);

// fitTemperature for the scores decision / beta: n x k decision values in units of the margin,
// as zelmor_predict gives them.
double fitTemperatureToDecisions(const double* decision, std::int64_t n, std::int32_t k, const double* labels,
                                 double beta);

// out(i, m) = exp(z(i, m) - z_max) / (the sum of those over m, in increasing m), z = scores /
// temperature, n x k column-major. Then, so that the most probable class is the predicted one
// with the prediction's tie rule (the largest score, ties to the lowest class): a class before
// the predicted one whose probability rounded to the predicted class's (its score is lower) is
// given the next double below it.
void softmaxProbabilities(const double* scores, std::int64_t n, std::int32_t k, double temperature, double* out);

}  // namespace zelmor::engine

#endif  // ZELMOR_ENGINE_CALIBRATION_H
