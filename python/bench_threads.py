"""Threads benchmark: encode_hq over many sounds of a few seconds with a
ThreadPoolExecutor of one thread and of two, interleaved round by round in
one run, and the ratio of their speeds. The library releases the interpreter
lock in every call, so two threads on two cores should come close to twice
one thread's speed.

    python3 bench_threads.py [--sounds N] [--seconds S] [--rounds R] [--width W]
"""

import argparse
import concurrent.futures
import os
import platform
import statistics
import time

import numpy as np

import nbz


def sounds(count, seconds, rate=22050):
    """Synthetic sounds: decaying tones over noise, different for each seed."""
    made = []
    for seed in range(count):
        generator = np.random.default_rng(seed)
        t = np.arange(int(seconds * rate)) / rate
        tone = np.sin(2 * np.pi * generator.uniform(80, 2000) * t) * np.exp(-t * generator.uniform(0.2, 3))
        noise = generator.normal(0, 0.05, t.size)
        made.append(np.clip((tone * 0.6 + noise) * 32767, -32768, 32767).astype(np.int16))
    return made


def encode_all(executor, batch, width):
    start = time.perf_counter()
    for _ in executor.map(lambda pcm: nbz.encode_hq(pcm, width=width), batch):
        pass
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sounds", type=int, default=16)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--width", type=int, default=64)
    args = parser.parse_args()

    batch = sounds(args.sounds, args.seconds)
    samples = sum(pcm.size for pcm in batch)
    print(f"nbz {nbz.__version__} (search kernel {nbz.search_kernel()}), Python {platform.python_version()}, "
          f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f}")
    print(f"{args.sounds} sounds of {args.seconds} s at 22050 Hz, width {args.width}, {args.rounds} rounds")
    ratios = []
    with concurrent.futures.ThreadPoolExecutor(1) as one, concurrent.futures.ThreadPoolExecutor(2) as two:
        encode_all(two, batch[:2], args.width)  # warm up both pools
        encode_all(one, batch[:1], args.width)
        for round_number in range(1, args.rounds + 1):
            t1 = encode_all(one, batch, args.width)
            t2 = encode_all(two, batch, args.width)
            ratios.append(t1 / t2)
            print(f"round {round_number}: 1 thread {samples / t1 / 1e6:.2f} M samples/s, "
                  f"2 threads {samples / t2 / 1e6:.2f} M samples/s, ratio {t1 / t2:.2f}")
    print(f"two threads over one: {statistics.median(ratios):.2f} (median of {args.rounds} rounds)")


if __name__ == "__main__":
    main()
