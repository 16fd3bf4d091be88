"""Data of the quality benchmark: real data sets shipped inside PyPI packages (so the run needs no
network) and the seeded synthetic controls.

Every loader returns a DataSet whose features are a pandas DataFrame: numeric columns as float64
(missing values as NaN) and categorical columns as pandas "category" dtype, which ornik treats as
categorical. scikit-learn's trees get the same frame with every categorical column one-hot encoded
(one 0/1 column per category; a missing category is all zeros). A one-hot column split is the
one-category-against-the-rest split that ornik makes on a categorical feature, so both kinds of
tree can cut the same partitions.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass

import numpy as np
import pandas as pd

CLASSIFICATION, REGRESSION = "classification", "regression"


@dataclass
class DataSet:
    name: str
    task: str
    X: pd.DataFrame
    y: np.ndarray
    source: str
    target: str  # what is predicted from what, in one line

    @property
    def n_categorical(self) -> int:
        return sum(isinstance(t, pd.CategoricalDtype) for t in self.X.dtypes)

    def cut(self, max_rows: int | None) -> DataSet:
        """The data set, or a seeded random subset of max_rows of its rows."""
        if max_rows is None or len(self.y) <= max_rows:
            return self
        keep = np.sort(np.random.default_rng(0).choice(len(self.y), max_rows, replace=False))
        X = self.X.iloc[keep].reset_index(drop=True)
        return DataSet(self.name, self.task, X, self.y[keep], self.source, self.target)

    def one_hot(self) -> np.ndarray:
        """The features as scikit-learn's trees see them: categorical columns one-hot."""
        return pd.get_dummies(self.X, dummy_na=False, dtype=np.float64).to_numpy(np.float64)


def _frame(df: pd.DataFrame, categorical: tuple[str, ...] = ()) -> pd.DataFrame:
    out = pd.DataFrame(index=pd.RangeIndex(len(df)))
    for col in df.columns:
        values = df[col].reset_index(drop=True)
        if col in categorical:
            out[col] = pd.Categorical(values.astype(object).where(values.notna(), None))
        else:
            out[col] = values.astype(np.float64)
    return out


def _make(name, task, df, target, features, categorical=(), *, source, doc) -> DataSet:
    """target is a column name or a function of the frame; rows without a target are dropped."""
    y = df[target].to_numpy() if isinstance(target, str) else target(df)
    keep = pd.notna(y)
    df, y = df[keep], y[keep]
    if task == CLASSIFICATION:
        y = np.unique(y, return_inverse=True)[1].astype(np.int64)
    else:
        y = np.asarray(y, dtype=np.float64)
    return DataSet(name, task, _frame(df[list(features)], categorical), y, source, doc)


def _sklearn(name: str, task: str, doc: str) -> DataSet:
    from sklearn import datasets

    bunch = getattr(datasets, f"load_{name}")(as_frame=True)
    df = bunch.frame
    target = bunch.target.name
    features = [c for c in df.columns if c != target]
    return _make(name, task, df, target, features, source="scikit-learn", doc=doc)


def _statsmodels(name: str):
    import statsmodels.api as sm

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return getattr(sm.datasets, name).load_pandas().data


def fair() -> DataSet:
    df = _statsmodels("fair")
    feats = (
        "rate_marriage age yrs_married children religious educ occupation occupation_husb".split()
    )
    return _make(
        "fair",
        CLASSIFICATION,
        df,
        lambda d: (d["affairs"] > 0).to_numpy(),
        feats,
        ("occupation", "occupation_husb"),
        source="statsmodels",
        doc="any affair (affairs > 0) from the 8 survey answers; both occupation codes categorical",
    )


def spector() -> DataSet:
    return _make(
        "spector",
        CLASSIFICATION,
        _statsmodels("spector"),
        "GRADE",
        ("GPA", "TUCE", "PSI"),
        source="statsmodels",
        doc="grade improved (GRADE) from GPA, TUCE score and PSI teaching method; 32 rows",
    )


