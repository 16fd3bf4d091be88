"""decision_path: the nodes each sample passes through, as scikit-learn reports them."""

from __future__ import annotations

import numpy as np
from scipy.sparse import csr_matrix


def decision_path(est, X) -> csr_matrix:
    """Sparse indicator of shape (n_samples, node_count): entry (i, j) is 1 when
    sample i passes through node j of ``tree_`` on its way to ``apply(X)[i]``."""
    leaves = est.apply(X)
    t = est.tree_
    n = t["node_count"]
    parent = np.full(n, -1, dtype=np.int64)
    splits = np.flatnonzero(~t["is_leaf"])
    parent[t["children_left"][splits]] = splits
    parent[t["children_right"][splits]] = splits
    # Every root-to-node path, root first: preorder ids grow along a path, so a
    # node's path is its parent's plus itself.
    paths: list[np.ndarray] = [np.zeros(1, dtype=np.int64)] + [None] * (n - 1)
    for j in range(1, n):
        paths[j] = np.append(paths[parent[j]], j)
    leaf_ids = np.flatnonzero(t["is_leaf"])
    flat = np.concatenate([paths[j] for j in leaf_ids])
    lengths = np.zeros(n, dtype=np.int64)
    lengths[leaf_ids] = [len(paths[j]) for j in leaf_ids]
    start = np.zeros(n, dtype=np.int64)
    start[leaf_ids] = np.cumsum(lengths[leaf_ids]) - lengths[leaf_ids]
    counts = lengths[leaves]
    indptr = np.zeros(len(leaves) + 1, dtype=np.int64)
    np.cumsum(counts, out=indptr[1:])
    indices = flat[np.arange(indptr[-1]) + np.repeat(start[leaves] - indptr[:-1], counts)]
    data = np.ones(len(indices), dtype=np.int64)
    return csr_matrix((data, indices, indptr), shape=(len(leaves), n))
