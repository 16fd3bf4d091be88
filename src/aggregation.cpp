#include "aggregation.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "data.hpp"

namespace ornik {
namespace {
constexpr double kNoScore = -std::numeric_limits<double>::infinity();
}

double Mean::aggregate(const FoldStats& stats) const {
  return stats.n_valid == 0 ? kNoScore : stats.mean;
}

double Median::aggregate(const FoldStats& stats) const {
  return stats.n_valid == 0 ? kNoScore : stats.median;
}

double SignalToNoise::aggregate(const FoldStats& stats) const {
  return stats.n_valid == 0 ? kNoScore : stats.mean / (stats.std + eps_);
}

double MeanMinusLambdaStd::aggregate(const FoldStats& stats) const {
  if (stats.n_valid == 0) return kNoScore;
  const double spread = lambda_ * stats.std;
  return stats.mean - spread;
}

double TrimmedMean::aggregate(const FoldStats& stats) const {
  const size_t n = stats.scores.size();
  if (n == 0) return kNoScore;
  std::vector<double> sorted = stats.scores;
  sort_total_order(sorted);
  // floor(frac * n) saturated into an unsigned count; NaN and negatives trim nothing.
  const double want = std::floor(frac_ * static_cast<double>(n));
  uint64_t t = 0;
  if (want >= 18446744073709551616.0) {
    t = UINT64_MAX;
  } else if (want > 0.0) {
    t = static_cast<uint64_t>(want);
  }
  t = std::min<uint64_t>(t, (n - 1) / 2);
  double sum = 0.0;
  for (size_t i = t; i < n - t; ++i) sum += sorted[i];
  return sum / static_cast<double>(n - 2 * t);
}

namespace {

constexpr AggregatorEntry kAggregators[] = {
    {Mean::kName,
     [](const AggregatorSettings&) -> std::unique_ptr<Aggregator> {
       return std::make_unique<Mean>();
     }},
    {Median::kName,
     [](const AggregatorSettings&) -> std::unique_ptr<Aggregator> {
       return std::make_unique<Median>();
     }},
    {TrimmedMean::kName,
     [](const AggregatorSettings& s) -> std::unique_ptr<Aggregator> {
       return std::make_unique<TrimmedMean>(s.frac);
     }},
    {SignalToNoise::kName,
     [](const AggregatorSettings& s) -> std::unique_ptr<Aggregator> {
       return std::make_unique<SignalToNoise>(s.eps);
     }},
    {MeanMinusLambdaStd::kName,
     [](const AggregatorSettings& s) -> std::unique_ptr<Aggregator> {
       return std::make_unique<MeanMinusLambdaStd>(s.lambda);
     }},
};

}  // namespace

std::span<const AggregatorEntry> aggregators() {
  return kAggregators;
}

}  // namespace ornik
