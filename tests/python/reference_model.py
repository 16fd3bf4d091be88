"""Pure-Python reference model of tree fitting, used to check the native core bit for bit.

Everything here is written for clarity, not speed: plain lists, Python floats (IEEE
doubles) and Python ints masked to the widths the native code uses. Every float sum
starts from +0.0 and runs in the documented order, so results match exactly.
"""

from __future__ import annotations

import math
import struct

MASK64 = (1 << 64) - 1
U64_MAX = MASK64
GOLDEN = 0x9E3779B97F4A7C15
MISSING_CATEGORY = 0xFFFFFFFF
MISSING_CODE = 0xFFFF
MAX_FAST_EDGES = 65534
MAX_FAST_CATEGORIES = 65535
# Edge lists longer than this are represented lazily (huge n_bins in Strict mode).
LAZY_EDGES_ABOVE = 4096

NAN = math.nan
INF = math.inf


# ---------------------------------------------------------------- float helpers


def total_order_key(x: float) -> int:
    """Sort key of the IEEE-754 total order (-0.0 before +0.0, NaNs at the ends by sign)."""
    bits = struct.unpack("<q", struct.pack("<d", x))[0]
    return bits ^ 0x7FFFFFFFFFFFFFFF if bits < 0 else bits


def total_order_sorted(values):
    # Python's sort is stable; equal keys are bit-identical values anyway.
    return sorted(values, key=total_order_key)


def fdiv(a: float, b: float) -> float:
    """IEEE-754 division (Python raises on a zero divisor)."""
    if b != 0.0:
        return a / b
    if math.isnan(a) or a == 0.0:
        return NAN
    negative = (math.copysign(1.0, a) < 0) != (math.copysign(1.0, b) < 0)
    return -INF if negative else INF


def fsum_in_order(values) -> float:
    s = 0.0
    for v in values:
        s += v
    return s


# ---------------------------------------------------------------- columns


class Column:
    """One training feature: numeric (floats) or categorical (unsigned 32-bit labels)."""

    __slots__ = ("categorical", "values")

    def __init__(self, categorical: bool, values: list):
        self.categorical = categorical
        self.values = values


def category_label(v: float) -> int:
    """Finite v >= 0 rounds half away from zero, saturating; anything else is missing."""
    if not math.isfinite(v) or v < 0.0:
        return MISSING_CATEGORY
    fl = math.floor(v)
    frac = v - fl  # exact for non-negative doubles
    label = fl + 1 if frac >= 0.5 else fl
    return min(int(label), MISSING_CATEGORY)


def build_columns(x_rows, n_features: int, categorical) -> list[Column]:
    """x_rows: sequence of rows of floats. Positions beyond the column count are ignored."""
    cat = set(categorical)
    cols = []
    for j in range(n_features):
        vals = [float(row[j]) for row in x_rows]
        if j in cat:
            cols.append(Column(True, [category_label(v) for v in vals]))
        else:
            cols.append(Column(False, vals))
    return cols


def class_targets(y) -> list[int]:
    return [0 if int(v) < 0 else int(v) for v in y]


# ---------------------------------------------------------------- quantile edges


class LazyEdges:
    """The n_bins - 1 quantile edges without storing them: edge j is sorted[idx(j + 1)]."""

    def __init__(self, sorted_vals: list, n_bins: int):
        self.sorted = sorted_vals
        self.n_bins = n_bins
        self.n = len(sorted_vals)

    @property
    def count(self) -> int:
        # Not __len__: the count may exceed what len() can return.
        return self.n_bins - 1

    def __getitem__(self, j: int) -> float:
        if j < 0 or j >= self.count:
            raise IndexError(j)
        k = j + 1
        idx = ((k * self.n) & MASK64) // self.n_bins
        return self.sorted[min(idx, self.n - 1)]


def quantile_edges(values, n_bins: int):
    if n_bins < 2:
        return []
    finite = [v for v in values if math.isfinite(v)]
    if not finite:
        return []
    s = total_order_sorted(finite)
    n = len(s)
    if n_bins - 1 > LAZY_EDGES_ABOVE:
        return LazyEdges(s, n_bins)
    edges = []
    for k in range(1, n_bins):
        idx = ((k * n) & MASK64) // n_bins
        edges.append(s[min(idx, n - 1)])
    return edges


def edge_count(edges) -> int:
    return edges.count if isinstance(edges, LazyEdges) else len(edges)


def bin_code(edges, x: float) -> int:
    """Number of edges <= x, by bisection (upper-bound position)."""
    lo, hi = 0, edge_count(edges)
    while lo < hi:
        mid = (lo + hi) // 2
        if edges[mid] <= x:
            lo = mid + 1
        else:
            hi = mid
    return lo


# ---------------------------------------------------------------- criteria


class Mse:
    name = "mse"

    def impurity(self, ys) -> float:
        n = len(ys)
        if n == 0:
            return 0.0
        s = 0.0
        q = 0.0
        for y in ys:
            s += y
        for y in ys:
            q += y * y
        m = s / n
        q = q / n
        d = q - m * m
        return d if d > 0.0 else 0.0


