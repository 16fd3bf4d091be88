#include "binning.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "parallel.hpp"
#include "quantile.hpp"

namespace ornik {
namespace {

std::string limit_error(size_t feature, uint64_t count, const char* what) {
  return "feature " + std::to_string(feature) + ": " + std::to_string(count) + " " + what +
         " exceed fast-mode limit";
}

// Rows are copied and coded in blocks of this many, each handed to whichever worker comes free.
// A block of the code matrix is a whole number of cache lines long.
constexpr size_t kRowBlock = 4096;
// Numeric columns per worker that one pass over a row-major matrix copies out; each costs a
// float64 copy of its column while its group is binned (on large pages: the copies are fresh
// memory on every fit, as wide as the group).
constexpr size_t kColumnsPerWorker = 4;

// How one feature is coded, worked out from its whole column before any row of it is coded.
struct FeaturePlan {
  Column column;
  const double* values = nullptr;  // its numbers, copied (a column's own labels are not)
  std::optional<BinCoder> coder;   // numeric: the bucketed coder, for a long column
  std::vector<uint32_t> position;  // categorical: each label's code, when a table of them fits
};

// Numeric column: quantile edges; non-finite values are missing. Checks the edge limit before
// any edge is built so that a huge n_bins fails without allocating. finite holds the
// selection's buffers, reused.
void plan_numeric(std::span<const double> values, uint64_t n_bins, size_t feature,
                  FeatureBins& bins, FeaturePlan& plan, FiniteKeys& finite, std::string& error) {
  const FiniteRange range = FiniteRange::of(values);
  const uint64_t count = n_bins >= 2 && range.count > 0 ? n_bins - 1 : 0;
  if (count > MAX_FAST_EDGES) {
    error = limit_error(feature, count + 1, "continuous bins");
    return;
  }
  bins.has_missing = range.count < values.size();
  const double lo = from_total_order_key(range.least);
  const double hi = from_total_order_key(range.greatest);
  bins.edges = quantile_edges(values, range, n_bins, finite);
  bins.n_bins = bins.edges.size() + 1;
  bins.continuous = true;
  // The bucket table pays off once the column is long compared with its size.
  if (values.size() >= (size_t{1} << 14) && !bins.edges.empty()) {
    plan.coder.emplace(bins.edges, lo, hi);
  }
}

// Calls use(label_at): label_at(i) is row i's label, the column's own or converted from its
// copied numbers.
template <class Use>
void with_labels(const FeaturePlan& plan, Use&& use) {
  if (plan.values != nullptr) {
    use([values = plan.values](size_t i) { return category_label(values[i]); });
  } else {
    use([labels = plan.column.labels.data()](size_t i) { return labels[i]; });
  }
}

// Categorical column of n rows: a label's code is its position among the sorted distinct labels.
template <class LabelAt>
void plan_categorical(LabelAt label_at, size_t n, size_t feature, FeatureBins& bins,
                      std::vector<uint32_t>& position, std::string& error) {
  uint32_t top = 0;
  bool has_missing = false;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t l = label_at(i);
    has_missing = has_missing || l == MISSING_CATEGORY;
    top = l != MISSING_CATEGORY && l > top ? l : top;
  }
  std::vector<uint32_t> categories;
  // Labels up to a few times the row count: a table of them, in label order, gives the sorted
  // distinct labels and each label's position without sorting or searching.
  constexpr uint32_t kUnseen = UINT32_MAX;
  if (top < 4 * static_cast<uint64_t>(n) + 1024) {
    position.assign(size_t{top} + 1, kUnseen);
    for (size_t i = 0; i < n; ++i) {
      const uint32_t l = label_at(i);
      if (l != MISSING_CATEGORY) position[l] = 0;
    }
    for (uint32_t v = 0; v <= top; ++v) {
      if (position[v] == kUnseen) continue;
      position[v] = static_cast<uint32_t>(categories.size());
      categories.push_back(v);
    }
  } else {
    categories.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      const uint32_t l = label_at(i);
      if (l != MISSING_CATEGORY) categories.push_back(l);
    }
    std::sort(categories.begin(), categories.end());
    categories.erase(std::unique(categories.begin(), categories.end()), categories.end());
  }
  if (categories.size() > MAX_FAST_CATEGORIES) {
    error = limit_error(feature, categories.size(), "categories");
    return;
  }
  bins.n_bins = categories.size();
  bins.continuous = false;
  bins.has_missing = has_missing;
  bins.categories = std::move(categories);
}

