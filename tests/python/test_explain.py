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


def sizes():
    x = np.arange(100.0)
    colour = np.where(np.arange(100) % 4 == 0, "red", "blue")
    X = pd.DataFrame({"size": x, "colour": colour})
    y = np.where((x >= 50) | (colour == "red"), "big", "small")
    return X, y


def fitted(evidence=False):
    return with_evidence(ORNIKClassifier(max_depth=3).fit(*sizes()), evidence)


@pytest.mark.parametrize(
    "evidence, root, colour",
    [
        (False, "", ""),
        (
            True,
            "  [held-out gain 0.25 ± 0.125 (5 folds; score 0.5; stop test -0.5)]",
            "  [held-out gain 0.25 ± 0.125 (5 folds)]",
        ),
    ],
)
def test_export_text_speaks_the_users_terms(evidence, root, colour):
    assert ornik.export_text(fitted(evidence)) == (
        f"|--- size < 50{root}\n"
        f"|   |--- colour == blue{colour}\n"
        "|   |   |--- class: small (n=37, p=1.00)\n"
        "|   |--- colour != blue\n"
        "|   |   |--- class: big (n=13, p=1.00)\n"
        "|--- size >= 50 or missing\n"
        "|   |--- class: big (n=50, p=1.00)\n"
    )


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({"max_depth": 0}, ["|--- truncated branch of depth 2"]),
        (
            {"max_depth": 1, "feature_names": ["S", "C"]},
            [
                "|--- S < 50",
                "|   |--- truncated branch of depth 1",
                "|--- S >= 50 or missing",
                "|   |--- class: big (n=50, p=1.00)",
            ],
        ),
    ],
)
def test_export_text_depth_and_names(kwargs, expected):
    assert ornik.export_text(fitted(), **kwargs).splitlines() == expected


def test_export_text_regressor_bin_split_and_default_names():
    x = np.arange(100.0)
    est = ORNIKRegressor(max_depth=1, split_style="bin").fit(x.reshape(-1, 1), 2 * x)
    lines = ornik.export_text(est).splitlines()
    # A bin split may have only a lower bound; the complement includes missing values.
    assert lines[0].startswith("|--- feature_0 >= ")
    assert lines[2].startswith("|--- feature_0 < ") and lines[2].endswith(" or missing")
    n = [int(line.split("n=")[1].rstrip(")")) for line in lines if "value:" in line]
    assert sum(n) == 100


def test_export_text_covers_every_leaf_of_a_deep_tree():
    rng = np.random.default_rng(0)
    X = rng.normal(size=(300, 3))
    y = np.where(X[:, 0] + X[:, 1] > 0, "yes", "no")
    est = ORNIKClassifier(max_depth=None).fit(X, y)
    text = ornik.export_text(est)
    leaf_lines = [line for line in text.splitlines() if "class:" in line]
    assert len(leaf_lines) == est.get_n_leaves()
    assert sum(int(line.split("n=")[1].split(",")[0]) for line in leaf_lines) == 300


@pytest.mark.parametrize(
    "est, kwargs, error",
    [
        (ORNIKClassifier(), {}, NotFittedError),
        (DecisionTreeClassifier().fit([[0], [1]], [0, 1]), {}, TypeError),
        ("fitted", {"feature_names": ["only one"]}, ValueError),
        ("fitted", {"max_depth": -1}, ValueError),
    ],
)
def test_export_text_errors(est, kwargs, error):
    if est == "fitted":
        est = ORNIKClassifier(max_depth=2).fit(*sizes())
    with pytest.raises(error):
        ornik.export_text(est, **kwargs)


# ----------------------------------------------------------------------------
# plot_tree
# ----------------------------------------------------------------------------


@pytest.fixture
def pyplot():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    yield plt
    plt.close("all")


@pytest.mark.parametrize(
    "max_depth, boxes, root", [(None, 5, "size < 50"), (1, 3, "size < 50"), (0, 1, "(subtree")]
)
def test_plot_tree_draws_one_box_per_node(pyplot, max_depth, boxes, root):
    fig, ax = pyplot.subplots()
    artists = ornik.plot_tree(fitted(evidence=True), ax=ax, max_depth=max_depth)
    assert len(artists) == boxes
    assert all(a.axes is ax for a in artists)
    assert artists[0].get_text().startswith(root)
    if max_depth is None:
        assert [a.get_text().splitlines()[0] for a in artists[1:]] == [
            "colour == blue",
            "class: small",
            "class: big",
            "class: big",
        ]
        assert artists[1].get_text().splitlines()[-1] == "held-out gain 0.25 ± 0.125 (5 folds)"
    fig.canvas.draw()  # renders without error


def test_plot_tree_regressor_makes_its_own_figure(pyplot):
    x = np.arange(60.0).reshape(-1, 1)
    est = ORNIKRegressor(max_depth=2).fit(x, x[:, 0] ** 2)
    artists = ornik.plot_tree(est, feature_names=["x"], filled=False, fontsize=7)
    assert len(artists) == est.tree_["node_count"]
    assert artists[0].get_text().startswith("x < ")
    assert artists[0].get_fontsize() == 7
    artists[0].figure.canvas.draw()


def test_plot_tree_without_matplotlib(monkeypatch):
    est = ORNIKClassifier(max_depth=1).fit(*sizes())
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"pip install 'ornik\[plot\]'"):
        ornik.plot_tree(est)
