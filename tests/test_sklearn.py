"""vendrask.sklearn against scikit-learn's own neighbour estimators fed our
precomputed distances, the estimator protocol, and the graphs downstream
estimators take."""
import pickle
import random
import warnings

import numpy as np
import pytest

sklearn = pytest.importorskip("sklearn")
pytest.importorskip("scipy")

from scipy import sparse  # noqa: E402
from sklearn import neighbors as skn  # noqa: E402
from sklearn.base import clone  # noqa: E402
from sklearn.exceptions import NotFittedError  # noqa: E402
from sklearn.model_selection import GridSearchCV  # noqa: E402

import vendrask  # noqa: E402
from vendrask import sklearn as vsk  # noqa: E402

ESTIMATORS = [vsk.NearestNeighbors, vsk.KNeighborsClassifier, vsk.KNeighborsRegressor,
              vsk.KNeighborsTransformer]


def corpus(n, seed, classes=3):
    """Documents of phrases from a pool of each class and a shared one, a
    word of each phrase changed, labelled by class: learnable, with errors
    and tied votes; a few exact duplicates give distance-0 neighbours."""
    rng, vocabulary = random.Random(seed), random.Random(0)
    words = ["".join(vocabulary.choice("abcdefghijklmnopqrstuvwxyz")
                     for _ in range(vocabulary.randint(2, 7))) for _ in range(300)]
    phrases = [[" ".join(vocabulary.choice(words) for _ in range(vocabulary.randint(4, 9)))
                for _ in range(12)] for _ in range(classes + 1)]
    docs, labels = [], []
    for _ in range(n):
        c = rng.randrange(classes)
        parts = []
        for _ in range(rng.randint(6, 14)):
            phrase = rng.choice(phrases[c] if rng.random() < 0.45 else phrases[classes]).split()
            phrase[rng.randrange(len(phrase))] = rng.choice(words)
            parts.append(" ".join(phrase))
        docs.append(". ".join(parts))
        labels.append("abc"[c])
    for k in range(0, n - 1, 9):
        docs[k + 1], labels[k + 1] = docs[k], labels[k]
    return docs, np.array(labels)


TRAIN, Y = corpus(60, seed=1)
TEST, Y_TEST = corpus(25, seed=2)


def distances(ts, ss, symmetric):
    return 1.0 - vendrask.cdist(ts, ss, symmetric=symmetric)


def same_neighbours(dist, ind, ref_dist, ref_ind, full):
    """Equal distances bit for bit, and equal indices except where tied
    distances let scikit-learn order them its own way."""
    np.testing.assert_array_equal(dist, ref_dist)
    rows = np.arange(len(ind))[:, None]
    np.testing.assert_array_equal(full[rows, ind], dist)
    for r in range(len(ind)):
        for c in range(ind.shape[1]):
            if np.sum(dist[r] == dist[r, c]) == 1 and np.sum(full[r] == dist[r, c]) == 1:
                assert ind[r, c] == ref_ind[r, c]
        assert list(ind[r]) == sorted(ind[r], key=lambda j: (full[r, j], j))


@pytest.mark.parametrize("symmetric", [None, "mean", "min"])
@pytest.mark.parametrize("weights", ["uniform", "distance"])
@pytest.mark.parametrize("k", [1, 4, 5])
def test_predictions_equal_scikit_learn_on_the_precomputed_matrix(symmetric, weights, k):
    d_train, d_test = distances(TRAIN, TRAIN, symmetric), distances(TEST, TRAIN, symmetric)
    ours = vsk.KNeighborsClassifier(k, weights, symmetric=symmetric, exact=True).fit(TRAIN, Y)
    ref = skn.KNeighborsClassifier(k, weights=weights, metric="precomputed").fit(d_train, Y)
    np.testing.assert_array_equal(ours.classes_, ref.classes_)
    np.testing.assert_array_equal(ours.predict(TEST), ref.predict(d_test))
    np.testing.assert_allclose(ours.predict_proba(TEST), ref.predict_proba(d_test), rtol=1e-12)
    assert ours.score(TEST, Y_TEST) == ref.score(d_test, Y_TEST)
    same_neighbours(*ours.kneighbors(TEST), *ref.kneighbors(d_test), d_test)
    # Leave-one-out: each fitted document without itself.
    np.testing.assert_array_equal(ours.predict(None), ref.predict(None))
    same_neighbours(*ours.kneighbors(), *ref.kneighbors(), np.where(np.eye(60, dtype=bool),
                                                                       np.inf, d_train))
    # Equal documents get equal targets: scikit-learn orders tied distances its own way.
    target = np.array([len(d) ** 0.5 for d in TRAIN])
    reg = vsk.KNeighborsRegressor(k, weights, symmetric=symmetric, exact=True).fit(TRAIN, target)
    ref_reg = skn.KNeighborsRegressor(k, weights=weights, metric="precomputed").fit(d_train,
                                                                                  target)
    np.testing.assert_allclose(reg.predict(TEST), ref_reg.predict(d_test), rtol=1e-12)


