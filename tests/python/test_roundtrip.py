import numpy as np
import pytest

import orvo

RATE = 24414.0625


def test_version():
    assert orvo.__version__.count(".") == 2


def test_every_store_kind_reads_back_as_written(tank):
    rng = np.random.default_rng(7)
    # Not a whole number of records, so the last one is shorter.
    floats = rng.standard_normal((3, 1000)).astype(np.float32) * np.float32(1e-4)
    # Big-endian, and every other column: converted on the way in.
    shorts = rng.integers(-32768, 32768, size=(2, 1204), dtype=np.int16).astype(">i2")[:, ::2]
    waveforms = rng.standard_normal((3, 30)).astype(np.float32)
    with tank.record("Rec") as rec:
        assert rec.block == "Rec"
        rec.stream("Wav1", floats, RATE)
        rec.stream("Shrt", shorts, 1000.0, t0=1.5)
        rec.epoc("Freq", [500.0, 1000.0, 500.0], [0.01, 0.02, 0.03], [0.015, 0.03, np.nan])
        rec.scalar("Temp", [0.0, 0.5, 0.5], [37.0, -1e300, 2.5], channel=3)
        rec.snippets("Snip", [0.001, 0.002, 0.01], waveforms, [1, 2, 65535], [0, -32768, 32767], rate=RATE)

    block = tank.block("Rec")
    assert not block.recording
    stores = block.stores
    assert {name: s.kind for name, s in stores.items()} == {
        "Wav1": "stream", "Shrt": "stream", "Freq": "epoc", "Temp": "scalar", "Snip": "snippet"}
    assert (stores["Wav1"].rate, stores["Wav1"].channels, stores["Wav1"].format) == (RATE, [1, 2, 3], "Float")
    assert stores["Shrt"].format == "Short"
    assert stores["Freq"].count == 3 and stores["Snip"].count == 3

    wav = block.stream("Wav1")
    assert wav.data.dtype == np.float32 and wav.data.flags.c_contiguous
    assert (wav.start, wav.rate, wav.channels, wav.recording) == (0.0, RATE, [1, 2, 3], False)
    assert wav.data.tobytes() == floats.tobytes()

    short = block.stream("Shrt")
    assert short.start == 1.5
    np.testing.assert_array_equal(short.data, shorts.astype(np.float32))

    epocs = block.epocs("Freq")
    np.testing.assert_array_equal(epocs["value"], [500.0, 1000.0, 500.0])
    np.testing.assert_array_equal(epocs["onset"], [0.01, 0.02, 0.03])
    # An offset at the very time of the next onset still ends its epoc.
    np.testing.assert_array_equal(epocs["offset"], [0.015, 0.03, np.nan])

    temp = block.events("Temp")
    np.testing.assert_array_equal(temp["time"], [0.0, 0.5, 0.5])
    np.testing.assert_array_equal(temp["value"], [37.0, -1e300, 2.5])
    assert set(temp["channel"]) == {3}

    snip = block.events("Snip")
    np.testing.assert_array_equal(snip["channel"], [1, 2, 65535])
    np.testing.assert_array_equal(snip["sort_code"], [0, -32768, 32767])
    assert snip["waveform"].shape == (3, 30)
    assert snip["waveform"].tobytes() == waveforms.tobytes()


@pytest.fixture
def ramp(tank):
    # Sample i of channel c holds c * 10000 + i, at 100 Hz from 1 s.
    data = (np.arange(1, 5)[:, None] * 10000 + np.arange(700)).astype(np.float32)
    with tank.record("Ramp") as rec:
        rec.stream("Ramp", data, 100.0, t0=1.0)
        rec.epoc("Tone", [1.0, 2.0, 1.0], [2.0, 3.0, 4.0], [2.5, 3.5, 4.5])
        rec.epoc("Cues", [1.0, 1.0], [0.5, 4.0])
    return tank.block("Ramp"), data


@pytest.mark.parametrize("t1, t2, first, count", [
    (0.0, None, 0, 700),     # from the store's first sample, not the block's start
    (2.0, 3.0, 100, 100),    # t2 is not included
    (2.005, 3.0, 101, 99),   # between samples: from the next one
    (7.99, None, 699, 1),    # the last sample alone
    (7.99, 8.0, 699, 1),     # a window ending exactly at the store's end
    (5.0, 100.0, 400, 300),  # past the end: up to the last sample
])
def test_stream_window(ramp, t1, t2, first, count):
    block, data = ramp
    read = block.stream("Ramp", t1=t1, t2=t2)
    assert read.start == pytest.approx(1.0 + first / 100.0)
    np.testing.assert_array_equal(read.data, data[:, first:first + count])
    np.testing.assert_allclose(read.times[[0, -1]], 1.0 + np.array([first, first + count - 1]) / 100.0)


def test_stream_channels_in_the_order_asked(ramp):
    block, data = ramp
    read = block.stream("Ramp", channels=[4, 2], t1=2.0, t2=2.5)
    assert read.channels == [4, 2]
    np.testing.assert_array_equal(read.data, data[[3, 1], 100:150])
    np.testing.assert_array_equal(np.asarray(read, dtype=np.float64), read.data)


def test_trials_by_filter_and_window(ramp):
    block, data = ramp
    trials = block.trials("Ramp", "Tone = 1", channel=2, window=(-0.1, 0.2))
    np.testing.assert_allclose(trials.onsets, [2.0, 4.0])
    assert (trials.start, trials.rate) == (-0.1, 100.0)
    # The grid holds the samples at both ends of the window.
    assert trials.data.shape == (2, 31)
    np.testing.assert_array_equal(trials.data[0], data[1, 90:121])
    np.testing.assert_array_equal(trials.data[1], data[1, 290:321])

    # A window the block's start cuts leaves its trial out; windows that run
    # into each other cannot be told apart.
    late = block.trials("Ramp", "Cues = 1", channel=2, window=(-1.0, 0.5))
    np.testing.assert_allclose(late.onsets, [4.0])
    np.testing.assert_array_equal(late.data, data[1:2, 200:351])
    with pytest.raises(ValueError, match="overlap"):
        block.trials("Ramp", "Tone = 1", window=(-0.1, 2.5))

    # Without a window each trial spans its epoc.
    own = block.trials("Ramp", "Tone = 2")
    np.testing.assert_allclose(own.onsets, [3.0])
    np.testing.assert_array_equal(own.data[0, :50], data[0, 200:250])


def test_block_listing(tank):
    with tank.record() as rec:
        rec.scalar("Temp", [0.0], [1.0])
        assert [b.name for b in tank.blocks] == [rec.block]
        assert tank.blocks[0].recording
    block = tank.blocks[0]
    assert not block.recording
    assert block.duration == pytest.approx(block.stop - block.start)
    assert block.start > 1.5e9
