"""Tanks of recordings: blocks, stores and their data as numpy arrays, and recording new blocks."""

from types import TracebackType
from typing import Literal, Optional, Sequence, Tuple, Type

import numpy as np
import numpy.typing as npt

__version__: str

class Error(RuntimeError):
    """A failure the library reported, with its text."""

class Store:
    """A store of a block: what kind of events it holds and how many."""

    @property
    def name(self) -> str: ...
    @property
    def kind(self) -> Literal["stream", "snippet", "scalar", "epoc", "strobe"]: ...
    @property
    def rate(self) -> float:
        """Sampling rate in Hz; 0 for stores without one."""
    @property
    def channels(self) -> list[int]:
        """The channels that hold events, rising."""
    @property
    def count(self) -> int:
        """Events (records; epocs count once each)."""
    @property
    def format(self) -> str:
        """The data format: "Float", "Short", ..."""

class Stream:
    """Waveforms read from a stream store."""

    @property
    def data(self) -> npt.NDArray[np.float32]:
        """float32 array, channels by samples."""
    @property
    def start(self) -> float:
        """Time of the first sample, seconds from the block's start."""
    @property
    def rate(self) -> float:
        """Samples per second."""
    @property
    def channels(self) -> list[int]:
        """The channel of each row."""
    @property
    def recording(self) -> bool:
        """True when the block was still being recorded when the read began."""
    @property
    def times(self) -> npt.NDArray[np.float64]:
        """Time of each sample, seconds from the block's start."""
    def __array__(self, dtype: Optional[npt.DTypeLike] = None, copy: Optional[bool] = None) -> np.ndarray: ...

class Trials:
    """One channel of a stream cut into trials, one row each."""

    @property
    def data(self) -> npt.NDArray[np.float32]:
        """float32 array, trials by samples; a shorter trial ends in zeros."""
    @property
    def onsets(self) -> npt.NDArray[np.float64]:
        """Each trial's onset, seconds from the block's start."""
    @property
    def start(self) -> float:
        """Time of column 0 from each onset, seconds."""
    @property
    def rate(self) -> float:
        """Samples per second."""
    def __array__(self, dtype: Optional[npt.DTypeLike] = None, copy: Optional[bool] = None) -> np.ndarray: ...

class Recording:
    """A block being recorded; a context manager that ends the recording on leaving."""

    @property
    def block(self) -> str:
        """The name of the block being recorded."""
    def stream(self, store: str, data: npt.ArrayLike, rate: float, t0: float = 0.0) -> None:
        """Records data (channels by samples; floats, stored as float32, or int16, stored as Short) as
        channels 1 to N of a stream store, the first sample at t0 seconds."""
    def epoc(self, store: str, values: npt.ArrayLike, onsets: npt.ArrayLike,
             offsets: Optional[npt.ArrayLike] = None) -> None:
        """Records epocs: rising onsets, each with its value and an offset (NaN or none for none) not
        after the next onset."""
    def scalar(self, store: str, times: npt.ArrayLike, values: npt.ArrayLike, channel: int = 1) -> None:
        """Records scalar values at rising times."""
    def snippets(self, store: str, times: npt.ArrayLike, waveforms: npt.ArrayLike, channels: npt.ArrayLike,
                 sort_codes: npt.ArrayLike, rate: float = 0.0) -> None:
        """Records snippets: waveforms (one row per time) with their channels and sort codes."""
    def close(self) -> None:
        """Ends the recording; the block is then complete."""
    def __enter__(self) -> "Recording": ...
    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None: ...

class Block:
    """A block (one recording) of a tank."""

    @property
    def name(self) -> str: ...
    @property
    def start(self) -> float:
        """Start time, seconds since 1970."""
    @property
    def stop(self) -> float:
        """Stop time, seconds since 1970."""
    @property
    def duration(self) -> float:
        """Seconds from start to stop."""
    @property
    def notes(self) -> str:
        """The user's notes."""
    @property
    def recording(self) -> bool:
        """True while the block is still being recorded."""
    @property
    def stores(self) -> dict[str, Store]:
        """The stores by name."""
    def stream(self, store: str, channels: Optional[Sequence[int]] = None, t1: float = 0.0,
               t2: Optional[float] = None) -> Stream:
        """The waveforms of a stream store from t1 to t2 seconds (None: to the end), all channels or those
        given. A block still being recorded reads as far as every channel had been recorded."""
    def epocs(self, store: str) -> np.ndarray:
        """The epocs of a store: a structured array of value, onset and offset (NaN for none)."""
    def events(self, store: str) -> np.ndarray:
        """The events of a scalar or snippet store: a structured array of time, channel, sort_code and
        value (scalars) or waveform (snippets, float32 points; events['waveform'] is events by points)."""
    def trials(self, store: str, filter: str, channel: int = 1,
               window: Optional[Tuple[float, float]] = None) -> Trials:
        """One channel of a stream cut into trials: one row per epoc passing the filter (such as
        "Freq = 1000:2000"), spanning the epoc, or window=(start, end) seconds around its onset, the
        samples at both ends included; a trial whose window the block's start or end cuts is left out."""

class Tank:
    """An open tank; a context manager that closes it on leaving. Use it from one thread at a time."""

    @property
    def name(self) -> str: ...
    @property
    def blocks(self) -> list[Block]:
        """The blocks, in the engine's order."""
    def block(self, name: str) -> Block:
        """The block of this name."""
    def record(self, block_name: Optional[str] = None) -> Recording:
        """Starts recording a new block (named by the engine unless given); use with 'with'."""
    def close(self) -> None:
        """Closes the tank and its connection."""
    def __enter__(self) -> "Tank": ...
    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None: ...

def open_tank(name_or_folder: str, mode: Literal["r", "w"] = "r", server: Optional[str] = None) -> Tank:
    """Opens a tank by its registered name or its folder, for reading ("r") or recording ("w"; a folder
    that is no tank yet is made one), on the local engine or the named server."""