def test_vote_ties_go_to_the_first_class_as_in_scikit_learn():
    docs = ["alpha beta gamma", "alpha beta delta", "zeta eta theta", "zeta eta iota"]
    model = vsk.KNeighborsClassifier(2, exact=True).fit(docs, ["b", "b", "a", "a"])
    # One neighbour of each class: a tie, whatever the query's true label.
    proba = model.predict_proba(["alpha beta gamma zeta eta theta"] * 2)
    assert (proba == 0.5).all()
    assert list(model.predict(["alpha beta gamma zeta eta theta"])) == ["a"]


@pytest.mark.parametrize("exact", [True, False])
def test_every_distance_is_one_minus_an_exact_score(exact):
    nn = vsk.NearestNeighbors(6, exact=exact).fit(TRAIN)
    full = distances(TEST, TRAIN, "mean")
    dist, ind = nn.kneighbors(TEST)
    np.testing.assert_array_equal(dist, full[np.arange(len(TEST))[:, None], ind])
    assert (np.diff(dist, axis=1) >= 0).all()
    dist, ind = nn.kneighbors()
    assert not (ind == np.arange(60)[:, None]).any()
    np.testing.assert_array_equal(dist, distances(TRAIN, TRAIN, "mean")[np.arange(60)[:, None],
                                                                         ind])
    assert (dist[1, 0], ind[1, 0]) == (0.0, 0)  # the duplicate of document 0, kept at 0


@pytest.mark.parametrize("exact", [True, False])
@pytest.mark.parametrize("symmetric", [None, "max"])
def test_radius_neighbors_equal_scikit_learn(exact, symmetric):
    radius = 0.8
    nn = vsk.NearestNeighbors(radius=radius, symmetric=symmetric, exact=exact).fit(TRAIN)
    for ours_X, ref_X in ((TEST, distances(TEST, TRAIN, symmetric)),
                          (None, None)):
        ref = skn.NearestNeighbors(radius=radius, metric="precomputed").fit(
            distances(TRAIN, TRAIN, symmetric))
        dist, ind = nn.radius_neighbors(ours_X)
        ref_dist, ref_ind = ref.radius_neighbors(ref_X, sort_results=True)
        assert sum(map(len, ind)) > 0
        for row in range(len(ind)):
            found = dict(zip(ind[row].tolist(), dist[row].tolist()))
            if exact:
                assert found == dict(zip(ref_ind[row].tolist(), ref_dist[row].tolist()))
            else:  # which pairs is approximate, every distance exact
                ref_row = dict(zip(ref_ind[row].tolist(), ref_dist[row].tolist()))
                assert all(ref_row[j] == d for j, d in found.items())
        graph = nn.radius_neighbors_graph(ours_X, mode="distance")
        assert graph.nnz == sum(map(len, ind))
        assert (graph.data == 0).sum() == sum((d == 0).sum() for d in dist)


