"""Accuracy and time of vendrask.sklearn.KNeighborsClassifier on raw documents.

The corpus is built on this machine: chunks of about 1 KB (cut at line ends)
of source files labelled by language, Python from /usr/lib/python3*, C
headers from /usr/include, Perl from /usr/share/perl*, shell scripts from
/usr/bin and /usr/sbin. Files are split into train and test (no file gives
chunks to both sides), at most --per-file chunks of a file, each chunk's bytes
once (licence headers repeat across files).

Side by side, on the same split:
- vendrask's KNeighborsClassifier with exact=True (every pair scored) and
  with the default index (exact=False);
- scikit-learn's KNeighborsClassifier(metric="precomputed") on 1 - our
  vendrask.cdist(test, train) (the fitted matrix is a placeholder: with the
  queries' distances given, scikit-learn reads nothing else);
- TF-IDF of character 1-3-grams + LogisticRegression.
It reports accuracy, CPU seconds of this process (fit and predict, summed
over its --workers threads), the share of predictions equal to the exact
estimator's, and how many test rows had a tied vote; --leave-one-out adds
the time and accuracy of each vendrask estimator's predict(None), every
training document from its neighbours without itself. Goals it reports, not asserts: the exact
estimator's predictions identical to scikit-learn's; the default within 0.5
accuracy points of the exact one at no more than 20% of its time.

    python bench/sklearn_bench.py --train 1000 --test 200   # about a minute on 2 cores
    python bench/sklearn_bench.py                           # 10 000 / 2 000: tens of minutes
"""
import argparse
import glob
import os
import re
import sys
import time

import numpy as np

SHEBANG = re.compile(rb"#! ?(/usr)?/bin/(env +)?(ba|da)?sh\b")


def source_files():
    """{language: [paths]}."""
    python = glob.glob("/usr/lib/python3*/**/*.py", recursive=True)
    c = glob.glob("/usr/include/**/*.h", recursive=True)
    perl = [p for pattern in ("/usr/share/perl*/**/*.pm", "/usr/share/perl*/**/*.pl")
            for p in glob.glob(pattern, recursive=True)]
    shell = []
    for path in glob.glob("/usr/bin/*") + glob.glob("/usr/sbin/*"):
        if os.path.isfile(path) and not os.path.islink(path):
            try:
                with open(path, "rb") as file:
                    if SHEBANG.match(file.read(40)):
                        shell.append(path)
            except OSError:
                pass
    found = {"Python": python, "C": c, "Perl": perl, "shell": shell}
    return {lang: sorted(p for p in paths if os.path.isfile(p)) for lang, paths in found.items()}


def chunks_of(text, size=1024):
    """Consecutive chunks of at least ``size`` bytes, each ending at the
    first line end after that; a shorter tail is dropped."""
    chunks, start = [], 0
    while len(text) - start >= size:
        end = text.find(b"\n", start + size) + 1 or len(text)
        if end - start <= 2 * size:  # a chunk of one huge line is no ~1 KB chunk
            chunks.append(text[start:end])
        start = end
    return chunks


