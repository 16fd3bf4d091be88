"""Showing a fitted tree: as indented text rules, or drawn with matplotlib."""

from __future__ import annotations

import math

import numpy as np
from sklearn.utils.validation import check_is_fitted

from ._estimators import ORNIKClassifier, _ORNIKTree


def _check_estimator(est) -> None:
    if not isinstance(est, _ORNIKTree):
        raise TypeError(
            f"expected a fitted ORNIKClassifier or ORNIKRegressor, got {type(est).__name__}"
        )
    check_is_fitted(est)


def _feature_names(est, feature_names) -> list[str]:
    n = est.n_features_in_
    if feature_names is None:
        names = getattr(est, "feature_names_in_", None)
        return [str(v) for v in names] if names is not None else [f"feature_{j}" for j in range(n)]
    names = [str(v) for v in feature_names]
    if len(names) != n:
        raise ValueError(f"feature_names has {len(names)} entries but the tree has {n} features")
    return names


def _fmt(value, precision: int) -> str:
    if isinstance(value, (float, np.floating)):
        return f"{float(value):.{precision}g}"
    return str(value)


class _Tree:
    """The fitted tree's arrays plus everything needed to describe its nodes in the
    user's terms: feature names, categories and class labels."""

    def __init__(self, est, feature_names, precision: int):
        _check_estimator(est)
        self.est = est
        self.arrays = est.tree_
        self.names = _feature_names(est, feature_names)
        self.precision = precision
        self.classifier = isinstance(est, ORNIKClassifier)
        a = self.arrays
        n = a["node_count"]
        # Children have larger ids than their parent, so one backward pass fills
        # every split from its children: subtree height, and the training class
        # counts (classifier) or target sum (regressor) below each node.
        self.height = np.zeros(n, dtype=np.int64)
        n_samples = a["n_samples"].astype(np.float64)
        if self.classifier:
            totals = a["proba"] * n_samples[:, None]
        else:
            totals = np.where(a["is_leaf"], a["value"] * n_samples, 0.0)
        for i in range(n - 1, -1, -1):
            if not a["is_leaf"][i]:
                left, right = a["children_left"][i], a["children_right"][i]
                self.height[i] = 1 + max(self.height[left], self.height[right])
                totals[i] = totals[left] + totals[right]
        self.totals = totals

    # -- words ---------------------------------------------------------------

    def num(self, value) -> str:
        return _fmt(value, self.precision)

    def category(self, feature: int, code: int) -> str:
        cats = self.est.categories_[feature]
        if cats is not None and 0 <= code < len(cats):
            return _fmt(cats[code], self.precision)
        return f"#{code}"

    def conditions(self, i: int) -> tuple[str, str]:
        """The texts of the left (condition true) and right branch of split ``i``."""
        a = self.arrays
        name = self.names[a["feature"][i]]
        if a["is_categorical"][i]:
            cat = self.category(a["feature"][i], a["category"][i])
            return f"{name} == {cat}", f"{name} != {cat}"
        lower, upper = a["lower"][i], a["upper"][i]
        has_lower, has_upper = math.isfinite(lower), math.isfinite(upper)
        if has_lower and has_upper:
            lo, hi = self.num(lower), self.num(upper)
            return f"{lo} <= {name} < {hi}", f"{name} < {lo} or {name} >= {hi} or missing"
        if has_upper:
            hi = self.num(upper)
            return f"{name} < {hi}", f"{name} >= {hi} or missing"
        if has_lower:
            lo = self.num(lower)
            return f"{name} >= {lo}", f"{name} < {lo} or missing"
        return f"{name} is not missing", f"{name} is missing"

    def outcome_parts(self, i: int) -> tuple[str, str]:
        """What node ``i`` predicts (majority class or mean target), and its support."""
        a = self.arrays
        n = int(a["n_samples"][i])
        if self.classifier:
            counts = self.totals[i]
            if a["is_leaf"][i]:
                k = int(a["predicted_class"][i])
            else:
                k = int(np.argmax(counts)) if counts.size else 0
            share = counts[k] / n if n and k < counts.size else 0.0
            label = _fmt(self.est.classes_[k], self.precision)
            return f"class: {label}", f"n={n}, p={share:.2f}"
        value = a["value"][i] if a["is_leaf"][i] else (self.totals[i] / n if n else math.nan)
        return f"value: {self.num(value)}", f"n={n}"

    def evidence(self, i: int) -> str:
        """What split ``i``'s choice rested on, e.g. "held-out gain 0.031 ± 0.004 (5 folds)":
        the mean and deviation of its fold scores, and its aggregated score and the stop
        test's score where they read otherwise. Empty when the tree holds no evidence."""
        a = self.arrays
        folds = int(a["n_scored_folds"][i])
        if a["is_leaf"][i] or folds == 0:
            return ""
        mean, score, stop = (self.num(a[k][i]) for k in ("fold_score_mean", "score", "stop_score"))
        notes = [f"{folds} fold{'s' * (folds != 1)}"]
        notes += [f"score {score}"] if score != mean else []
        notes += [f"stop test {stop}"] if stop != score else []
        return f"held-out gain {mean} ± {self.num(a['fold_score_std'][i])} ({'; '.join(notes)})"

    def outcome(self, i: int) -> str:
        main, detail = self.outcome_parts(i)
        return f"{main} ({detail})"

    def visible(self, max_depth):
        """Preorder (node, depth) pairs down to ``max_depth`` splits."""
        a = self.arrays
        stack = [(0, 0)]
        while stack:
            i, depth = stack.pop()
            yield i, depth
            if not a["is_leaf"][i] and (max_depth is None or depth < max_depth):
                stack.append((a["children_right"][i], depth + 1))
                stack.append((a["children_left"][i], depth + 1))

    def is_cut(self, i: int, depth: int, max_depth) -> bool:
        return not self.arrays["is_leaf"][i] and max_depth is not None and depth >= max_depth