def test_transformer_graph_keeps_zeros_and_equals_scikit_learn():
    graph = vsk.KNeighborsTransformer(4, exact=True).fit_transform(TRAIN)
    ref = skn.KNeighborsTransformer(n_neighbors=4, metric="precomputed").fit_transform(
        distances(TRAIN, TRAIN, "mean"))
    assert isinstance(graph, sparse.csr_matrix) and graph.shape == (60, 60)
    assert graph.nnz == ref.nnz == 60 * 5
    assert (graph.diagonal() == 0).all() and (graph.indices[::5] == np.arange(60)).all()
    np.testing.assert_array_equal(np.sort(graph.data.reshape(60, 5)),
                                  np.sort(ref.data.reshape(60, 5)))
    assert (graph.data == 0).sum() == (ref.data == 0).sum() > 60  # the duplicates' zeros too
    connectivity = vsk.KNeighborsTransformer(4, "connectivity", exact=True)
    assert connectivity.fit_transform(TRAIN).nnz == 60 * 4
    assert connectivity.transform(TEST).shape == (25, 60)


def test_graph_goes_into_downstream_estimators():
    from sklearn.cluster import DBSCAN, SpectralClustering
    from sklearn.manifold import TSNE, Isomap
    from sklearn.pipeline import make_pipeline

    labels = make_pipeline(vsk.KNeighborsTransformer(5, exact=True),
                           DBSCAN(eps=0.6, min_samples=3, metric="precomputed")).fit_predict(TRAIN)
    ref = DBSCAN(eps=0.6, min_samples=3, metric="precomputed").fit_predict(
        skn.KNeighborsTransformer(n_neighbors=5, metric="precomputed").fit_transform(
            distances(TRAIN, TRAIN, "mean")))
    np.testing.assert_array_equal(labels, ref)
    graph = vsk.KNeighborsTransformer(10).fit_transform(TRAIN)
    iterations = "max_iter" if "max_iter" in TSNE().get_params() else "n_iter"  # before 1.5
    embedded = TSNE(perplexity=3, metric="precomputed", init="random", random_state=0,
                    **{iterations: 250}).fit_transform(graph)
    assert embedded.shape == (60, 2) and np.isfinite(embedded).all()
    assert Isomap(n_neighbors=5, metric="precomputed").fit_transform(graph).shape == (60, 2)
    spectral = SpectralClustering(3, affinity="precomputed_nearest_neighbors", n_neighbors=5,
                                  random_state=0).fit_predict(graph)
    assert len(set(spectral)) == 3
    hdbscan = pytest.importorskip("sklearn.cluster").__dict__.get("HDBSCAN")
    if hdbscan is not None:  # scikit-learn 1.3 and later
        copy = {"copy": True} if "copy" in hdbscan().get_params() else {}
        labels = hdbscan(min_cluster_size=4, metric="precomputed", **copy).fit_predict(
            vsk.symmetric_graph(graph))
        assert len(labels) == 60


def test_symmetric_graph_keeps_zeros_and_takes_the_larger_distance():
    # (0, 1) at 0 alone, (0, 2) and (2, 0) differing, (1, 2) alone.
    graph = sparse.csr_matrix((np.array([0.0, 0.5, 0.3, 0.2]), np.array([1, 2, 2, 0]),
                               np.array([0, 2, 3, 4])), shape=(3, 3))
    both = vsk.symmetric_graph(graph)
    assert both.nnz == 6 and (both.data == 0).sum() == 2
    np.testing.assert_array_equal(both.toarray(), [[0, 0, 0.5], [0, 0, 0.3], [0.5, 0.3, 0]])
    assert list(both.indices[:2]) == [1, 2]  # each row by distance
    assert (vsk.symmetric_graph(both) != both).nnz == 0


def test_document_types_give_one_answer():
    pd = pytest.importorskip("pandas")
    base = vsk.KNeighborsClassifier(3, exact=True).fit(TRAIN, Y).predict(TEST)
    encoded = [d.encode() for d in TRAIN]
    kinds = [encoded, np.array(TRAIN, dtype=object), np.array(TRAIN), np.array(encoded),
             pd.Series(TRAIN, index=range(100, 160)), tuple(TRAIN),
             [bytearray(d) if k % 2 else memoryview(d) for k, d in enumerate(encoded)]]
    for docs in kinds:
        model = vsk.KNeighborsClassifier(3, exact=True).fit(docs, Y)
        np.testing.assert_array_equal(model.predict(pd.Series(TEST)), base)


