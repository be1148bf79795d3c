"""The state of a vendrask.Index: an add is all or nothing, one index is safe
to share between threads, progress only goes forward, repeated work is reused
and quiet mistakes are refused."""
import copy
import glob
import os
import pickle
import signal
import threading
import time

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import vendrask
from vendrask import _descent, _index, _progress
from vendrask._corpus import Corpus
from vendrask._sketch import Sketcher

import _vendrask  # noqa: E402
from conftest import HANG_SECONDS


def chunks(n, size=300):
    """Distinct chunks of the standard library's sources: real text, with
    near neighbours among them."""
    out, seen = [], set()
    for path in sorted(glob.glob(os.path.join(os.path.dirname(os.__file__), "*.py"))):
        data = open(path, "rb").read()
        for at in range(0, len(data) - size, size):
            chunk = data[at:at + size]
            if chunk not in seen:
                seen.add(chunk)
                out.append(chunk)
            if len(out) == n:
                return out
    return out


DOCS = chunks(400)


def answers(index):
    """Everything a search of the index gives, to compare two states."""
    return (index.nearest(DOCS[:5] + DOCS[-5:], 4), index.neighbors(3),
            index.neighbors(3, symmetric="min"), index.pairs(0.3), len(index), list(index))


def same(a, b):
    if isinstance(a, np.ndarray):
        return np.array_equal(a, b, equal_nan=True)
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def saved(index, path):
    index.save(path)
    return path.read_bytes()


# -- progress


def _checked(calls):
    """Asserts that the reports only went forward and ended once, at the end."""
    assert calls, "no report"
    for (done0, total0), (done1, total1) in zip(calls, calls[1:]):
        assert total1 >= total0 and done1 >= done0, calls
        assert done1 * total0 >= done0 * total1, f"went back: {done0}/{total0} -> {done1}/{total1}"
    assert all(done < total for done, total in calls[:-1]), calls
    assert calls[-1][0] == calls[-1][1]


@settings(max_examples=200, deadline=None)
@given(st.integers(0, 5000), st.lists(st.tuples(st.integers(0, 3000), st.integers(0, 3000),
                                                st.integers(0, 4)), max_size=12))
def test_a_job_s_progress_only_goes_forward_whatever_its_estimate(estimate, batches):
    # Each batch raises the known total, then counts in a few reports; now
    # and then another job does the rest of it.
    calls = []
    job = _progress.JobProgress(lambda done, total: calls.append((done, total)), 0, estimate)
    for raised, count, reports in batches:
        job.total += raised
        report = job.batch(count)
        for k in range(1, reports + 1):
            report(count * k // reports, count)
        job.advance(count)
        job.poll()
        if reports == 4:
            rest = job.rest()
            for k in range(raised + 1):
                rest(k, raised)
    job.finish()
    _checked(calls)


def test_a_job_whose_size_is_known_reports_its_counts_as_they_are():
    calls = []
    job = _progress.JobProgress(lambda *report: calls.append(report), 10)
    for _ in range(10):
        job.batch(1)(1, 1)
        job.advance(1)
    job.finish()
    assert calls == [(k, 10) for k in range(1, 10)] + [(9, 10), (10, 10)]


# -- reused work and quiet mistakes


BAD_THRESHOLDS = [("0.5", "str"), (None, "None"), (True, "a bool"), ([0.5], "list"),
                  (np.bool_(True), "a bool")]


@pytest.mark.parametrize("call, name", [
    (lambda v: vendrask.Index(DOCS[:3]).pairs(v), "threshold"),
    (lambda v: vendrask.Index(DOCS[:3]).clusters(v), "threshold"),
    (lambda v: vendrask.pairs(DOCS[:3], threshold=v), "threshold"),
    (lambda v: vendrask.nearest(DOCS[:3], score_cutoff=v), "score_cutoff"),
])
@pytest.mark.parametrize("value, what", BAD_THRESHOLDS)
def test_thresholds_that_are_not_numbers_are_refused(call, name, value, what):
    if value is None and name == "score_cutoff":
        return  # no cutoff at all
    with pytest.raises(TypeError, match=f"^{name} must be a number, not {what}$"):
        call(value)


@pytest.mark.parametrize("value", [np.float32(0.5), np.float64(0.5), np.int64(0), 1, 0.5,
                                   np.array(0.5)])
def test_thresholds_of_numpy_and_python_numbers_are_taken(value):
    index = vendrask.Index(DOCS[:20])
    assert same(index.pairs(value), index.pairs(float(value)))


@pytest.mark.parametrize("call", [
    lambda: vendrask.Index(DOCS[:3], max_bytes=0),
    lambda: vendrask.cdist(DOCS[:2], DOCS[:2], max_bytes=0),
    lambda: vendrask.scorer(DOCS[0], DOCS[1], max_bytes=0),
])
def test_max_bytes_of_zero_is_refused(call):
    # Every document cut to nothing: every pair would score 1.0.
    with pytest.raises(ValueError, match="^max_bytes must be None or at least 1, not 0$"):
        call()


def test_neighbour_estimators_without_n_neighbors_say_what_is_missing():
    sk = pytest.importorskip("vendrask.sklearn")
    docs = [d.decode("latin-1") for d in DOCS[:12]]
    fitted = sk.NearestNeighbors(n_neighbors=None).fit(docs)
    with pytest.raises(ValueError, match="n_neighbors is needed: pass n_neighbors= to kneighbors"):
        fitted.kneighbors()
    assert fitted.kneighbors(n_neighbors=2)[1].shape == (12, 2)
    for estimator in (sk.KNeighborsClassifier(n_neighbors=None),
                      sk.KNeighborsRegressor(n_neighbors=None)):
        with pytest.raises(TypeError, match="n_neighbors must be a whole number, not None"):
            estimator.fit(docs, [0, 1] * 6)
    with pytest.raises(TypeError, match="n_neighbors must be a whole number, not None"):
        sk.KNeighborsTransformer(n_neighbors=None).fit(docs)