def labelled(n_train, n_test, per_file, rng):
    """(train, train_labels, test, test_labels): every fifth file of a
    language (in a seeded order) for testing; the languages as balanced as
    their chunks allow, a language short of chunks leaving its share to the
    others."""
    files = source_files()
    pools = {}
    seen = set()
    for lang, paths in files.items():
        sides = {"train": [], "test": []}
        for k, index in enumerate(rng.permutation(len(paths))):
            side = "test" if k % 5 == 0 else "train"
            if len(sides["train"]) >= n_train and len(sides["test"]) >= n_test:
                break
            if len(sides[side]) >= (n_test if side == "test" else n_train):
                continue
            try:
                with open(paths[index], "rb") as file:
                    text = file.read(1 << 20)
            except OSError:
                continue
            chunks = [c for c in chunks_of(text) if c not in seen]
            if len(chunks) > per_file:
                chunks = [chunks[i] for i in sorted(rng.choice(len(chunks), per_file,
                                                               replace=False))]
            seen.update(chunks)
            sides[side].extend(chunks)
        pools[lang] = sides
    out = []
    for side, n in (("train", n_train), ("test", n_test)):
        docs, labels, left = [], [], n
        # Water-filling: the shortest pools first, each taking at most an even share.
        by_size = sorted(pools, key=lambda lang: len(pools[lang][side]))
        for taken, lang in enumerate(by_size):
            pool = pools[lang][side]
            count = min(len(pool), left // (len(by_size) - taken))
            pick = np.sort(rng.choice(len(pool), count, replace=False))
            docs += [pool[i] for i in pick]
            labels += [lang] * count
            left -= count
        order = rng.permutation(len(docs))
        out += [[docs[i] for i in order], np.asarray(labels)[order]]
    return out


def timed(work):
    """(result, CPU seconds): the process's CPU time, every thread's, which
    other jobs on the machine leave alone as they do not wall-clock time."""
    start = time.process_time()
    result = work()
    return result, time.process_time() - start


def predict_with_shares(model, test):
    """predict and predict_proba from one search: with uniform weights every
    share is votes / k, so the first class at the top is predict's answer."""
    shares = model.predict_proba(test)
    return model.classes_[np.argmax(shares, axis=1)], shares


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--train", type=int, default=10000, help="training chunks (10000)")
    parser.add_argument("--test", type=int, default=2000, help="test chunks (2000)")
    parser.add_argument("-k", "--neighbors", type=int, default=5, help="n_neighbors (5)")
    parser.add_argument("--symmetric", default="mean", choices=["mean", "min", "max", "none"],
                        help="direction of the score (mean)")
    parser.add_argument("--per-file", type=int, default=8, help="chunks of a file at most (8)")
    parser.add_argument("--workers", type=int, default=-1, help="threads, -1 every CPU (-1)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--skip-precomputed", action="store_true",
                        help="leave out scikit-learn on the precomputed matrix (a second "
                             "exact scoring of every pair)")
    parser.add_argument("--leave-one-out", action="store_true",
                        help="also time the vendrask estimators' predict(None)")
    options = parser.parse_args()
    if options.train < options.neighbors or options.test < 1:
        parser.error("--train must be at least -k, --test at least 1")
    try:
        import vendrask
        from sklearn.feature_extraction.text import TfidfVectorizer
        from sklearn.linear_model import LogisticRegression
        from sklearn.neighbors import KNeighborsClassifier
        from sklearn.pipeline import make_pipeline
        from scipy import sparse
        from vendrask import sklearn as vsk
    except ImportError as error:
        sys.exit(f"sklearn_bench.py: needs vendrask, scikit-learn and scipy ({error})")
    import warnings
    warnings.simplefilter("ignore", vendrask.DocumentWarning)

    rng = np.random.default_rng(options.seed)
    train, y_train, test, y_test = labelled(options.train, options.test, options.per_file, rng)
    symmetric = None if options.symmetric == "none" else options.symmetric
    k, workers = options.neighbors, options.workers
    langs = sorted(set(y_train))
    print(f"{len(train)} train and {len(test)} test chunks of "
          f"{np.mean([len(d) for d in train]):.0f} bytes on average; "
          + ", ".join(f"{lang} {int((y_train == lang).sum())}/{int((y_test == lang).sum())}"
                      for lang in langs)
          + f"; k={k}, symmetric={symmetric}, n_jobs={workers}", flush=True)

    rows = []  # (name, predictions, fit seconds, predict seconds)
    ties = []
    loo = []  # (name, accuracy on the training documents, seconds)

    def run(name, model, fit_X, predict_X, votes=False):
        fitted, fit_time = timed(lambda: model.fit(fit_X, y_train))
        if votes:  # the vote shares too, for counting ties, from one search
            (pred, shares), predict_time = timed(lambda: predict_with_shares(fitted, predict_X))
            ties.append(int(((shares == shares.max(axis=1, keepdims=True)).sum(axis=1) > 1).sum()))
        else:
            pred, predict_time = timed(lambda: fitted.predict(predict_X() if callable(predict_X)
                                                              else predict_X))
        rows.append((name, pred, fit_time, predict_time))
        print(f"  {name}: fit {fit_time:.2f} CPU s, predict {predict_time:.2f} CPU s", flush=True)
        if options.leave_one_out and isinstance(fitted, vsk.KNeighborsClassifier):
            own, own_time = timed(lambda: fitted.predict(None))
            loo.append((name, 100 * np.mean(own == y_train), own_time))
            print(f"  {name}: predict(None) {own_time:.2f} CPU s", flush=True)
        return fitted

    run("vendrask exact=True", vsk.KNeighborsClassifier(
        k, symmetric=symmetric, exact=True, n_jobs=workers), train, test, votes=True)
    index_model = run("vendrask default (index)", vsk.KNeighborsClassifier(
        k, symmetric=symmetric, n_jobs=workers), train, test)
    if not options.skip_precomputed:
        # Scoring the queries against the training documents is its prediction's cost.
        run("scikit-learn precomputed", KNeighborsClassifier(k, metric="precomputed"),
            sparse.eye(len(train), format="csr"),
            lambda: 1.0 - vendrask.cdist(test, train, symmetric=symmetric, workers=workers))
    run("TF-IDF char 1-3 + LogisticRegression",
        make_pipeline(TfidfVectorizer(analyzer="char", ngram_range=(1, 3), sublinear_tf=True,
                                      decode_error="replace"),
                      LogisticRegression(max_iter=1000)), train, test)

    exact_pred, exact_time = rows[0][1], rows[0][2] + rows[0][3]
    print()
    print("| method | accuracy % | fit CPU s | predict CPU s | total / exact | same as exact |")
    print("|---|---|---|---|---|---|")
    for name, pred, fit_time, predict_time in rows:
        print(f"| {name} | {100 * np.mean(pred == y_test):.2f} | {fit_time:.2f} | "
              f"{predict_time:.2f} | {(fit_time + predict_time) / exact_time:.2f} | "
              f"{100 * np.mean(pred == exact_pred):.2f}% |")
    print()
    print(f"tied votes (exact): {ties[0]} of {len(test)} test rows, each given to the first "
          f"tied class as scikit-learn does")
    if not options.skip_precomputed:
        same = bool(np.array_equal(rows[2][1], exact_pred))
        print(f"goal: exact predictions identical to scikit-learn's on the precomputed matrix: "
              f"{'met' if same else 'MISSED'}")
    points = 100 * (np.mean(rows[1][1] == y_test) - np.mean(exact_pred == y_test))
    share = (rows[1][2] + rows[1][3]) / exact_time
    met = points >= -0.5 and share <= 0.2
    print(f"goal: default within 0.5 accuracy points of exact ({points:+.2f} points) at no more "
          f"than 20% of its time (fit + predict: {100 * share:.0f}%; predict alone: "
          f"{100 * rows[1][3] / exact_time:.0f}%): {'met' if met else 'MISSED'}")
    for name, accuracy, seconds in loo:
        print(f"leave-one-out, {name}: accuracy {accuracy:.2f}%, {seconds:.2f} CPU s")
    info = index_model.index_.info()
    print(f"index: {info['documents']} documents, {info['distinct']} distinct, "
          f"degree {info['degree']}, {info['bytes'] / 2**20:.1f} MiB")


if __name__ == "__main__":
    main()