def anes96() -> DataSet:
    feats = "popul TVnews selfLR ClinLR DoleLR PID age educ income".split()
    return _make(
        "anes96",
        CLASSIFICATION,
        _statsmodels("anes96"),
        "vote",
        feats,
        source="statsmodels",
        doc="vote (Clinton or Dole) from the 9 survey columns; logpopul (log of popul) left out",
    )


STAR98_FEATURES = (
    "LOWINC PERASIAN PERBLACK PERHISP PERMINTE AVYRSEXP AVSALK PERSPENK PTRATIO PCTAF PCTCHRT "
    "PCTYRRND"
).split()


def star98() -> DataSet:
    return _make(
        "star98",
        REGRESSION,
        _statsmodels("star98"),
        lambda d: (d["NABOVE"] / (d["NABOVE"] + d["NBELOW"])).to_numpy(),
        STAR98_FEATURES,
        source="statsmodels",
        doc="share of pupils above the median, NABOVE / (NABOVE + NBELOW), from the 12 district "
        "columns; the 6 product columns (a GLM's interaction terms) left out",
    )


def randhie() -> DataSet:
    feats = "lncoins idp lpi fmde physlm disea hlthg hlthf hlthp".split()
    return _make(
        "randhie",
        REGRESSION,
        _statsmodels("randhie"),
        lambda d: np.log1p(d["mdvis"].to_numpy()),
        feats,
        source="statsmodels",
        doc="log(1 + doctor visits) from the 9 plan and health columns (the raw count is "
        "heavy-tailed: squared error would be ruled by a few heavy users); the 20,190 rows hold "
        "only 2,760 distinct feature rows (the same people over several years), so row-wise "
        "folds share people and a tree that isolates each feature row recalls their visits",
    )


def modechoice() -> DataSet:
    long = _statsmodels("modechoice")
    wide = long.pivot(index="individual", columns="mode", values=["ttme", "invc", "invt", "gc"])
    wide.columns = [f"{v}_{int(m)}" for v, m in wide.columns]
    person = long.groupby("individual")[["hinc", "psize"]].first()
    chosen = long[long["choice"] == 1].set_index("individual")["mode"]
    df = wide.join(person).join(chosen.rename("chosen"))
    feats = [c for c in df.columns if c != "chosen"]
    return _make(
        "modechoice",
        CLASSIFICATION,
        df,
        "chosen",
        feats,
        source="statsmodels",
        doc="travel mode chosen (air, train, bus, car), one row per traveller: the 4 modes' "
        "times and costs side by side, income and party size",
    )


def penguins() -> DataSet:
    import palmerpenguins

    return _make(
        "penguins",
        CLASSIFICATION,
        palmerpenguins.load_penguins(),
        "species",
        "bill_length_mm bill_depth_mm flipper_length_mm body_mass_g island sex".split(),
        ("island", "sex"),
        source="palmerpenguins",
        doc="species, the set's own classification task, from the 4 measurements, island and "
        "sex (categorical); year left out",
    )


# The list is fixed here, before any result was seen: scikit-learn's bundled sets, six sets from
# the statsmodels wheel and palmerpenguins. Each loader's doc line says what it predicts.
DATASETS = {
    "breast_cancer": lambda: _sklearn(
        "breast_cancer", CLASSIFICATION, "malignant or benign from the 30 cell-nucleus measurements"
    ),
    "wine": lambda: _sklearn("wine", CLASSIFICATION, "cultivar from the 13 chemical measurements"),
    "digits": lambda: _sklearn("digits", CLASSIFICATION, "digit 0–9 from the 8×8 pixel values"),
    "iris": lambda: _sklearn("iris", CLASSIFICATION, "species from the 4 flower measurements"),
    "diabetes": lambda: _sklearn(
        "diabetes", REGRESSION, "disease progression after a year from the 10 baseline values"
    ),
    "fair": fair,
    "spector": spector,
    "anes96": anes96,
    "star98": star98,
    "randhie": randhie,
    "modechoice": modechoice,
    "penguins": penguins,
}


