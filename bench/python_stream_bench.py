"""Block.stream of a 16-channel, 60 s block at 24414.0625 Hz against reading
the same float32 matrix with h5py (ds[...]) and numpy.fromfile, in one run.

Each read runs REPEATS times, the three kinds taking turns so that the
machine's load falls on all alike, after one warm-up read each (every file
then in the page cache); the median of each is reported, and the ratios
read time / baseline read time.

    PYTHONPATH=<folder of the module> python3 bench/python_stream_bench.py
"""

import os
import statistics
import sys
import tempfile
import time

import h5py
import numpy as np

CHANNELS, SECONDS, RATE = 16, 60, 24414.0625
REPEATS = int(os.environ.get("ORVO_BENCH_REPEATS", "7"))


def main():
    with tempfile.TemporaryDirectory(prefix="orvo-bench-") as folder:
        os.environ.setdefault("ORVO_REGISTRY", os.path.join(folder, "registry.db"))
        import orvo

        samples = int(SECONDS * RATE)
        data = np.random.default_rng(1).standard_normal((CHANNELS, samples), dtype=np.float32)
        with orvo.open_tank(os.path.join(folder, "Tank"), "w") as tank:
            with tank.record("Bench") as rec:
                rec.stream("Wav1", data, RATE)
        with h5py.File(os.path.join(folder, "bench.h5"), "w") as h5:
            h5.create_dataset("wav1", data=data)
        raw = os.path.join(folder, "bench.f32")
        data.tofile(raw)

        with orvo.open_tank(os.path.join(folder, "Tank")) as tank, \
                h5py.File(os.path.join(folder, "bench.h5"), "r") as h5:
            block = tank.block("Bench")
            reads = {
                "orvo Block.stream": lambda: block.stream("Wav1").data,
                "h5py ds[...]": lambda: h5["wav1"][...],
                "numpy.fromfile": lambda: np.fromfile(raw, dtype=np.float32).reshape(CHANNELS, samples),
            }
            for name, read in reads.items():
                if not np.array_equal(read(), data):
                    sys.exit(f"{name} did not read back the matrix written")
            times = {name: [] for name in reads}
            for _ in range(REPEATS):
                for name, read in reads.items():
                    started = time.perf_counter()
                    read()
                    times[name].append(time.perf_counter() - started)

    megabytes = data.nbytes / 1e6
    print(f"{CHANNELS} channels x {samples} samples float32 ({megabytes:.0f} MB), median of {REPEATS}:")
    median = {name: statistics.median(values) for name, values in times.items()}
    for name, seconds in median.items():
        print(f"  {name:<18} {seconds * 1e3:8.1f} ms  {megabytes / seconds:7.0f} MB/s")
    ours = median["orvo Block.stream"]
    print(f"  ratio orvo / h5py:           {ours / median['h5py ds[...]']:.2f}")
    print(f"  ratio orvo / numpy.fromfile: {ours / median['numpy.fromfile']:.2f}")


if __name__ == "__main__":
    main()