@pytest.mark.parametrize("X, error, match", [
    (np.random.default_rng(0).random((5, 3)), TypeError, "one-dimensional"),
    (np.arange(5.0), TypeError, "float64 values"),
    (np.arange(5, dtype=np.uint8), TypeError, "uint8 values"),
    (sparse.csr_matrix(np.eye(5)), TypeError, "sparse"),
    ("one document", TypeError, "single str"),
    ([1.5, 2.5], TypeError, r"X\[0\] must be str or bytes-like"),
    (["a", None, "c"], TypeError, r"X\[1\] is missing"),
    ([], ValueError, "no documents"),
])
def test_refused_documents(X, error, match):
    with pytest.raises(error, match=match):
        vsk.NearestNeighbors(exact=True).fit(X)


def test_refused_dataframe_and_missing_label():
    pd = pytest.importorskip("pandas")
    with pytest.raises(TypeError, match="DataFrame"):
        vsk.NearestNeighbors(exact=True).fit(pd.DataFrame({"text": TRAIN}))
    with pytest.raises(TypeError, match=r"X\[1\] \(label 'b'\) is missing"):
        vsk.NearestNeighbors(exact=True).fit(pd.Series(["x", None], index=["a", "b"]))


@pytest.mark.parametrize("estimator, error", [
    (vsk.NearestNeighbors(symmetric="avg"), ValueError),
    (vsk.NearestNeighbors(0), ValueError),
    (vsk.NearestNeighbors(2.5), TypeError),
    (vsk.NearestNeighbors(radius=-1), ValueError),
    (vsk.NearestNeighbors(n_jobs=0), ValueError),
    (vsk.NearestNeighbors(max_bytes=-1), ValueError),
    (vsk.NearestNeighbors(exact="yes"), TypeError),
    (vsk.KNeighborsClassifier(weights="near"), ValueError),
    (vsk.KNeighborsTransformer(mode="dist"), ValueError),
])
def test_bad_parameters_are_refused_at_fit(estimator, error):
    with pytest.raises(error):
        estimator.fit(TRAIN, Y)


def test_more_neighbours_than_documents_as_scikit_learn_says():
    nn = vsk.NearestNeighbors(exact=True).fit(TRAIN[:5])
    for args, kind in (((TEST, 6), "<="), ((None, 5), "<")):
        with pytest.raises(ValueError, match=f"Expected n_neighbors {kind} n_samples_fit, but "
                                             f"n_neighbors = {args[1]}, n_samples_fit = 5"):
            nn.kneighbors(*args)
        ref = skn.NearestNeighbors(n_neighbors=args[1]).fit(np.eye(5))
        with pytest.raises(ValueError, match=f"Expected n_neighbors {kind} n_samples_fit"):
            ref.kneighbors(None if args[0] is None else np.eye(5)[:3])
    with pytest.raises(ValueError, match="n_neighbors = 6, n_samples_fit = 5"):
        vsk.KNeighborsTransformer(5, exact=True).fit_transform(TRAIN[:5])
    with pytest.raises(ValueError, match="needs a radius"):
        nn.radius_neighbors(TEST)


@pytest.mark.parametrize("exact", [True, False])
def test_pairs_over_the_joint_limit_are_never_neighbours(exact):
    rng = random.Random(3)
    long = ["".join(rng.choice("abcdefgh ") for _ in range(20000)) for _ in range(2)]
    docs = long + TRAIN[:4]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vendrask.DocumentWarning)
        nn = vsk.NearestNeighbors(4, exact=exact).fit(docs)
        dist, ind = nn.kneighbors(n_neighbors=4)  # each long one has the 4 short ones
        assert not (ind[0] == 1).any() and not (ind[1] == 0).any()
        with pytest.raises(ValueError, match="fitted document 0 has 4 neighbours of the 5 "
                                             ".*max_bytes=16383"):
            nn.kneighbors(n_neighbors=5)
        with pytest.raises(ValueError, match=r"X\[0\] has 5 neighbours of the 6"):
            nn.kneighbors(long[:1], n_neighbors=6)
        cut = vsk.NearestNeighbors(5, exact=exact, max_bytes=16383).fit(docs)
        assert (cut.kneighbors()[1] >= 0).all()