def export_text(est, feature_names=None, max_depth=None, *, precision: int = 4) -> str:
    """The fitted tree as indented rules, in the user's feature names and labels.

    Each split prints its two branches, the one that its condition sends left
    first, and on the first one what its choice rested on: the mean ± standard
    deviation of its held-out fold scores and how many folds scored it (plus its
    aggregated score and the stop test's score where they read otherwise).
    Missing values always take the right branch. Leaves show the predicted class
    (with the number of training samples and the class's share) or value.

    Parameters
    ----------
    est : ORNIKClassifier or ORNIKRegressor
        A fitted estimator.
    feature_names : list of str, optional
        Names for the features; defaults to ``est.feature_names_in_`` or
        ``feature_0``, ``feature_1``, ...
    max_depth : int, optional
        Show only this many levels of splits; deeper branches are summarised.
    precision : int, default=4
        Significant digits of numbers.
    """
    tree = _Tree(est, feature_names, precision)
    if max_depth is not None and max_depth < 0:
        raise ValueError(f"max_depth must be None or >= 0, got {max_depth}")
    a = tree.arrays
    lines: list[str] = []
    # Work items: a node id to render, or a branch line that is already worded.
    stack: list[tuple[int | str, int]] = [(0, 0)]
    while stack:
        item, depth = stack.pop()
        indent = "|   " * depth
        if isinstance(item, str):
            lines.append(f"{indent}|--- {item}")
        elif a["is_leaf"][item]:
            lines.append(f"{indent}|--- {tree.outcome(item)}")
        elif tree.is_cut(item, depth, max_depth):
            lines.append(f"{indent}|--- truncated branch of depth {tree.height[item]}")
        else:
            left_text, right_text = tree.conditions(item)
            evidence = tree.evidence(item)
            left_text += f"  [{evidence}]" if evidence else ""
            stack.append((int(a["children_right"][item]), depth + 1))
            stack.append((right_text, depth))
            stack.append((int(a["children_left"][item]), depth + 1))
            stack.append((left_text, depth))
    return "\n".join(lines) + "\n"


def _import_pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError as exc:
        raise ImportError(
            "ornik.plot_tree needs matplotlib; install it with: pip install 'ornik[plot]'"
        ) from exc
    return plt


def _blend(rgb, strength: float) -> tuple[float, float, float]:
    """``rgb`` faded towards white, so that text on it stays readable."""
    strength = min(max(strength, 0.0), 1.0)
    return tuple(1.0 - strength * (1.0 - c) for c in rgb[:3])