# ---------------------------------------------------------------------------------------------
# Controls: x uniform on [0, 1]^10, n = 400, one data set per seed.

CONTROL_ROWS, CONTROL_FEATURES = 400, 10


def noise(task: str, seed: int) -> tuple[np.ndarray, np.ndarray]:
    """y independent of x: a fair coin (classification) or a standard normal (regression)."""
    rng = np.random.default_rng([1, seed])
    X = rng.uniform(size=(CONTROL_ROWS, CONTROL_FEATURES))
    if task == CLASSIFICATION:
        return X, rng.integers(0, 2, CONTROL_ROWS)
    return X, rng.standard_normal(CONTROL_ROWS)


def four_leaves(seed: int) -> tuple[np.ndarray, np.ndarray]:
    """P(y = 1) is 0.1 / 0.6 for x0 < 0.5 and x1 < / >= 0.5, 0.4 / 0.9 for x0 >= 0.5 and
    x2 < / >= 0.5."""
    rng = np.random.default_rng([2, seed])
    X = rng.uniform(size=(CONTROL_ROWS, CONTROL_FEATURES))
    p = np.where(
        X[:, 0] < 0.5, np.where(X[:, 1] < 0.5, 0.1, 0.6), np.where(X[:, 2] < 0.5, 0.4, 0.9)
    )
    return X, (rng.uniform(size=CONTROL_ROWS) < p).astype(np.int64)


FOUR_LEAVES = "4-leaf tree"
# Control name: (task, data of a seed, what a right answer is).
CONTROLS = {
    "noise, classification": (CLASSIFICATION, lambda s: noise(CLASSIFICATION, s), "one leaf"),
    "noise, regression": (REGRESSION, lambda s: noise(REGRESSION, s), "one leaf"),
    FOUR_LEAVES: (CLASSIFICATION, four_leaves, "the 4-leaf structure"),
}

# A recovered tree: the root cuts x0, its child below the cut cuts x1 and its child above cuts
# x2, each cut within this distance of 0.5, and those four grandchildren are leaves.
CUT_TOLERANCE = 0.1


@dataclass
class Split:
    feature: int
    cut: float  # the one cut point of a numeric split
    below: int  # child node holding the values below the cut
    above: int


def has_four_leaf_structure(split_of) -> bool:
    """split_of(node) gives the node's Split, or None for a leaf (node 0 is the root)."""
    root = split_of(0)
    if root is None or root.feature != 0 or abs(root.cut - 0.5) > CUT_TOLERANCE:
        return False
    for child, feature in ((root.below, 1), (root.above, 2)):
        s = split_of(child)
        if s is None or s.feature != feature or abs(s.cut - 0.5) > CUT_TOLERANCE:
            return False
        if split_of(s.below) is not None or split_of(s.above) is not None:
            return False
    return True


def sklearn_split(tree):
    """Split reader for a fitted scikit-learn tree_ (x <= threshold goes left)."""

    def split_of(node):
        if tree.children_left[node] < 0:
            return None
        return Split(
            int(tree.feature[node]),
            float(tree.threshold[node]),
            int(tree.children_left[node]),
            int(tree.children_right[node]),
        )

    return split_of


def ornik_split(tree: dict):
    """Split reader for an ornik tree_ (lower <= x < upper goes left). A split that is not one
    cut of a numeric feature (a categorical split, or a bin with two finite ends) is given as
    feature -1, which no check accepts."""

    def split_of(node):
        if tree["is_leaf"][node]:
            return None
        left, right = int(tree["children_left"][node]), int(tree["children_right"][node])
        lower, upper = float(tree["lower"][node]), float(tree["upper"][node])
        feature = -1 if tree["is_categorical"][node] else int(tree["feature"][node])
        if np.isneginf(lower) and np.isfinite(upper):
            return Split(feature, upper, left, right)
        if np.isposinf(upper) and np.isfinite(lower):
            return Split(feature, lower, right, left)
        return Split(-1, np.nan, left, right)

    return split_of
