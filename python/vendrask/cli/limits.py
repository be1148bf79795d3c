"""The joint size limit as the command applies it: which documents --errors
skip leaves out, which it names as over the limit with some other, and how a
pair over the limit is told. The rules themselves are vendrask._pairs'; here
the documents are the byte strings the command scores (see reading.scored).

Kept free of numpy at load time so that ``vendrask measure`` starts as fast
as the module.
"""
from .. import JOINT_SIZE_LIMIT, _pairs
from .errors import shown

HALF_LIMIT = _pairs.HALF_LIMIT  # 16384: two documents shorter than this always fit
fits = _pairs.fits


def over_limit(t, s):
    """The message for two Texts over the joint size limit together."""
    if t.length is not None and s.length is not None:
        return (f"are {t.length} + {s.length} = {t.length + s.length} bytes together, "
                f"over the joint size limit of {JOINT_SIZE_LIMIT} bytes")
    long = t if t.length is None else s
    return (f"are over the joint size limit of {JOINT_SIZE_LIMIT} bytes together "
            f"({shown(long.label)} is longer than that: reading stopped at "
            f"{JOINT_SIZE_LIMIT + 1} bytes)")


def unpaired(ts, ss=None):
    """Positions in ``ts`` (and ``ss``) of the documents that --errors skip
    leaves out: long ones that pair with no other document (or with no
    document of the other list); see _pairs.unpaired.

    With ``ss`` None, ``ts`` is one list against itself and a document's own
    position does not count; alone in the list, it is kept.
    """
    if ss is None:
        gone = _unpaired_against(ts, ts, itself=True)
        return gone, gone
    return _unpaired_against(ts, ss), _unpaired_against(ss, ts)


def _unpaired_against(docs, others, itself=False):
    """``unpaired`` of ``docs`` against ``others``; ``itself``: the first
    positions of ``others`` are ``docs``, and a position does not pair with
    itself."""
    (xs, ys), lengths = _ids(docs, others)
    return _pairs.unpaired(xs, ys, itself, lengths).tolist()


def over_with_some(docs, others=None):
    """Positions in ``docs`` of the documents over the joint limit with some
    other (different) document: of ``docs`` itself, or of ``others``."""
    import numpy as np
    (xs, ys), lengths = _ids(docs, docs if others is None else others)
    distinct_xs, where = np.unique(xs, return_inverse=True)
    bad = _pairs.unfit(distinct_xs, np.unique(ys), lengths, np.zeros(len(lengths), dtype=bool))
    return np.flatnonzero(bad[where.reshape(-1)]).tolist()


def _ids(*lists):
    """Each list of byte strings as ids by content, and each id's length."""
    import numpy as np
    ids, lengths, out = {}, [], []
    for docs in lists:
        row = []
        for doc in docs:
            at = ids.get(doc)
            if at is None:
                at = ids[doc] = len(lengths)
                lengths.append(len(doc))
            row.append(at)
        out.append(np.array(row, dtype=np.int64))
    return out, np.array(lengths, dtype=np.int64)
