"""Eight threads calling every function at once get exactly the results of a
serial run."""
import threading

import _vendrask

JOINT = "Joint size of data should be less than 32 Kb"
WORDS = [b"alpha ", b"beta ", b"gamma ", b"delta ", b"epsilon ", b"zeta "]
DOCS = [b"".join(WORDS[(i * j) % 6] for j in range(5 + 9 * i)) for i in range(12)]
ROUNDS = 30


def workload():
    results = []
    for i, t in enumerate(DOCS):
        for s in DOCS[i:]:
            results.append(_vendrask.measure(t, s))
        try:
            _vendrask.measure(t * 2000, DOCS[0])
        except RuntimeError as failure:
            results.append(str(failure))
        results.append(_vendrask.error())
        results.append(_vendrask.adjust(results[0], i / 7))
        _vendrask.abcdefgh("TRACEUP" if i % 2 else "off")
    return results


def test_eight_threads_match_a_serial_run(quiet_stderr):
    expected = workload()
    got, start = [], threading.Barrier(8)

    def worker():
        start.wait()
        got.extend(workload() for _ in range(ROUNDS))

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    _vendrask.abcdefgh("off")
    assert JOINT in expected
    assert len(got) == 8 * ROUNDS and all(run == expected for run in got)
