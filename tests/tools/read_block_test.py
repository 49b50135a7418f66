"""A block the demo records, read by tools/read_block.py (numpy and the
storage document only) and by the library through orvo: the two agree on
every stream sample, epoc and snippet, and on where a flipped byte lies."""

import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))
import read_block  # noqa: E402


def orvo(*args, env):
    return subprocess.run([os.environ["ORVO_PROGRAM"], *map(str, args)], env=env, capture_output=True, text=True)


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    """The demo's tank folder and the environment that finds its registry."""
    folder = tmp_path_factory.mktemp("demo")
    env = dict(os.environ, ORVO_REGISTRY=str(folder / "registry.db"))
    made = orvo("demo", folder, "--seconds", "2", env=env)
    assert made.returncode == 0, made.stderr
    return folder / "OrvoDemo", env


def exported(demo, store, tmp_path):
    tank, env = demo
    path = tmp_path / f"{store}.npy"
    done = orvo("export", tank, "Block-1", store, "--format", "npy", "-o", path, env=env)
    assert done.returncode == 0, done.stderr
    return np.load(path)


def test_streams_epocs_and_snippets_read_as_the_library_reads_them(demo, tmp_path):
    block = read_block.Block(demo[0] / "Block-1")
    block.verify()
    assert sorted(kind for _, kind, _ in block.stores()) == ["scalar", "snip", "stream", "strobe+"]

    channels, start, _, waves = block.read_stream("Wav1")
    library = exported(demo, "Wav1", tmp_path)
    assert channels == list(range(1, 17)) and start == 0.0
    assert waves.dtype == library.dtype == np.float32 and waves.shape == library.shape
    assert np.array_equal(waves.view(np.uint32), library.view(np.uint32))

    library = exported(demo, "Freq", tmp_path)
    np.testing.assert_array_equal(block.read_epocs("Freq"),
                                  np.column_stack([library["value"], library["time_s"], library["offset_s"]]))

    snippets = block.read_snippets("Snip")
    library = exported(demo, "Snip", tmp_path)
    for ours, theirs in (("time", "time_s"), ("channel", "channel"), ("sort_code", "sort_code"), ("values", "values")):
        np.testing.assert_array_equal(snippets[ours], library[theirs])


def frame(headers, record):
    """(data offset, data length) of a record, from its frame's bytes."""
    return struct.unpack_from("<QI", headers, 16 + 72 * record + 8)


# A frame in the middle of the header file (one at its end would be a torn
# tail, no damage), and the data of the file's last record that has data.
@pytest.mark.parametrize("file", ["events.hdr", "events.dat"])
def test_a_flipped_byte_is_reported_by_both_at_the_same_place(demo, tmp_path, file):
    tank = tmp_path / "OrvoDemo"
    shutil.copytree(demo[0], tank)
    path = tank / "Block-1" / file
    headers = (tank / "Block-1" / "events.hdr").read_bytes()
    frames = (len(headers) - 16) // 72
    if file == "events.hdr":
        record = frames // 2
        flip = place = 16 + 72 * record
        flip += 24 + 16  # a byte of the time stamp
    else:
        record = max(r for r in range(frames) if frame(headers, r)[1] > 0)
        place, length = frame(headers, record)
        flip = place + length - 1
    damaged = bytearray(path.read_bytes())
    damaged[flip] ^= 0x40
    path.write_bytes(damaged)

    with pytest.raises(read_block.Damaged) as raised:
        read_block.Block(tank / "Block-1").verify()
    assert (raised.value.path, raised.value.offset) == (str(path), place)
    assert f"record {record}:" in str(raised.value)

    checked = orvo("check", tank, env=demo[1])
    assert checked.returncode == 1
    found = re.search(r"record (\d+) of .*: (?:damaged frame|data checksum mismatch) at offset (\d+) of (\S+?)(?:;|\n)",
                      checked.stdout)
    assert found, checked.stdout
    assert (int(found[1]), int(found[2]), found[3]) == (record, place, str(path))