class Variance(Mse):
    name = "variance"


class Mae:
    name = "mae"

    def impurity(self, ys) -> float:
        n = len(ys)
        if n == 0:
            return 0.0
        s = total_order_sorted(ys)
        if n % 2 == 1:
            med = s[n // 2]
        else:
            med = (s[n // 2 - 1] + s[n // 2]) * 0.5
        acc = 0.0
        for y in ys:
            acc += abs(y - med)
        return acc / n


def gini_from_counts(counts, n: int) -> float:
    nf = float(n)
    acc = 0.0
    for c in counts:
        p = c / nf
        acc += p * p
    return 1.0 - acc


def entropy_from_counts(counts, n: int) -> float:
    nf = float(n)
    acc = 0.0
    for c in counts:
        if c > 0:
            p = c / nf
            acc += p * math.log2(p)
    return -acc


def count_classes(labels, n_classes: int) -> list[int]:
    counts = [0] * n_classes
    for y in labels:
        if y < n_classes:
            counts[y] += 1
    return counts


class Gini:
    name = "gini"

    def __init__(self, n_classes: int):
        self.n_classes = n_classes

    def impurity(self, ys) -> float:
        if len(ys) == 0:
            return 0.0
        return gini_from_counts(count_classes(ys, self.n_classes), len(ys))


class Entropy:
    name = "entropy"

    def __init__(self, n_classes: int):
        self.n_classes = n_classes

    def impurity(self, ys) -> float:
        if len(ys) == 0 or self.n_classes == 0:
            return 0.0
        return entropy_from_counts(count_classes(ys, self.n_classes), len(ys))


REGRESSION_CRITERIA = {"mse": Mse, "variance": Variance, "mae": Mae}
CLASSIFICATION_CRITERIA = {"gini": Gini, "entropy": Entropy}


# ---------------------------------------------------------------- fold statistics


class FoldStats:
    __slots__ = ("scores", "mean", "median", "std", "n_valid", "n_folds")

    @classmethod
    def from_scores(cls, scores: list, n_folds: int) -> FoldStats:
        st = cls()
        st.scores = scores
        st.n_folds = n_folds
        n = len(scores)
        st.n_valid = n
        if n == 0:
            st.mean = -INF
            st.median = -INF
            st.std = 0.0
            return st
        mean = fsum_in_order(scores) / n
        acc = 0.0
        for s in scores:
            d = s - mean
            acc += d * d
        var = acc / n
        st.mean = mean
        st.std = math.sqrt(var) if not var < 0.0 else NAN
        srt = total_order_sorted(scores)
        if n % 2 == 1:
            st.median = srt[n // 2]
        else:
            st.median = (srt[n // 2 - 1] + srt[n // 2]) * 0.5
        return st


# ---------------------------------------------------------------- aggregators


def saturating_u64(x: float) -> int:
    if math.isnan(x) or x <= 0.0:
        return 0
    if x >= 18446744073709551616.0:
        return U64_MAX
    return int(x)


class MeanAgg:
    name = "mean"

    def aggregate(self, st: FoldStats) -> float:
        return -INF if st.n_valid == 0 else st.mean


class MedianAgg:
    name = "median"

    def aggregate(self, st: FoldStats) -> float:
        return -INF if st.n_valid == 0 else st.median


class TrimmedMeanAgg:
    name = "trimmed_mean"

    def __init__(self, frac: float):
        self.frac = frac

    def aggregate(self, st: FoldStats) -> float:
        n = len(st.scores)
        if n == 0:
            return -INF
        srt = total_order_sorted(st.scores)
        prod = self.frac * float(n)
        t = saturating_u64(math.floor(prod)) if math.isfinite(prod) else saturating_u64(prod)
        t = min(t, (n - 1) // 2)
        acc = 0.0
        for i in range(t, n - t):
            acc += srt[i]
        return acc / float(n - 2 * t)


class SignalToNoiseAgg:
    name = "signal_to_noise"

    def __init__(self, eps: float):
        self.eps = eps

    def aggregate(self, st: FoldStats) -> float:
        if st.n_valid == 0:
            return -INF
        return fdiv(st.mean, st.std + self.eps)


class MeanMinusLambdaStdAgg:
    name = "mean_minus_lambda_std"

    def __init__(self, lam: float):
        self.lam = lam

    def aggregate(self, st: FoldStats) -> float:
        if st.n_valid == 0:
            return -INF
        return st.mean - self.lam * st.std


def build_aggregator(name: str, frac: float, eps: float, lam: float):
    if name == "mean":
        return MeanAgg()
    if name == "median":
        return MedianAgg()
    if name == "trimmed_mean":
        return TrimmedMeanAgg(float(frac))
    if name == "signal_to_noise":
        return SignalToNoiseAgg(float(eps))
    if name == "mean_minus_lambda_std":
        return MeanMinusLambdaStdAgg(float(lam))
    raise ValueError(f"unknown aggregator {name!r}")


# ---------------------------------------------------------------- objectives


class Confusion:
    def __init__(self, n_classes: int):
        self.n_classes = n_classes
        self.tp = [0] * n_classes
        self.fp = [0] * n_classes
        self.fn = [0] * n_classes
        self.support = [0] * n_classes
        self.total = 0

    def add_group(self, pred: int, counts) -> None:
        for c in range(self.n_classes):
            k = counts[c]
            if k > 0:
                self.support[c] += k
                self.total += k
                if c == pred:
                    self.tp[c] += k
                else:
                    self.fn[c] += k
                    if pred < self.n_classes:
                        self.fp[pred] += k


def majority(counts) -> int:
    best = 0
    for c in range(len(counts)):
        if counts[c] > counts[best]:
            best = c
    return best


def _ratio(num: int, den: int) -> float:
    return 0.0 if den == 0 else float(num) / float(den)


def precision_metric(tp, fp, fn, beta):
    return _ratio(tp, tp + fp)


def recall_metric(tp, fp, fn, beta):
    return _ratio(tp, tp + fn)


def f1_metric(tp, fp, fn, beta):
    den = 2 * tp + fp + fn
    if den == 0:
        return 0.0
    return (float(tp) + float(tp)) / float(den)


def fbeta_metric(tp, fp, fn, beta):
    b2 = beta * beta
    num = (1.0 + b2) * float(tp)
    den = (b2 * float(fn) + num) + float(fp)
    return num / den if den > 0.0 else 0.0


class MetricObjective:
    def __init__(self, name, metric, average: str, pos_label: int, beta: float):
        self.name = name
        self.metric = metric
        self.average = average
        self.pos_label = pos_label
        self.beta = beta

    def score(self, cf: Confusion) -> float:
        m = self.metric
        k = cf.n_classes
        if self.average == "binary":
            if self.pos_label >= k:
                return 0.0
            c = self.pos_label
            return m(cf.tp[c], cf.fp[c], cf.fn[c], self.beta)
        if self.average == "micro":
            return m(sum(cf.tp), sum(cf.fp), sum(cf.fn), self.beta)
        if self.average == "macro":
            if k == 0:
                return 0.0
            acc = 0.0
            for c in range(k):
                acc += m(cf.tp[c], cf.fp[c], cf.fn[c], self.beta)
            return acc / float(k)
        if self.average == "weighted":
            if cf.total == 0:
                return 0.0
            acc = 0.0
            for c in range(k):
                acc += m(cf.tp[c], cf.fp[c], cf.fn[c], self.beta) * float(cf.support[c])
            return acc / float(cf.total)
        raise ValueError(self.average)


class Accuracy:
    name = "accuracy"

    def score(self, cf: Confusion) -> float:
        if cf.total == 0:
            return 0.0
        return float(sum(cf.tp)) / float(cf.total)


OBJECTIVE_METRICS = {
    "precision": precision_metric,
    "recall": recall_metric,
    "f1": f1_metric,
    "fbeta": fbeta_metric,
}


def build_objective(name: str, average: str, pos_label: int, beta: float):
    if average not in ("binary", "micro", "macro", "weighted"):
        raise ValueError(f"unknown average {average!r}")
    if name == "accuracy":
        return Accuracy()
    if name in OBJECTIVE_METRICS:
        b = float(beta) if name == "fbeta" else 1.0
        return MetricObjective(name, OBJECTIVE_METRICS[name], average, pos_label, b)
    raise ValueError(f"unknown objective {name!r}")


# ---------------------------------------------------------------- k-fold


def splitmix_shuffle(items: list, seed: int) -> None:
    n = len(items)
    state = (seed ^ ((n * GOLDEN) & MASK64)) & MASK64
    for i in range(n, 1, -1):
        state = (state + GOLDEN) & MASK64
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        draw = z ^ (z >> 31)
        j = draw % i
        items[i - 1], items[j] = items[j], items[i - 1]


class KFold:
    def __init__(self, k: int, seed: int, shuffle: bool):
        self.k = k
        self.seed = seed
        self.shuffle = shuffle

    def _permuted(self, indices):
        perm = list(indices)
        if self.shuffle:
            splitmix_shuffle(perm, self.seed)
        return perm

    @staticmethod
    def _blocks(n: int, k_eff: int):
        base, rem = divmod(n, k_eff)
        start = 0
        for f in range(k_eff):
            size = base + 1 if f < rem else base
            yield start, start + size
            start += size

    def folds(self, indices):
        """Strict mode: list of (train, val) lists."""
        n = len(indices)
        if n == 0:
            return []
        k_eff = min(max(self.k, 2), n)
        perm = self._permuted(indices)
        out = []
        for a, b in self._blocks(n, k_eff):
            out.append((perm[:a] + perm[b:], perm[a:b]))
        return out

    def assign(self, indices):
        """Fast mode: (order, fold_of, k)."""
        n = len(indices)
        if n == 0:
            return [], [], 0
        k_eff = min(max(self.k, 2), n, 255)
        order = [i & 0xFFFFFFFF for i in self._permuted(indices)]
        fold_of = [0] * n
        for f, (a, b) in enumerate(self._blocks(n, k_eff)):
            for p in range(a, b):
                fold_of[p] = f
        return order, fold_of, k_eff


# Missing code of the Strict fold machinery. Codes are Python ints, so a huge bin code
# never collides with this marker.
STRICT_MISSING = None


def code_values(column: Column, rows, edges):
    if column.categorical:
        return [
            column.values[r] if column.values[r] != MISSING_CATEGORY else STRICT_MISSING
            for r in rows
        ]
    out = []
    for r in rows:
        x = column.values[r]
        if not math.isfinite(x):
            out.append(STRICT_MISSING)
        elif edge_count(edges) == 0:
            out.append(0)
        else:
            out.append(bin_code(edges, x))
    return out


def fold_val_codes(column: Column, fold, n_bins: int):
    train, val = fold
    edges = [] if column.categorical else quantile_edges([column.values[r] for r in train], n_bins)
    return code_values(column, val, edges)


def goes_left(code, state: int, ordered: bool) -> bool:
    if code is STRICT_MISSING:
        return False
    return code <= state if ordered else code == state


def cv_score_states(column, ordered, states, folds, targets, criterion, n_bins):
    lists = [[] for _ in states]
    for fold in folds:
        train, val = fold
        if not val:
            continue
        codes = fold_val_codes(column, fold, n_bins)
        yv = [targets[r] for r in val]
        n_val = len(yv)
        parent = criterion.impurity(yv)
        for si, s in enumerate(states):
            left = []
            right = []
            for c, y in zip(codes, yv, strict=True):
                if goes_left(c, s, ordered):
                    left.append(y)
                else:
                    right.append(y)
            if left and right:
                weighted = criterion.impurity(left) * float(len(left)) + criterion.impurity(
                    right
                ) * float(len(right))
                lists[si].append(parent - weighted / float(n_val))
    return [FoldStats.from_scores(lst, len(folds)) for lst in lists]


def cv_score_states_objective(column, ordered, states, folds, labels, n_classes, n_bins, objective):
    lists = [[] for _ in states]
    for train, val in folds:
        if not train or not val:
            continue
        edges = (
            [] if column.categorical else quantile_edges([column.values[r] for r in train], n_bins)
        )
        tcodes = code_values(column, train, edges)
        vcodes = code_values(column, val, edges)
        ty = [labels[r] for r in train]
        vy = [labels[r] for r in val]
        T = count_classes(ty, n_classes)
        V = count_classes(vy, n_classes)
        cf = Confusion(n_classes)
        cf.add_group(majority(T), V)
        base = objective.score(cf)
        for si, s in enumerate(states):
            TL = count_classes(
                [y for c, y in zip(tcodes, ty, strict=True) if goes_left(c, s, ordered)], n_classes
            )
            VL = count_classes(
                [y for c, y in zip(vcodes, vy, strict=True) if goes_left(c, s, ordered)], n_classes
            )
            TR = [a - b for a, b in zip(T, TL, strict=True)]
            VR = [a - b for a, b in zip(V, VL, strict=True)]
            if sum(VL) == 0 or sum(VR) == 0 or sum(TL) == 0 or sum(TR) == 0:
                continue
            cf = Confusion(n_classes)
            cf.add_group(majority(TL), VL)
            cf.add_group(majority(TR), VR)
            lists[si].append(objective.score(cf) - base)
    return [FoldStats.from_scores(lst, len(folds)) for lst in lists]


# ---------------------------------------------------------------- tree model


class Leaf:
    __slots__ = ("payload", "n_samples")

    def __init__(self, payload, n_samples):
        self.payload = payload
        self.n_samples = n_samples


class Split:
    __slots__ = ("rule", "left", "right")

    def __init__(self, rule, left, right):
        self.rule = rule
        self.left = left
        self.right = right


class NumericRule:
    __slots__ = ("feature", "lower", "upper")

    def __init__(self, feature, lower, upper):
        self.feature = feature
        self.lower = lower  # None when absent
        self.upper = upper


class CategoricalRule:
    __slots__ = ("feature", "category")

    def __init__(self, feature, category):
        self.feature = feature
        self.category = category


def route_left_train(rule, columns, row) -> bool:
    col = columns[rule.feature]
    if isinstance(rule, NumericRule):
        if col.categorical:
            return False
        v = col.values[row]
        if not math.isfinite(v):
            return False
        return (rule.lower is None or v >= rule.lower) and (rule.upper is None or v < rule.upper)
    if not col.categorical:
        return False
    return col.values[row] == rule.category


def class_leaf(n_classes: int, labels):
    counts = count_classes(labels, n_classes)
    if n_classes == 0:
        return ([], 0)
    total = sum(counts)
    if total == 0:
        proba = [0.0] * n_classes
    else:
        proba = [c / float(total) for c in counts]
    best = 0
    for c in range(n_classes):
        if counts[c] > counts[best]:
            best = c
    return (proba, best)


def mean_leaf(ys) -> float:
    if not ys:
        return 0.0
    return fsum_in_order(ys) / float(len(ys))


# ---------------------------------------------------------------- task kinds


class RegressionTask:
    kind = "regression"

    def __init__(self, criterion):
        self.criterion = criterion

    def leaf(self, ys):
        return mean_leaf(ys)

    def purity(self, ys):
        return self.criterion.impurity(ys)


class ClassificationTask:
    kind = "classification"

    def __init__(self, criterion, n_classes):
        self.criterion = criterion
        self.n_classes = n_classes

    def leaf(self, ys):
        return class_leaf(self.n_classes, ys)

    def purity(self, ys):
        return self.criterion.impurity(ys)


class ObjectiveTask:
    kind = "objective"

    def __init__(self, objective, n_classes):
        self.objective = objective
        self.n_classes = n_classes
        self.gini = Gini(n_classes)

    def leaf(self, ys):
        return class_leaf(self.n_classes, ys)

    def purity(self, ys):
        return self.gini.impurity(ys)


class Params:
    def __init__(
        self,
        max_depth,
        min_samples_split,
        min_samples_leaf,
        min_impurity_decrease,
        n_bins,
        cv_folds,
        cv_seed,
        cv_shuffle,
        mode,
        split_style,
    ):
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_impurity_decrease = float(min_impurity_decrease)
        self.n_bins = n_bins
        self.kfold = KFold(cv_folds, cv_seed, cv_shuffle)
        if mode not in ("strict", "fast"):
            raise ValueError(mode)
        self.mode = mode
        if split_style not in ("threshold", "bin", "bin_membership"):
            raise ValueError(split_style)
        self.threshold = split_style == "threshold"


def select_best(candidates):
    """candidates: (feature, state, score) in list order. Returns the best or None."""
    best = None
    for cand in candidates:
        f, s, score = cand
        if not math.isfinite(score):
            continue
        if best is None or score > best[2]:
            best = cand
        elif score == best[2] and (f < best[0] or (f == best[0] and s < best[1])):
            best = cand
    return best


# ---------------------------------------------------------------- Strict builder


def present_states(column: Column, rows, n_bins: int):
    states = set()
    if column.categorical:
        for r in rows:
            v = column.values[r]
            if v != MISSING_CATEGORY:
                states.add(v)
        return sorted(states)
    vals = [column.values[r] for r in rows]
    edges = quantile_edges(vals, n_bins)
    for v in vals:
        if math.isfinite(v):
            states.add(0 if edge_count(edges) == 0 else bin_code(edges, v))
    return sorted(states)


def make_rule(column: Column, feature: int, state: int, samples, n_bins: int, ordered: bool):
    if column.categorical:
        if state == MISSING_CATEGORY:
            return None
        return CategoricalRule(feature, state)
    edges = quantile_edges([column.values[r] for r in samples], n_bins)
    m = edge_count(edges)
    b = state
    if b > m:
        return None
    lower = edges[b - 1] if b >= 1 else None
    upper = edges[b] if b < m else None
    if not ordered:
        return NumericRule(feature, lower, upper)
    if upper is None:
        return None
    return NumericRule(feature, None, upper)


def build_node(task, params: Params, aggregator, columns, targets, samples, depth):
    n = len(samples)
    ys = [targets[r] for r in samples]
    payload = task.leaf(ys)

    def leaf():
        return Leaf(payload, n)

    if n < max(params.min_samples_split, 2):
        return leaf()
    if params.max_depth is not None and depth >= params.max_depth:
        return leaf()
    imp = task.purity(ys)
    if imp <= 0.0:
        return leaf()
    folds = params.kfold.folds(samples)
    candidates = []
    for f, col in enumerate(columns):
        ordered = params.threshold and not col.categorical
        states = present_states(col, samples, params.n_bins)
        if not states:
            continue
        if task.kind == "objective":
            stats = cv_score_states_objective(
                col, ordered, states, folds, targets, task.n_classes, params.n_bins, task.objective
            )
        else:
            stats = cv_score_states(
                col, ordered, states, folds, targets, task.criterion, params.n_bins
            )
        for s, st in zip(states, stats, strict=True):
            candidates.append((f, s, aggregator.aggregate(st)))
    best = select_best(candidates)
    if best is None or best[2] <= params.min_impurity_decrease:
        return leaf()
    bf, bs, _ = best
    col = columns[bf]
    ordered = params.threshold and not col.categorical
    rule = make_rule(col, bf, bs, samples, params.n_bins, ordered)
    if rule is None:
        return leaf()
    left = [r for r in samples if route_left_train(rule, columns, r)]
    right = [r for r in samples if not route_left_train(rule, columns, r)]
    min_leaf = max(params.min_samples_leaf, 1)
    if len(left) < min_leaf or len(right) < min_leaf:
        return leaf()
    lnode = build_node(task, params, aggregator, columns, targets, left, depth + 1)
    rnode = build_node(task, params, aggregator, columns, targets, right, depth + 1)
    return Split(rule, lnode, rnode)


# ---------------------------------------------------------------- Fast mode binning


class FeatureBins:
    __slots__ = ("edges", "categories", "n_bins", "continuous")

    def __init__(self, edges, categories, n_bins, continuous):
        self.edges = edges
        self.categories = categories
        self.n_bins = n_bins
        self.continuous = continuous


class FastModeError(ValueError):
    pass


def binned_fit(columns, n_bins: int):
    """Returns (codes per feature, FeatureBins per feature); raises FastModeError."""
    codes = []
    features = []
    for j, col in enumerate(columns):
        if not col.categorical:
            edges = quantile_edges(col.values, n_bins)
            if edge_count(edges) > MAX_FAST_EDGES:
                raise FastModeError(
                    f"feature {j}: {edge_count(edges) + 1} continuous bins exceed fast-mode limit"
                )
            cj = []
            for v in col.values:
                if not math.isfinite(v):
                    cj.append(MISSING_CODE)
                else:
                    cj.append(0 if edge_count(edges) == 0 else bin_code(edges, v))
            codes.append(cj)
            features.append(
                FeatureBins(
                    [edges[i] for i in range(edge_count(edges))], [], edge_count(edges) + 1, True
                )
            )
        else:
            cats = sorted({v for v in col.values if v != MISSING_CATEGORY})
            if len(cats) > MAX_FAST_CATEGORIES:
                raise FastModeError(f"feature {j}: {len(cats)} categories exceed fast-mode limit")
            pos = {c: i for i, c in enumerate(cats)}
            codes.append([MISSING_CODE if v == MISSING_CATEGORY else pos[v] for v in col.values])
            features.append(FeatureBins([], cats, len(cats), False))
    return codes, features


# ---------------------------------------------------------------- Fast scans


def score_regression_fast(codes, n_bins, targets, order, fold_of, k, feature, aggregator, ordered):
    if k == 0 or n_bins == 0:
        return []
    # Histogram cells are kept sparse; an untouched cell is a zero count and +0.0 sums.
    cnt = {}
    hsum = {}
    hsq = {}
    fcnt = [0] * k
    fsum = [0.0] * k
    fsq = [0.0] * k
    nonempty = set()
    for p, r in enumerate(order):
        x = codes[r]
        if x == MISSING_CODE or x >= n_bins:
            continue
        f = fold_of[p]
        y = targets[r]
        key = (f, x)
        cnt[key] = cnt.get(key, 0) + 1
        hsum[key] = hsum.get(key, 0.0) + y
        hsq[key] = hsq.get(key, 0.0) + y * y
        fcnt[f] += 1
        fsum[f] += y
        fsq[f] += y * y
        nonempty.add(x)

    def var(s, q, n):
        nf = float(n)
        d = q / nf - (s / nf) * (s / nf)
        return d if d > 0.0 else 0.0

    # Running left totals of the threshold scan. Adding an empty bin's +0.0 sums changes
    # nothing (a running sum that starts at +0.0 is never -0.0), so empty bins are skipped.
    lcnt = [0] * k
    lsum = [0.0] * k
    lsq = [0.0] * k
    out = []
    for b in sorted(nonempty):
        if ordered:
            for f in range(k):
                key = (f, b)
                lcnt[f] += cnt.get(key, 0)
                lsum[f] += hsum.get(key, 0.0)
                lsq[f] += hsq.get(key, 0.0)
            if b >= n_bins - 1:
                continue
            L = (lcnt, lsum, lsq)
        else:
            L = (
                [cnt.get((f, b), 0) for f in range(k)],
                [hsum.get((f, b), 0.0) for f in range(k)],
                [hsq.get((f, b), 0.0) for f in range(k)],
            )
        scores = []
        for f in range(k):
            nt = fcnt[f]
            nl = L[0][f]
            if nt == 0 or nl == 0 or nl == nt:
                continue
            nr = nt - nl
            sl, ql = L[1][f], L[2][f]
            sr = fsum[f] - sl
            qr = fsq[f] - ql
            parent = var(fsum[f], fsq[f], nt)
            w = float(nl) * var(sl, ql, nl) + float(nr) * var(sr, qr, nr)
            scores.append(parent - w / float(nt))
        st = FoldStats.from_scores(scores, k)
        out.append((feature, b, aggregator.aggregate(st)))
    return out


def score_classification_fast(
    codes, n_bins, labels, order, fold_of, k, feature, aggregator, ordered, n_classes, impurity
):
    if k == 0 or n_bins == 0 or n_classes == 0:
        return []
    hist = {}  # (fold, bin) -> class counts
    ftot = [[0] * n_classes for _ in range(k)]
    nonempty = set()
    for p, r in enumerate(order):
        x = codes[r]
        y = labels[r]
        if x == MISSING_CODE or x >= n_bins or y >= n_classes:
            continue
        f = fold_of[p]
        cell = hist.setdefault((f, x), [0] * n_classes)
        cell[y] += 1
        ftot[f][y] += 1
        nonempty.add(x)
    zero = [0] * n_classes
    running = [[0] * n_classes for _ in range(k)]
    out = []
    for b in sorted(nonempty):
        if ordered:
            for f in range(k):
                cell = hist.get((f, b), zero)
                for c in range(n_classes):
                    running[f][c] += cell[c]
            if b >= n_bins - 1:
                continue
            left_of = running
        else:
            left_of = [hist.get((f, b), zero) for f in range(k)]
        scores = []
        for f in range(k):
            tot = ftot[f]
            nt = sum(tot)
            left = left_of[f]
            nl = sum(left)
            if nt == 0 or nl == 0 or nl == nt:
                continue
            right = [a - b2 for a, b2 in zip(tot, left, strict=True)]
            nr = nt - nl
            w = float(nl) * impurity(left, nl) + float(nr) * impurity(right, nr)
            scores.append(impurity(tot, nt) - w / float(nt))
        st = FoldStats.from_scores(scores, k)
        out.append((feature, b, aggregator.aggregate(st)))
    return out


def score_objective_fast(
    codes, n_bins, labels, order, fold_of, k, feature, aggregator, ordered, n_classes, objective
):
    if k == 0 or n_bins == 0 or n_classes == 0:
        return []
    H = {}  # (fold, bin) -> class counts
    F = [[0] * n_classes for _ in range(k)]
    for p, r in enumerate(order):
        x = codes[r]
        y = labels[r]
        if x == MISSING_CODE or x >= n_bins or y >= n_classes:
            continue
        f = fold_of[p]
        H.setdefault((f, x), [0] * n_classes)[y] += 1
        F[f][y] += 1
    zero = [0] * n_classes
    A = {}
    for (_f, x), cell in H.items():
        a = A.setdefault(x, [0] * n_classes)
        for c in range(n_classes):
            a[c] += cell[c]
    N = [sum(F[f][c] for f in range(k)) for c in range(n_classes)]
    bins = sorted(x for x, a in A.items() if sum(a) > 0)
    run_v = [[0] * n_classes for _ in range(k)]
    run_a = [0] * n_classes
    out = []
    for x in bins:
        if ordered:
            for f in range(k):
                cell = H.get((f, x), zero)
                for c in range(n_classes):
                    run_v[f][c] += cell[c]
            for c in range(n_classes):
                run_a[c] += A[x][c]
            if x >= n_bins - 1:
                continue
            vl_of = [list(v) for v in run_v]
            al = list(run_a)
        else:
            vl_of = [list(H.get((f, x), zero)) for f in range(k)]
            al = list(A[x])
        scores = []
        for f in range(k):
            VL = vl_of[f]
            VT = F[f]
            VR = [a - b for a, b in zip(VT, VL, strict=True)]
            TL = [a - b for a, b in zip(al, VL, strict=True)]
            TT = [a - b for a, b in zip(N, VT, strict=True)]
            TR = [a - b for a, b in zip(TT, TL, strict=True)]
            if sum(VL) == 0 or sum(VR) == 0 or sum(TL) == 0 or sum(TR) == 0:
                continue
            split = Confusion(n_classes)
            split.add_group(majority(TL), VL)
            split.add_group(majority(TR), VR)
            base = Confusion(n_classes)
            base.add_group(majority(TT), VT)
            scores.append(objective.score(split) - objective.score(base))
        st = FoldStats.from_scores(scores, k)
        out.append((feature, x, aggregator.aggregate(st)))
    return out


# ---------------------------------------------------------------- Fast builder


def partition_in_place(positions, lo, hi, codes, state, ordered) -> int:
    k = lo
    for j in range(lo, hi):
        c = codes[positions[j]]
        left = c <= state if ordered else c == state
        if left:
            positions[j], positions[k] = positions[k], positions[j]
            k += 1
    return k - lo


def build_node_fast(task, params: Params, aggregator, binned, targets, positions, lo, hi, depth):
    codes, fbins = binned
    n = hi - lo
    ys = [targets[positions[i]] for i in range(lo, hi)]
    payload = task.leaf(ys)

    def leaf():
        return Leaf(payload, n)

    if n < max(params.min_samples_split, 2):
        return leaf()
    if params.max_depth is not None and depth >= params.max_depth:
        return leaf()
    if task.purity(ys) <= 0.0:
        return leaf()
    order, fold_of, k = params.kfold.assign(positions[lo:hi])
    candidates = []
    for f, fb in enumerate(fbins):
        ordered = params.threshold and fb.continuous
        if task.kind == "regression":
            candidates += score_regression_fast(
                codes[f], fb.n_bins, targets, order, fold_of, k, f, aggregator, ordered
            )
        elif task.kind == "classification":
            imp = gini_from_counts if task.criterion.name == "gini" else entropy_from_counts
            candidates += score_classification_fast(
                codes[f],
                fb.n_bins,
                targets,
                order,
                fold_of,
                k,
                f,
                aggregator,
                ordered,
                task.n_classes,
                imp,
            )
        else:
            candidates += score_objective_fast(
                codes[f],
                fb.n_bins,
                targets,
                order,
                fold_of,
                k,
                f,
                aggregator,
                ordered,
                task.n_classes,
                task.objective,
            )
    best = select_best(candidates)
    if best is None or best[2] <= params.min_impurity_decrease:
        return leaf()
    bf, b, _ = best
    fb = fbins[bf]
    ordered = params.threshold and fb.continuous
    if fb.continuous:
        E = fb.edges
        if ordered:
            if b >= len(E):
                return leaf()
            rule = NumericRule(bf, None, E[b])
        else:
            if b > len(E):
                return leaf()
            rule = NumericRule(bf, E[b - 1] if b > 0 else None, E[b] if b < len(E) else None)
    else:
        if b >= len(fb.categories):
            return leaf()
        rule = CategoricalRule(bf, fb.categories[b])
    n_left = partition_in_place(positions, lo, hi, codes[bf], b, ordered)
    n_right = n - n_left
    min_leaf = max(params.min_samples_leaf, 1)
    if n_left < min_leaf or n_right < min_leaf:
        return leaf()
    lnode = build_node_fast(
        task, params, aggregator, binned, targets, positions, lo, lo + n_left, depth + 1
    )
    rnode = build_node_fast(
        task, params, aggregator, binned, targets, positions, lo + n_left, hi, depth + 1
    )
    return Split(rule, lnode, rnode)


# ---------------------------------------------------------------- export


def export_tree(root, is_classifier: bool, n_classes: int = 0) -> dict:
    recs = []

    def walk(node):
        rid = len(recs)
        rec = {
            "is_leaf": False,
            "children_left": -1,
            "children_right": -1,
            "feature": -1,
            "is_categorical": False,
            "lower": NAN,
            "upper": NAN,
            "category": -1,
            "n_samples": 0,
            "value": NAN,
            "predicted_class": -1,
            "proba": [],
        }
        recs.append(rec)
        if isinstance(node, Split):
            lid = walk(node.left)
            rid2 = walk(node.right)
            rec["children_left"] = lid
            rec["children_right"] = rid2
            rec["feature"] = node.rule.feature
            rec["n_samples"] = recs[lid]["n_samples"] + recs[rid2]["n_samples"]
            if isinstance(node.rule, NumericRule):
                rec["lower"] = -INF if node.rule.lower is None else node.rule.lower
                rec["upper"] = INF if node.rule.upper is None else node.rule.upper
            else:
                rec["category"] = node.rule.category
                rec["is_categorical"] = True
        else:
            rec["is_leaf"] = True
            rec["n_samples"] = node.n_samples
            if is_classifier:
                proba, cls = node.payload
                rec["proba"] = list(proba)
                rec["predicted_class"] = cls
            else:
                rec["value"] = node.payload
        return rid

    walk(root)
    keys = [
        "is_leaf",
        "children_left",
        "children_right",
        "feature",
        "is_categorical",
        "lower",
        "upper",
        "category",
        "n_samples",
    ]
    out = {"node_count": len(recs)}
    for key in keys:
        out[key] = [r[key] for r in recs]
    if is_classifier:
        out["predicted_class"] = [r["predicted_class"] for r in recs]
        out["proba"] = [r["proba"] for r in recs]
        out["n_classes"] = n_classes
    else:
        out["value"] = [r["value"] for r in recs]
    return out


# ---------------------------------------------------------------- fitting entry point


TREE_ARGS = (
    "max_depth",
    "min_samples_split",
    "min_samples_leaf",
    "min_impurity_decrease",
    "n_bins",
    "cv_folds",
    "cv_seed",
    "cv_shuffle",
    "mode",
    "split_style",
)


def fit_reference(kind: str, settings: dict, x_rows, n_features: int, y) -> dict:
    """Fit the reference model and return the exported tree dictionary.

    kind: "regressor", "classifier" or "objective". settings: the constructor keyword
    arguments of the matching native class. x_rows: n rows of n_features floats.
    Raises ValueError with the native messages for the fitting errors it models.
    """
    params = Params(**{k: settings[k] for k in TREE_ARGS})
    aggregator = build_aggregator(
        settings["aggregator"], settings["agg_frac"], settings["agg_eps"], settings["agg_lambda"]
    )
    if kind == "regressor":
        task = RegressionTask(REGRESSION_CRITERIA[settings["criterion"]]())
        targets = [float(v) for v in y]
        n_classes = 0
    elif kind == "classifier":
        n_classes = settings["n_classes"]
        task = ClassificationTask(
            CLASSIFICATION_CRITERIA[settings["criterion"]](n_classes), n_classes
        )
        targets = class_targets(y)
    else:
        n_classes = settings["n_classes"]
        objective = build_objective(
            settings["objective"], settings["average"], settings["pos_label"], settings["beta"]
        )
        task = ObjectiveTask(objective, n_classes)
        targets = class_targets(y)
    n = len(x_rows)
    if n_features == 0:
        raise ValueError("need at least one feature column")
    if len(targets) != n:
        raise ValueError(f"targets length {len(targets)} does not match {n} samples")
    if n == 0:
        raise ValueError("need at least one sample")
    columns = build_columns(x_rows, n_features, settings["categorical"])
    if params.mode == "strict":
        root = build_node(task, params, aggregator, columns, targets, list(range(n)), 0)
    else:
        if kind == "regressor" and task.criterion.name == "mae":
            raise ValueError("this task (e.g. MAE) is not supported in SplitMode::Fast; use Strict")
        binned = binned_fit(columns, params.n_bins)
        positions = list(range(n))
        root = build_node_fast(task, params, aggregator, binned, targets, positions, 0, n, 0)
    return export_tree(root, kind != "regressor", n_classes)
