import gc
import subprocess
import sys
import threading
import time

import numpy as np

import orvo

READER = """
import sys, orvo
block = orvo.open_tank(sys.argv[1]).block("Live")
read = block.stream("Wav1")
print(block.recording, read.recording, read.data.shape[1], read.data[1, -1])
"""


def test_a_block_still_recording_is_read_by_another_process(tank, tank_path):
    data = np.arange(2 * 1000, dtype=np.float32).reshape(2, 1000)
    with tank.record("Live") as rec:
        rec.stream("Wav1", data, 1000.0)
        out = subprocess.run([sys.executable, "-c", READER, tank_path], capture_output=True, text=True,
                             check=True).stdout.split()
        assert out == ["True", "True", "1000", "1999.0"]
        rec.stream("Wav1", data, 1000.0, t0=1.0)
    out = subprocess.run([sys.executable, "-c", READER, tank_path], capture_output=True, text=True,
                         check=True).stdout.split()
    assert out == ["False", "False", "2000", "1999.0"]


def resident_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def test_repeated_reads_do_not_grow(tank):
    with tank.record("B") as rec:
        rec.stream("Wav1", np.ones((4, 5000), np.float32), 10000.0)
        rec.snippets("Snip", np.arange(200) / 100.0, np.ones((200, 32)), np.ones(200, int), np.zeros(200, int))
        rec.epoc("Freq", np.ones(10), np.arange(10) / 5.0)
    block = tank.block("B")

    def reads(count):
        for _ in range(count):
            block.stream("Wav1")
            block.stream("Wav1", channels=[2, 1])
            block.events("Snip")
            block.epocs("Freq")
            block.trials("Wav1", "Freq = 1", window=(0.0, 0.01))
        gc.collect()
        return resident_kib()

    reads(10)
    settled = reads(40)
    assert reads(80) - settled < 1024


def test_a_read_lets_other_threads_run(tank):
    with tank.record("B") as rec:
        rec.stream("Wav1", np.ones((16, 50000), np.float32), 24414.0625)
    block = tank.block("B")
    counts = []
    stop = threading.Event()

    def count():
        n = 0
        while not stop.is_set():
            n += 1
            if n % 1000 == 0:
                counts.append(time.perf_counter())

    # Holding the interpreter lock through the read would leave the
    # counter no turn until it ends.
    worker = threading.Thread(target=count)
    worker.start()
    try:
        time.sleep(0.05)
        started = time.perf_counter()
        block.stream("Wav1")
        ended = time.perf_counter()
    finally:
        stop.set()
        worker.join()
    assert sum(started < t < ended for t in counts) > 10