// Codes rows [first, last) of a planned feature: out[(i - first) * stride] is row i's code.
template <class Code>
void code_rows(const FeaturePlan& plan, const FeatureBins& bins, size_t first, size_t last,
               Code* out, size_t stride) {
  constexpr Code missing = kMissingCode<Code>;
  if (!plan.column.categorical) {
    const std::span<const double> values(plan.values + first, last - first);
    if (plan.coder) return plan.coder->code_all(values, out, stride, missing);
    const std::span<const double> edges = bins.edges;
    for (size_t i = 0; i < values.size(); ++i) {
      const double v = values[i];
      out[i * stride] = std::isfinite(v) ? static_cast<Code>(bin_code(edges, v)) : missing;
    }
    return;
  }
  const std::span<const uint32_t> categories = bins.categories;
  with_labels(plan, [&](auto label_at) {
    for (size_t i = first; i < last; ++i) {
      const uint32_t l = label_at(i);
      Code code = missing;
      if (l != MISSING_CATEGORY) {
        code = !plan.position.empty()
                   ? static_cast<Code>(plan.position[l])
                   : static_cast<Code>(std::lower_bound(categories.begin(), categories.end(), l) -
                                       categories.begin());
      }
      out[(i - first) * stride] = code;
    }
  });
}

// A code's two-byte value: the same bin, or missing.
template <class Code>
uint16_t wide_code(Code code) {
  return code == kMissingCode<Code> ? MISSING_CODE : code;
}

// The two-byte copy of a one-byte matrix whose first `coded` features of every row are coded.
CodeMatrix<uint16_t> widened(const CodeMatrix<uint8_t>& narrow, size_t n_rows, size_t n_features,
                             size_t coded) {
  CodeMatrix<uint16_t> wide(narrow.size());
  for (size_t i = 0; i < n_rows; ++i) {
    for (size_t j = 0; j < coded; ++j)
      wide[i * n_features + j] = wide_code(narrow[i * n_features + j]);
  }
  return wide;
}

// Copies rows [first, last) of each source into the buffer of the same position, reading row by
// row.
template <size_t N>
void copy_rows(const StridedValues* sources, size_t first, size_t last, double* const* out) {
  const char* base[N];
  double* dst[N];
  for (size_t g = 0; g < N; ++g) {
    base[g] = sources[g].base;
    dst[g] = out[g];
  }
  const ptrdiff_t stride = sources[0].stride;
  for (size_t i = first; i < last; ++i) {
    const ptrdiff_t at = static_cast<ptrdiff_t>(i) * stride;
    for (size_t g = 0; g < N; ++g) std::memcpy(dst[g] + i, base[g] + at, sizeof(double));
  }
}

void copy_rows(std::span<const StridedValues> sources, size_t first, size_t last,
               std::span<double* const> out) {
  // Columns of one matrix share its row stride and are read together, up to four at a time (a
  // block's rows stay in cache for the next four); others are read one at a time.
  for (size_t g = 0; g < sources.size();) {
    size_t k = 1;
    while (k < 4 && g + k < sources.size() && sources[g + k].stride == sources[g].stride) ++k;
    const StridedValues* from = sources.data() + g;
    double* const* to = out.data() + g;
    switch (k) {
      case 4:
        copy_rows<4>(from, first, last, to);
        break;
      case 3:
        copy_rows<3>(from, first, last, to);
        break;
      case 2:
        copy_rows<2>(from, first, last, to);
        break;
      default:
        copy_rows<1>(from, first, last, to);
    }
    g += k;
  }
}

}  // namespace

uint16_t BinnedData::code(size_t row, size_t feature) const {
  return std::visit(
      [&](const auto& matrix) { return wide_code(matrix[row * features.size() + feature]); },
      codes);
}

std::vector<uint16_t> BinnedData::feature_codes(size_t feature) const {
  std::vector<uint16_t> out(n_rows);
  for (size_t i = 0; i < n_rows; ++i) out[i] = code(i, feature);
  return out;
}

