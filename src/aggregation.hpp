// Fold-score aggregators: one ranking score from a candidate's per-fold scores.
#pragma once

#include "cross_validation.hpp"

namespace ornik {

class Aggregator {
 public:
  virtual ~Aggregator() = default;
  virtual double aggregate(const FoldStats& stats) const = 0;
  virtual const char* name() const = 0;
};

class Mean final : public Aggregator {
 public:
  double aggregate(const FoldStats& stats) const override;
  const char* name() const override { return "mean"; }
};

class Median final : public Aggregator {
 public:
  double aggregate(const FoldStats& stats) const override;
  const char* name() const override { return "median"; }
};

class TrimmedMean final : public Aggregator {
 public:
  explicit TrimmedMean(double frac) : frac_(frac) {}
  double aggregate(const FoldStats& stats) const override;
  const char* name() const override { return "trimmed_mean"; }

 private:
  double frac_;
};

class SignalToNoise final : public Aggregator {
 public:
  explicit SignalToNoise(double eps) : eps_(eps) {}
  double aggregate(const FoldStats& stats) const override;
  const char* name() const override { return "signal_to_noise"; }

 private:
  double eps_;
};

class MeanMinusLambdaStd final : public Aggregator {
 public:
  explicit MeanMinusLambdaStd(double lambda) : lambda_(lambda) {}
  double aggregate(const FoldStats& stats) const override;
  const char* name() const override { return "mean_minus_lambda_std"; }

 private:
  double lambda_;
};

}  // namespace ornik