def plot_tree(
    est,
    ax=None,
    *,
    max_depth=None,
    feature_names=None,
    precision: int = 3,
    fontsize: float | None = None,
    filled: bool = True,
):
    """Draw the fitted tree with matplotlib.

    Every box shows a split's condition (its "yes" branch goes left; missing values
    always take the "no" branch) or a leaf, with what the node predicts and how
    many training samples reached it; a split's box ends with what its choice
    rested on (as in :func:`export_text`).

    Parameters
    ----------
    est : ORNIKClassifier or ORNIKRegressor
        A fitted estimator.
    ax : matplotlib Axes, optional
        Where to draw; a new figure sized to the tree is made when omitted.
    max_depth : int, optional
        Draw only this many levels of splits.
    feature_names : list of str, optional
        Names for the features (as in :func:`export_text`).
    precision : int, default=3
        Significant digits of numbers.
    fontsize : float, optional
        Text size; 9 points when omitted.
    filled : bool, default=True
        Colour the boxes by the predicted class (shade: its share) or value.

    Returns
    -------
    list of matplotlib.text.Annotation
        One box per drawn node, in preorder.
    """
    tree = _Tree(est, feature_names, precision)
    plt = _import_pyplot()
    import matplotlib

    a = tree.arrays
    nodes = list(tree.visible(max_depth))
    depth_of = dict(nodes)
    # Displayed leaves get consecutive x positions from left to right; a split sits
    # above the middle of its two children.
    x: dict[int, float] = {}
    shown_leaves = 0
    for i, depth in nodes:
        if a["is_leaf"][i] or tree.is_cut(i, depth, max_depth):
            x[i] = float(shown_leaves)
            shown_leaves += 1
    for i, _ in reversed(nodes):
        if i not in x:
            x[i] = (x[int(a["children_left"][i])] + x[int(a["children_right"][i])]) / 2
    levels = max(d for _, d in nodes) + 1

    if ax is None:
        fig = plt.figure(figsize=(min(max(6.0, 2.4 * shown_leaves), 60.0), max(3.0, 1.7 * levels)))
        ax = fig.add_subplot()
    ax.set_axis_off()
    ax.set_xlim(-0.6, shown_leaves - 0.4)
    ax.set_ylim(-(levels - 1) - 0.5, 0.5)
    size = 9 if fontsize is None else fontsize

    if tree.classifier:
        palette = matplotlib.colormaps["tab10"]
    else:
        palette = matplotlib.colormaps["viridis"]
        leaf_values = a["value"][a["is_leaf"]]
        low, high = float(np.min(leaf_values)), float(np.max(leaf_values))

    def colour(i: int):
        if not filled:
            return "white"
        n = a["n_samples"][i]
        if tree.classifier:
            counts = tree.totals[i]
            k = int(np.argmax(counts)) if counts.size else 0
            share = counts[k] / n if n and counts.size else 0.0
            floor = 1.0 / max(counts.size, 1)
            strength = 0.15 + 0.6 * ((share - floor) / (1.0 - floor) if floor < 1.0 else 1.0)
            return _blend(palette(k % 10), strength)
        mean = tree.totals[i] / n if n else low
        t = 0.5 if high <= low else (mean - low) / (high - low)
        return _blend(palette(0.15 + 0.7 * t), 0.55)

    artists = []
    parent: dict[int, int] = {}
    for i, depth in nodes:
        if not a["is_leaf"][i] and not tree.is_cut(i, depth, max_depth):
            parent[int(a["children_left"][i])] = i
            parent[int(a["children_right"][i])] = i
    for i, depth in nodes:
        main, detail = tree.outcome_parts(i)
        if a["is_leaf"][i]:
            text = f"{main}\n{detail}"
        elif tree.is_cut(i, depth, max_depth):
            text = f"(subtree of depth {tree.height[i]})\n{main}\n{detail}"
        else:
            text = f"{tree.conditions(i)[0]}\n{main}\n{detail}\n{tree.evidence(i)}".rstrip()
        box = dict(boxstyle="round,pad=0.4", fc=colour(i), ec="0.3", lw=0.8)
        xy = (x[i], -depth)
        artist = ax.annotate(
            text, xy=xy, ha="center", va="center", fontsize=size, bbox=box, zorder=2
        )
        if i in parent:
            # Edges run centre to centre beneath the opaque boxes.
            p = parent[i]
            start = (x[p], -depth_of[p])
            ax.plot([start[0], xy[0]], [start[1], xy[1]], color="0.45", lw=0.9, zorder=1)
            is_left = int(a["children_left"][p]) == i
            ax.text(
                (start[0] + xy[0]) / 2,
                (start[1] + xy[1]) / 2,
                "yes" if is_left else "no",
                ha="center",
                va="center",
                fontsize=size * 0.85,
                color="0.25",
                bbox=dict(boxstyle="round,pad=0.15", fc="white", ec="none"),
                zorder=3,
            )
        artists.append(artist)
    return artists
