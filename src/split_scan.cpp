#include "split_scan.hpp"

namespace ornik {

void objective_scores(const ClassObjective& objective, Confusion& confusion, size_t n_folds,
                      size_t width, size_t count_lane, const double* val_left,
                      const double* val_total, const double* train_left, const double* train_total,
                      const double* baseline, double* right, const ScanChoice& choice,
                      size_t position, const double* train_baseline, std::vector<double>& scores) {
  const size_t n_classes = confusion.n_classes;
  double* val_right = right;
  double* train_right = right + width;
  scores.clear();
  for (size_t f = 0; f < n_folds; ++f) {
    // Class weights start at lane 1 of a fold's lanes.
    const double* vl = val_left + f * width + 1;
    const double* vt = val_total + f * width + 1;
    const double* tl = train_left + f * width + 1;
    const double* tt = train_total + f * width + 1;
    double n_vl = 0.0, n_vr = 0.0, n_tl = 0.0, n_tr = 0.0;
    for (size_t c = 0; c < n_classes; ++c) {
      val_right[c] = vt[c] - vl[c];
      train_right[c] = tt[c] - tl[c];
      n_vl += vl[c];
      n_vr += val_right[c];
      n_tl += tl[c];
      n_tr += train_right[c];
    }
    if (count_lane != 0) {  // weighted: emptiness by sample counts, not by weight
      const size_t at = f * width + count_lane;
      n_vl = val_left[at], n_vr = val_total[at] - n_vl;
      n_tl = train_left[at], n_tr = train_total[at] - n_tl;
    }
    const bool val_split = n_vl != 0 && n_vr != 0;
    const bool train_split = n_tl != 0 && n_tr != 0;
    std::optional<double> score;
    if (val_split && train_split) {
      score = split_objective(objective, confusion, tl, vl, train_right, val_right) - baseline[f];
      scores.push_back(*score);
    }
    if (choice.picks == nullptr || !train_split) continue;
    const double gain =
        split_objective(objective, confusion, tl, tl, train_right, train_right) - train_baseline[f];
    if (choice.picks->beats(f, gain, choice.feature, position)) {
      choice.picks->take(f, gain, choice.feature, position, score);
    }
  }
}

}  // namespace ornik