std::variant<BinnedData, std::string> bin_columns(size_t n_rows, size_t n_features, uint64_t n_bins,
                                                  size_t n_threads,
                                                  const std::function<Column(size_t)>& column_at) {
  const size_t workers = std::max<size_t>(n_threads, 1);
  BinnedData data;
  data.n_rows = n_rows;
  data.features.resize(n_features);
  // Numeric features have at most n_bins bins; a categorical one with more than a byte holds
  // widens the matrix once its group is planned.
  if (n_bins <= kMaxNarrowBins) {
    data.codes.emplace<CodeMatrix<uint8_t>>(n_rows * n_features);
  } else {
    data.codes.emplace<CodeMatrix<uint16_t>>(n_rows * n_features);
  }
  const size_t n_blocks = (n_rows + kRowBlock - 1) / kRowBlock;
  // Features are binned a group at a time, all workers on each step of a group: the group's
  // numeric columns are copied out of x in one pass over its rows, each column's edges are found
  // by one worker, then the rows are coded block by block straight into the row-major matrix.
  const size_t group_width = kColumnsPerWorker * workers;
  std::vector<FillLaterRowVector<double>> copies;
  std::vector<FiniteKeys> finite(workers);
  for (size_t group_first = 0; group_first < n_features; group_first += group_width) {
    const size_t width = std::min(group_width, n_features - group_first);
    std::vector<FeaturePlan> plans(width);
    // A column that owns its labels converts them as it is built, so columns are built in
    // parallel too.
    for_each_handed_out(width, workers,
                        [&](size_t, size_t g) { plans[g].column = column_at(group_first + g); });
    std::vector<StridedValues> sources;
    std::vector<double*> targets;
    for (size_t g = 0; g < width; ++g) {
      FeaturePlan& plan = plans[g];
      if (plan.column.size() != n_rows) {
        throw std::invalid_argument("feature " + std::to_string(group_first + g) + " has " +
                                    std::to_string(plan.column.size()) + " values for " +
                                    std::to_string(n_rows) + " rows");
      }
      // Numbers are copied, labels' numbers read in place too; labels of its own a column keeps.
      if (plan.column.categorical && plan.column.in_place.base == nullptr) continue;
      if (copies.size() == sources.size()) copies.emplace_back(n_rows);
      plan.values = copies[sources.size()].data();
      targets.push_back(copies[sources.size()].data());
      sources.push_back(plan.column.values());
    }
    for_each_handed_out(n_blocks, workers, [&](size_t, size_t block) {
      const size_t first = block * kRowBlock;
      copy_rows(sources, first, std::min(n_rows, first + kRowBlock), targets);
    });
    // The lowest failing feature's error is the one a sequential pass would report first.
    std::vector<std::string> errors(width);
    for_each_handed_out(width, workers, [&](size_t worker, size_t g) {
      FeaturePlan& plan = plans[g];
      FeatureBins& bins = data.features[group_first + g];
      if (plan.column.categorical) {
        with_labels(plan, [&](auto label_at) {
          plan_categorical(label_at, n_rows, group_first + g, bins, plan.position, errors[g]);
        });
      } else {
        plan_numeric({plan.values, n_rows}, n_bins, group_first + g, bins, plan, finite[worker],
                     errors[g]);
      }
    });
    for (const std::string& error : errors) {
      if (!error.empty()) return error;
    }
    if (const auto* narrow = std::get_if<CodeMatrix<uint8_t>>(&data.codes)) {
      const auto group = data.features.begin() + static_cast<std::ptrdiff_t>(group_first);
      if (std::any_of(group, group + static_cast<std::ptrdiff_t>(width),
                      [](const FeatureBins& bins) { return bins.n_bins > kMaxNarrowBins; })) {
        data.codes = widened(*narrow, n_rows, n_features, group_first);
      }
    }
    std::visit(
        [&](auto& matrix) {
          for_each_handed_out(n_blocks, workers, [&](size_t, size_t block) {
            const size_t first = block * kRowBlock, last = std::min(n_rows, first + kRowBlock);
            auto* row = matrix.data() + first * n_features + group_first;
            for (size_t g = 0; g < width; ++g) {
              code_rows(plans[g], data.features[group_first + g], first, last, row + g, n_features);
            }
          });
        },
        data.codes);
  }
  return data;
}

std::variant<BinnedData, std::string> BinnedData::fit(std::span<const Column> columns,
                                                      uint64_t n_bins) {
  return bin_columns(columns.empty() ? 0 : columns[0].size(), columns.size(), n_bins, 1,
                     [&columns](size_t j) { return columns[j]; });
}

}  // namespace ornik
