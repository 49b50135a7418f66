import numpy as np
import pytest

import orvo


def test_library_failures_raise_its_error(tmp_path):
    assert issubclass(orvo.Error, RuntimeError)
    with pytest.raises(orvo.Error, match="cannot open the tank"):
        orvo.open_tank(str(tmp_path / "missing"))


def test_a_closed_tank_or_recording_refuses(tank):
    rec = tank.record("R")
    rec.close()
    with pytest.raises(orvo.Error, match="ended"):
        rec.scalar("Temp", [1.0], [1.0])
    tank.close()
    with pytest.raises(orvo.Error, match="closed"):
        tank.blocks


def test_recording_needs_a_tank_open_for_writing(tank_path):
    orvo.open_tank(tank_path, "w").close()
    with orvo.open_tank(tank_path) as tank:
        with pytest.raises(orvo.Error, match="mode=\"w\""):
            tank.record()
    with pytest.raises(ValueError, match="mode"):
        orvo.open_tank(tank_path, "a")


def test_the_block_ends_even_on_an_exception(tank):
    with pytest.raises(KeyError):
        with tank.record("B") as rec:
            rec.scalar("Temp", [1.0], [2.0])
            raise KeyError
    assert not tank.block("B").recording
    with pytest.raises(orvo.Error, match="ended"):
        rec.scalar("Temp", [3.0], [2.0])


@pytest.mark.parametrize("call, error", [
    (lambda r: r.stream("Wav1", np.zeros((2, 10), np.int32), 100.0), TypeError),
    (lambda r: r.stream("Wav1", np.array([["a"]]), 100.0), TypeError),
    (lambda r: r.stream("Wav1", np.zeros(10, np.float32), 100.0), ValueError),
    (lambda r: r.stream("Wav1", np.zeros((2, 0), np.float32), 100.0), ValueError),
    (lambda r: r.stream("Wav1", np.zeros((1, 3), np.int16), 100.0), ValueError),  # odd int16 count
    (lambda r: r.stream("Wav1", np.zeros((1, 4)), 0.0), ValueError),
    (lambda r: r.stream("Wav1", np.zeros((1, 4)), 1e40), ValueError),  # no float rate
    (lambda r: r.stream("Wav1", np.zeros((1, 4)), 100.0, t0=-1.0), ValueError),
    (lambda r: r.stream("Wave1", np.zeros((1, 4)), 100.0), ValueError),
    (lambda r: r.stream("W v", np.zeros((1, 4)), 100.0), ValueError),
    (lambda r: r.scalar("Temp", [1.0, 0.5], [1.0, 2.0]), ValueError),
    (lambda r: r.scalar("Temp", [-0.5], [1.0]), ValueError),
    (lambda r: r.scalar("Temp", [np.nan], [1.0]), ValueError),
    (lambda r: r.scalar("Temp", [1.0, 2.0], [1.0]), ValueError),
    (lambda r: r.epoc("Freq", [1.0, 2.0], [1.0, 2.0], [2.5, 3.0]), ValueError),  # past the next onset
    (lambda r: r.epoc("Freq", [1.0], [1.0], [0.5]), ValueError),
    (lambda r: r.snippets("Snip", [1.0], np.zeros((1, 4)), [1.5], [0]), TypeError),
    (lambda r: r.snippets("Snip", [1.0], np.zeros((1, 4)), [1], [40000]), ValueError),
    (lambda r: r.snippets("Snip", [1.0], np.zeros((1, 4)), [-1], [0]), ValueError),
    (lambda r: r.snippets("Snip", [1.0, 2.0], np.zeros((1, 4)), [1, 1], [0, 0]), ValueError),
])
def test_bad_arguments_raise_before_anything_is_written(tank, call, error):
    with tank.record("B") as rec:
        with pytest.raises(error):
            call(rec)
        rec.scalar("Keep", [0.0], [0.0])
    assert list(tank.block("B").stores) == ["Keep"]


def test_bad_reads(tank):
    with tank.record("B") as rec:
        rec.stream("Wav1", np.zeros((2, 100), np.float32), 100.0)
        rec.scalar("Temp", [0.5], [1.0])
    block = tank.block("B")
    with pytest.raises(orvo.Error, match="Nope"):
        tank.block("Nope")
    for bad in [lambda: block.stream("None"), lambda: block.stream("Temp"), lambda: block.epocs("Wav1"),
                lambda: block.events("Wav1"), lambda: block.stream("Wav1", channels=[3]),
                lambda: block.stream("Wav1", t1=-1.0), lambda: block.stream("Wav1", t1=0.5, t2=0.5),
                lambda: block.stream("Wav1", t1=1.0), lambda: block.trials("Wav1", "Freq ~ 3"),
                lambda: block.trials("Wav1", "Temp = 1", window=(0.2, 0.1))]:
        with pytest.raises(ValueError):
            bad()
    with pytest.raises(orvo.Error, match="no trial"):
        block.trials("Wav1", "Temp = 2")