def test_rows_the_index_leaves_short_are_searched_exhaustively(monkeypatch):
    nn = vsk.NearestNeighbors(4).fit(TRAIN)
    exact = vsk.NearestNeighbors(4, exact=True).fit(TRAIN)
    real = nn.index_.neighbors

    def short(k, **kwargs):
        scores, ind = real(k, **kwargs)
        scores[[1, 7], 2:], ind[[1, 7], 2:] = np.nan, -1
        return scores, ind
    monkeypatch.setattr(nn.index_, "neighbors", short)
    np.testing.assert_array_equal(nn.kneighbors()[1][[1, 7]], exact.kneighbors()[1][[1, 7]])


@pytest.mark.parametrize("make", ESTIMATORS)
def test_estimator_protocol(make):
    from sklearn.utils import estimator_checks as checks
    estimator = make(exact=True)
    name = type(estimator).__name__
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        checks.check_estimator(estimator)  # skips what feeds numeric arrays
    for check in ("check_estimator_cloneable", "check_estimator_tags_renamed",
                  "check_valid_tag_types", "check_estimator_repr",
                  "check_no_attributes_set_in_init", "check_parameters_default_constructible",
                  "check_get_params_invariance", "check_set_params", "check_mixin_order",
                  "check_do_not_raise_errors_in_init_or_set_params"):
        if hasattr(checks, check):
            getattr(checks, check)(name, estimator)
    tags = getattr(sklearn.utils, "get_tags", None)
    if tags is not None:
        assert tags(estimator).input_tags.string and not tags(estimator).input_tags.two_d_array
    # The data checks, on documents.
    with pytest.raises(NotFittedError):
        estimator.kneighbors(TEST)
    params = estimator.get_params()
    assert estimator.fit(TRAIN, Y if make is vsk.KNeighborsClassifier else
                         np.arange(60.0)) is estimator
    assert estimator.get_params() == params
    fresh = clone(estimator).set_params(n_neighbors=2)
    assert fresh.get_params()["n_neighbors"] == 2 and not hasattr(fresh, "n_samples_fit_")


@pytest.mark.parametrize("exact", [True, False])
def test_pickled_estimators_keep_their_documents_and_index(exact):
    model = vsk.KNeighborsClassifier(3, exact=exact).fit(TRAIN, Y)
    again = pickle.loads(pickle.dumps(model))
    assert (again.index_ is None) == exact
    np.testing.assert_array_equal(again.predict_proba(TEST), model.predict_proba(TEST))
    np.testing.assert_array_equal(again.kneighbors()[1], model.kneighbors()[1])


def test_grid_search_equals_scikit_learn_on_the_precomputed_matrix():
    grid = {"n_neighbors": [1, 3, 5]}
    ours = GridSearchCV(vsk.KNeighborsClassifier(exact=True), grid, cv=3).fit(TRAIN, Y)
    ref = GridSearchCV(skn.KNeighborsClassifier(metric="precomputed"), grid, cv=3).fit(
        distances(TRAIN, TRAIN, "mean"), Y)
    np.testing.assert_array_equal(ours.cv_results_["mean_test_score"],
                                  ref.cv_results_["mean_test_score"])
    assert ours.best_params_ == ref.best_params_
    assert vsk.KNeighborsClassifier().fit(TRAIN, Y).index_ is not None
    GridSearchCV(vsk.KNeighborsClassifier(), grid, cv=3).fit(TRAIN, Y)  # the indexed default


