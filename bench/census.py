"""Times the summary's class census: the literal numpy algorithm (np.unique,
then np.sum(gt == c) per class) against the native one-pass census, with
numpy's min()+max() on the same array as the memory-bandwidth floor.

    python bench/census.py [--quick]
"""
import contextlib
import io
import statistics
import sys
import time

import numpy as np

from nivra import convert

CASES = [
    ("145x145 uint8, 17 classes", (145, 145), np.uint8, 17, 1),
    ("610x340 uint8, 10 classes", (610, 340), np.uint8, 10, 1),
    ("4096x4096 uint16, 100 classes", (4096, 4096), np.uint16, 100, 1),
    ("4096x4096 int32, 17 classes", (4096, 4096), np.int32, 17, 1),
    ("4096x4096 float32, 17 classes", (4096, 4096), np.float32, 17, 1),
    ("4096x4096 int64, 50 classes over 0..1e9", (4096, 4096), np.int64, 50, 20_000_000),
]


def median_time(run, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def literal(gt):
    for c in np.unique(gt):
        int(np.sum(gt == c))


def native(gt):
    with contextlib.redirect_stdout(io.StringIO()):
        convert._print_summary(np.zeros((1, 1), np.uint8), gt, {}, {}, ".", 0.0)


def main():
    quick = "--quick" in sys.argv
    rng = np.random.default_rng(0)
    print(f"{'case':<42} {'numpy':>9} {'native':>9} {'ratio':>7} {'min+max':>9}")
    for name, shape, dtype, classes, spread in CASES:
        if quick and shape[0] > 1000:
            continue
        gt = (rng.integers(0, classes, shape) * spread).astype(dtype)
        repeats = 5 if gt.size > 1e6 else 20
        t_literal = median_time(lambda: literal(gt), repeats)
        t_native = median_time(lambda: native(gt), repeats)
        t_floor = median_time(lambda: (gt.min(), gt.max()), repeats)
        print(f"{name:<42} {t_literal * 1e3:>7.1f}ms {t_native * 1e3:>7.1f}ms "
              f"{t_literal / t_native:>6.1f}x {t_floor * 1e3:>7.1f}ms")


if __name__ == "__main__":
    main()
