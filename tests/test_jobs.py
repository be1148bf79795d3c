"""How a many-pair job ends: at interpreter exit inside a daemon thread, out of
memory or threads, stopped by progress or Ctrl-C. Each runs in a fresh
interpreter, since some of these end or cripple the process."""
import os
import textwrap

import pytest

# ASan reserves terabytes of address space and keeps freed memory in
# quarantine: caps on it and RSS figures mean nothing there.
SANITIZED = bool(os.environ.get("VENDRASK_SANITIZED"))
needs_plain_memory = pytest.mark.skipif(SANITIZED, reason="address-space caps and RSS under ASan")

PRELUDE = textwrap.dedent("""
    import os, resource, signal, sys, threading, time
    import numpy as np
    import vendrask
    docs = [b"doc %d " % i * (40 + i % 7) for i in range(400)]
    vendrask.matrix(docs[:3])  # load everything before any cap

    def vm_size():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))

    def cap(extra_mib):
        limit = vm_size() + int(extra_mib * 1024 * 1024)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
""")


def run(run_python, code):
    done = run_python(PRELUDE + textwrap.dedent(code))
    assert "Traceback" not in done.stderr and "terminate" not in done.stderr, done.stderr
    return done


def test_a_daemon_thread_inside_a_job_does_not_abort_the_exit(run_python):
    done = run(run_python, """
        threading.Thread(target=lambda: vendrask.matrix(docs * 4, workers=2), daemon=True).start()
        time.sleep(0.5)
        print("exiting")
    """)
    assert (done.returncode, done.stdout) == (0, "exiting\n")


@needs_plain_memory
@pytest.mark.parametrize("extra_mib", [1, 4, 8.3, 8.6, 9, 16.5, 17.5, 24])
def test_running_out_of_memory_or_threads_is_an_exception(run_python, extra_mib):
    # Depending on where the cap bites: thread stacks, an arena, numpy's
    # arrays or zlib's state. Whatever it is, the caller gets an exception.
    done = run(run_python, f"""
        small = docs[:50]
        cap({extra_mib})
        for workers in (2, 1):
            try:
                vendrask.matrix(small, workers=workers)
                print("done")
            except MemoryError:
                print("MemoryError")
            except RuntimeError as error:
                print("RuntimeError:", error)
    """)
    assert done.returncode == 0, done.stderr
    for line in done.stdout.splitlines():
        assert line in ("done", "MemoryError") or line.startswith("RuntimeError: Inside Vendrask: "), line


@needs_plain_memory
def test_one_worker_and_tiny_jobs_need_no_thread(run_python):
    # Room for the arena but not for a thread's stack.
    done = run(run_python, """
        expected = vendrask.matrix(docs[:30])
        cap(3)
        print(np.array_equal(vendrask.matrix(docs[:30], workers=1), expected))
        print(vendrask.matrix([], workers=2).shape, vendrask.matrix([b"a"], workers=2).tolist())
        # No thread starts, so the calling thread runs it.
        print(np.array_equal(vendrask.matrix(docs[:30], workers=2), expected))
    """)
    assert done.stdout.splitlines() == ["True", "(0, 0) [[1.0]]", "True"]


@needs_plain_memory
def test_a_job_whose_threads_cannot_start_runs_on_the_calling_thread(run_python):
    # A sweep of address-space caps, each a soft limit that the next lifts
    # again. Nothing has started a thread before the sweep, so no freed stack
    # is cached for a worker to reuse: below a stack's size none can start.
    done = run(run_python, """
        small = docs[:30]
        expected = vendrask.matrix(small, workers=1)
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)

        def attempt(extra_mib):
            outcome, threads = "interpreter out of memory", None
            limit = vm_size() + int(extra_mib * 1024 * 1024)
            resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
            try:
                try:
                    got = vendrask.matrix(small, workers=2)
                    outcome = "exact" if np.array_equal(got, expected) else "wrong"
                    del got
                except MemoryError:
                    outcome = "MemoryError"
                except RuntimeError as error:
                    outcome = "RuntimeError: %s" % error
                # Whether a thread could start at this cap at all.
                try:
                    thread = threading.Thread(target=int)
                    thread.start()
                    thread.join()
                    threads = True
                except RuntimeError:
                    threads = False
            except MemoryError:
                pass
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            return outcome, threads

        for outcome, threads in [attempt(step / 8) for step in range(1, 97)]:
            print(outcome, threads, sep="|")
    """)
    outcomes = [line.split("|") for line in done.stdout.splitlines()]
    assert len(outcomes) == 96, done.stdout
    assert [outcome for outcome, _ in outcomes if outcome not in ("exact", "MemoryError")] == []
    # Caps at which no thread could start and yet the job was done: the ones
    # that would fail if the calling thread did not take over.
    assert ["exact", "False"] in outcomes, done.stdout


@pytest.mark.parametrize("workers", [1, 2])
def test_stopping_from_progress_or_ctrl_c_leaves_no_threads_or_memory_behind(run_python, workers):
    done = run(run_python, f"""
        def rss():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        def stop_at(n):
            calls = []
            def progress(done, total):
                calls.append(done)
                if len(calls) == n:
                    raise KeyError("stop")
            return progress

        threads = threading.active_count()
        for round in range(12):
            try:
                vendrask.nearest(docs, k=3, workers={workers}, progress=stop_at(3))
            except KeyError:
                pass
            if round == 1:
                before = rss()
        print(threading.active_count() == threads, {SANITIZED} or (rss() - before) < 8 << 20)

        main = threading.get_ident()
        timer = threading.Timer(0.3, lambda: signal.pthread_kill(main, signal.SIGINT))
        timer.start()
        start = time.monotonic()
        try:
            # Distinct documents: minutes of work, so the signal comes mid-job.
            vendrask.matrix([doc + b"%d" % k for k in range(8) for doc in docs], workers={workers})
            timer.cancel()
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - start < 5)
        timer.join()
        print(threading.active_count() == threads)
    """)
    assert done.stdout.splitlines() == ["True True", "interrupted True", "True"]


def test_all_workers_means_the_cpus_this_process_may_run_on(run_python):
    done = run(run_python, """
        from vendrask import _checks
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
        print(_checks.worker_count(-1))
    """)
    assert done.stdout == "1\n"
