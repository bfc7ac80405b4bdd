"""CPU time per call for the benchmark scripts beside it (imported, not a benchmark itself)."""
import time


def per_call(fn, min_time=0.4):
    """CPU seconds per call of fn(), best of five batches (CPU time, so that other
    processes sharing the machine disturb the figure less than wall time would)."""
    fn()
    n = 1
    while True:
        t0 = time.process_time()
        for _ in range(n):
            fn()
        if time.process_time() - t0 > min_time / 5:
            break
        n *= 2
    best = float("inf")
    for _ in range(5):
        t0 = time.process_time()
        for _ in range(n):
            fn()
        best = min(best, (time.process_time() - t0) / n)
    return best