def test_workers_and_multi_output():
    one = vsk.KNeighborsClassifier(3, exact=True, n_jobs=None).fit(TRAIN, Y)
    every = vsk.KNeighborsClassifier(3, exact=True, n_jobs=-1).fit(TRAIN, Y)
    np.testing.assert_array_equal(one.predict_proba(TEST), every.predict_proba(TEST))
    both = np.stack([Y, np.where(Y == "a", "x", "y")], axis=1)
    d_train, d_test = distances(TRAIN, TRAIN, "mean"), distances(TEST, TRAIN, "mean")
    model = vsk.KNeighborsClassifier(3, exact=True).fit(TRAIN, both)
    ref = skn.KNeighborsClassifier(3, metric="precomputed").fit(d_train, both)
    np.testing.assert_array_equal(model.predict(TEST), ref.predict(d_test))
    for ours, theirs in zip(model.predict_proba(TEST), ref.predict_proba(d_test)):
        np.testing.assert_allclose(ours, theirs, rtol=1e-12)


def test_cut_documents_are_reported_at_the_callers_line():
    nn = vsk.NearestNeighbors(1, exact=True, max_bytes=3)
    with pytest.warns(vendrask.DocumentWarning, match=r"cut 2 of 3 documents: X\[0\], X\[1\]") \
            as caught:
        nn.fit(["abcdef", "abcxyz", "zz"])
    assert caught[0].filename == __file__
    with pytest.warns(vendrask.DocumentWarning, match=r"cut 1 of 1 documents: X\[0\]"):
        assert nn.kneighbors(["abcq"])[0][0, 0] == 0.0  # queries are cut alike: "abc" is fitted


def tied_corpus():
    """Documents 0, 1, 2 and 4 equal (more copies than the neighbours asked
    for), with equal labels and targets; every other row sees them tied."""
    docs, labels = corpus(30, seed=4)
    for k in (2, 4):
        docs[k], labels[k] = docs[0], labels[0]
    return docs, labels, np.array([len(d) ** 0.5 for d in docs])


def documented_order(full, k, own):
    """Each row's k nearest as the README orders them: by distance, equal
    distances by the smaller index, its own position left out (own=True)."""
    rows = []
    for r, row in enumerate(full):
        cols = [j for j in range(len(row)) if not (own and j == r)]
        rows.append(sorted(cols, key=lambda j: (row[j], j))[:k])
    return np.array(rows)


@pytest.mark.parametrize("search", ["exact", "exhaustive rows of the index"])
@pytest.mark.parametrize("k", [1, 2, 5])
def test_tied_duplicates_in_the_documented_order_with_scikit_learns_predictions(
        search, k, monkeypatch):
    docs, labels, target = tied_corpus()
    queries = [docs[0], docs[3]] + TEST[:6]
    d_fit, d_query = distances(docs, docs, "mean"), distances(queries, docs, "mean")
    model = vsk.KNeighborsClassifier(k, exact=search == "exact").fit(docs, labels)
    if search != "exact":  # the index leaves every row short: each is searched again
        def short(k, **kwargs):
            return np.full((len(docs), k), np.nan), np.full((len(docs), k), -1)
        monkeypatch.setattr(model.index_, "neighbors", short)
        monkeypatch.setattr(model.index_, "nearest", lambda q, k, **kwargs: (
            np.full((len(q), k), np.nan), np.full((len(q), k), -1)))
    ref = skn.KNeighborsClassifier(k, metric="precomputed").fit(d_fit, labels)
    for X, full, own, ref_X in ((None, d_fit, True, None), (queries, d_query, False, d_query)):
        dist, ind = model.kneighbors(X)
        np.testing.assert_array_equal(ind, documented_order(full, k, own))
        ref_dist, ref_ind = ref.kneighbors(ref_X)
        np.testing.assert_array_equal(dist, ref_dist)
        # scikit-learn's indices differ only among equal distances, so never in their labels.
        np.testing.assert_array_equal(np.sort(labels[ind], axis=1),
                                      np.sort(labels[ref_ind], axis=1))
        np.testing.assert_array_equal(model.predict(X), ref.predict(ref_X))
        np.testing.assert_array_equal(model.predict_proba(X), ref.predict_proba(ref_X))
    assert list(model.kneighbors(queries[:1])[1][0][:3]) == [0, 1, 2][:k]
    assert list(model.kneighbors()[1][4][:3]) == [0, 1, 2][:k]  # 4 itself left out
    regressor = vsk.KNeighborsRegressor(k, exact=True).fit(docs, target)
    ref_regressor = skn.KNeighborsRegressor(k, metric="precomputed").fit(d_fit, target)
    np.testing.assert_array_equal(regressor.predict(queries), ref_regressor.predict(d_query))
    np.testing.assert_array_equal(regressor.predict(None), ref_regressor.predict(None))


