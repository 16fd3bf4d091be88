// Fold-score aggregators: one ranking score from a candidate's per-fold scores, and the table
// that names them.
#pragma once

#include <memory>
#include <span>

#include "fold_stats.hpp"

namespace ornik {

class Aggregator {
 public:
  virtual ~Aggregator() = default;
  virtual double aggregate(const FoldStats& stats) const = 0;
  virtual const char* name() const = 0;
  // The summary parts (FoldSummaryParts) aggregate reads besides the scores and their mean.
  virtual unsigned reads() const = 0;
};

class Mean final : public Aggregator {
 public:
  static constexpr const char* kName = "mean";
  double aggregate(const FoldStats& stats) const override;
  const char* name() const override { return kName; }
  unsigned reads() const override { return 0; }
};

class Median final : public Aggregator {
 public:
  static constexpr const char* kName = "median";
  double aggregate(const FoldStats& stats) const override;
  const char* name() const override { return kName; }
  unsigned reads() const override { return kMedian; }
};

class TrimmedMean final : public Aggregator {
 public:
  static constexpr const char* kName = "trimmed_mean";
  explicit TrimmedMean(double frac) : frac_(frac) {}
  double aggregate(const FoldStats& stats) const override;
  const char* name() const override { return kName; }
  unsigned reads() const override { return 0; }

 private:
  double frac_;
};

class SignalToNoise final : public Aggregator {
 public:
  static constexpr const char* kName = "signal_to_noise";
  explicit SignalToNoise(double eps) : eps_(eps) {}
  double aggregate(const FoldStats& stats) const override;
  const char* name() const override { return kName; }
  unsigned reads() const override { return kSpread; }

 private:
  double eps_;
};

class MeanMinusLambdaStd final : public Aggregator {
 public:
  static constexpr const char* kName = "mean_minus_lambda_std";
  explicit MeanMinusLambdaStd(double lambda) : lambda_(lambda) {}
  double aggregate(const FoldStats& stats) const override;
  const char* name() const override { return kName; }
  unsigned reads() const override { return kSpread; }

 private:
  double lambda_;
};

// The tuning values an aggregator may take; each reads its own.
struct AggregatorSettings {
  double frac = 0.0;
  double eps = 0.0;
  double lambda = 0.0;
};

// One named aggregator and how to make it.
struct AggregatorEntry {
  const char* name;
  std::unique_ptr<Aggregator> (*make)(const AggregatorSettings& settings);
};

// The aggregators by name.
std::span<const AggregatorEntry> aggregators();

}  // namespace ornik
