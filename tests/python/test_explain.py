"""export_text and plot_tree."""

import sys

import numpy as np
import pandas as pd
import pytest
from native_helpers import with_evidence
from sklearn.exceptions import NotFittedError
from sklearn.tree import DecisionTreeClassifier

import ornik
from ornik import ORNIKClassifier, ORNIKRegressor


def fitted(evidence=False, max_depth=3):
    x = np.arange(100.0)
    colour = np.where(np.arange(100) % 4 == 0, "red", "blue")
    y = np.where((x >= 50) | (colour == "red"), "big", "small")
    est = ORNIKClassifier(max_depth=max_depth).fit(pd.DataFrame({"size": x, "colour": colour}), y)
    return with_evidence(est, evidence)


@pytest.mark.parametrize(
    "evidence, kwargs, expected",
    [
        (True, {}, "|--- size < 50  [held-out gain 0.25 ± 0.125 (5 folds; score 0.5; stop test "
                   "-0.5)]\n|   |--- colour == blue  [held-out gain 0.25 ± 0.125 (5 folds)]\n"
                   "|   |   |--- class: small (n=37, p=1.00)\n|   |--- colour != blue\n"
                   "|   |   |--- class: big (n=13, p=1.00)\n|--- size >= 50 or missing\n"
                   "|   |--- class: big (n=50, p=1.00)\n"),
        (False, {"max_depth": 0}, "|--- truncated branch of depth 2\n"),
        (False, {"max_depth": 1, "feature_names": ["S", "C"]},
         "|--- S < 50\n|   |--- truncated branch of depth 1\n|--- S >= 50 or missing\n"
         "|   |--- class: big (n=50, p=1.00)\n"),
    ],
)  # fmt: skip
def test_export_text_speaks_the_users_terms(evidence, kwargs, expected):
    assert ornik.export_text(fitted(evidence), **kwargs) == expected


def test_export_text_regressor_bin_split_and_default_names():
    x = np.arange(100.0)
    est = ORNIKRegressor(max_depth=2, split_style="bin").fit(x.reshape(-1, 1), 2 * x)
    lines = ornik.export_text(est).splitlines()
    # A bin split may have only a lower bound; the complement includes missing values.
    assert lines[0].startswith("|--- feature_0 >= ")
    assert any(ln.startswith("|--- feature_0 < ") and ln.endswith(" or missing") for ln in lines)
    n = [int(line.split("n=")[1].rstrip(")")) for line in lines if "value:" in line]
    assert len(n) == est.get_n_leaves() and sum(n) == 100


@pytest.mark.parametrize(
    "est, kwargs, error",
    [(ORNIKClassifier(), {}, NotFittedError), (None, {"max_depth": -1}, ValueError),
     (DecisionTreeClassifier().fit([[0], [1]], [0, 1]), {}, TypeError),
     (None, {"feature_names": ["only one"]}, ValueError)],
)  # fmt: skip
def test_export_text_errors(est, kwargs, error):
    with pytest.raises(error):
        ornik.export_text(est or fitted(), **kwargs)


@pytest.fixture
def pyplot():
    pytest.importorskip("matplotlib").use("Agg")
    import matplotlib.pyplot as plt

    yield plt
    plt.close("all")


@pytest.mark.parametrize("max_depth, boxes", [(None, 5), (1, 3), (0, 1)])
def test_plot_tree_draws_one_box_per_node(pyplot, max_depth, boxes):
    ax = None if max_depth == 1 else pyplot.subplots()[1]  # without one it makes its own
    artists = ornik.plot_tree(fitted(True), ax=ax, max_depth=max_depth, fontsize=7)
    ax = ax or artists[0].axes
    assert len(artists) == boxes and all(a.axes is ax and a.get_fontsize() == 7 for a in artists)
    texts = [a.get_text().splitlines() for a in artists]
    assert texts[0][0].startswith("(subtree" if max_depth == 0 else "size < 50")
    if max_depth is None:
        heads = ["colour == blue", "class: small", "class: big", "class: big"]
        assert [t[0] for t in texts[1:]] == heads
        assert texts[1][-1] == "held-out gain 0.25 ± 0.125 (5 folds)"
    ax.figure.canvas.draw()  # renders without error


def test_plot_tree_without_matplotlib(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"pip install 'ornik\[plot\]'"):
        ornik.plot_tree(fitted())