@pytest.mark.parametrize("exact", [True, False])
def test_tied_radius_neighbours_and_clusters_equal_scikit_learns(exact):
    from sklearn.cluster import DBSCAN
    from sklearn.pipeline import make_pipeline

    docs, _, _ = tied_corpus()
    d_fit, d_query = distances(docs, docs, "mean"), distances(TEST, docs, "mean")
    nn = vsk.NearestNeighbors(radius=0.75, exact=exact).fit(docs)
    ref = skn.NearestNeighbors(radius=0.75, metric="precomputed").fit(d_fit)
    for X, ref_X in ((None, None), (TEST, d_query)):
        # scikit-learn sorts each row stably, so equal distances keep the index order too.
        for ours, theirs in zip(nn.radius_neighbors(X), ref.radius_neighbors(ref_X,
                                                                             sort_results=True)):
            assert [list(row) for row in ours] == [list(row) for row in theirs]
    labels = make_pipeline(vsk.KNeighborsTransformer(6, exact=exact),
                           DBSCAN(eps=0.55, min_samples=3, metric="precomputed")).fit_predict(docs)
    ref_labels = make_pipeline(skn.KNeighborsTransformer(n_neighbors=6, metric="precomputed"),
                               DBSCAN(eps=0.55, min_samples=3, metric="precomputed")
                               ).fit_predict(d_fit)
    assert len(set(labels)) > 1
    np.testing.assert_array_equal(labels, ref_labels)


@pytest.mark.parametrize("scores, ind, own, expected_scores, expected_ind", [
    ([[1.0, 1.0, 1.0]], [[0, 1, 2]], [1], [[1.0, 1.0]], [[0, 2]]),       # own among ties
    ([[1.0, 1.0, 1.0]], [[0, 1, 2]], [3], [[1.0, 1.0]], [[0, 1]]),       # crowded out
    ([[0.5, 0.9, 0.9]], [[1, 5, 2]], [5], [[0.9, 0.5]], [[2, 1]]),       # candidates unordered
    ([[0.9, np.nan, np.nan]], [[3, -1, -1]], [3], [[np.nan] * 2], [[-1, -1]]),  # short row
    ([[0.4, 0.9, np.nan]], [[0, 2, -1]], [1], [[0.9, 0.4]], [[2, 0]]),
])
def test_own_position_is_masked_before_the_candidates_are_ordered(
        scores, ind, own, expected_scores, expected_ind):
    from vendrask.sklearn._base import leave_out_own
    got_scores, got_ind = leave_out_own(np.array(scores), np.array(ind), np.array(own), 2)
    np.testing.assert_array_equal(got_scores, expected_scores)
    np.testing.assert_array_equal(got_ind, expected_ind)


@pytest.mark.parametrize("exact", [True, False])
def test_fitted_documents_are_kept_with_or_without_the_index(exact):
    with pytest.warns(vendrask.DocumentWarning, match="cut 60 of 60"):
        model = vsk.NearestNeighbors(3, exact=exact, max_bytes=50).fit(np.array(TRAIN,
                                                                                dtype=object))
    assert model._fit_X == [d.encode()[:50] for d in TRAIN]
    blob = pickle.dumps(model)
    assert b"vendrask.sklearn._" not in blob  # classes pickled by their public name
    if not exact:  # as pickled before the documents were kept beside an index
        model._fit_X = None
        again = pickle.loads(pickle.dumps(model))
        assert again._fit_X == [d.encode()[:50] for d in TRAIN]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", vendrask.DocumentWarning)  # the queries are cut too
            np.testing.assert_array_equal(again.kneighbors(TRAIN[:9])[1],
                                          model.kneighbors(TRAIN[:9])[1])
