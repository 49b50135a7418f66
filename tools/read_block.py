#!/usr/bin/env python3
"""Reads a block of a tank with nothing but numpy and the standard library,
following docs/tank-storage.md: it lists the stores, reads streams, snippets
and epocs, and checks every checksum. Damage raises Damaged, which names the
file and the offset; nothing damaged is ever handed out as data.

    read_block.py BLOCK_FOLDER    list the stores and sort sets, check every checksum
"""

import math
import mmap
import os
import re
import sys
import zlib

import numpy as np

FILE_HEADER_BYTES = 16
FRAME_BYTES = 72
VERSION = 1
HEADER_MAGIC = b"OrvoHdr\0"
DATA_MAGIC = b"OrvoDat\0"
SORT_MAGIC = b"OrvoSort"
FRAME_MARKER = b"OFRM"
SORT_FILE_NAME = re.compile(r"[0-9A-F]{8}-(?:[0-9A-F]{2})*\.set")
MAX_DATA_WORDS = 1 << 28
MAX_SORT_FILE_BYTES = 1 << 30

ARRAY_BIT = 0x8000
STREAM_FLAGS = 0x0030
STROBE_ON, STROBE_OFF, SCALAR, STREAM, SNIP = 0x0101, 0x0102, 0x0201, 0x8101, 0x8201
KINDS = {STROBE_ON: "strobe+", STROBE_OFF: "strobe-", SCALAR: "scalar", STREAM: "stream", SNIP: "snip"}

# Sample type of each data format; formats 4 and 5 take two words a sample.
SAMPLE_TYPES = {0: "<f4", 1: "<i4", 2: "<i2", 3: "<i1", 4: "<f8", 5: "<u8"}

FRAME = np.dtype([
    ("marker", "S4"), ("length", "<u4"), ("data_offset", "<u8"), ("data_bytes", "<u4"), ("data_crc", "<u4"),
    ("size", "<i4"), ("type", "<i4"), ("code", "<i4"), ("channel", "<u2"), ("sort_code", "<i2"),
    ("time", "<f8"), ("value", "<f8"), ("data_format", "u1"), ("byte33", "u1"), ("byte34", "u1"),
    ("byte35", "u1"), ("sample_freq", "<f4"), ("reserved", "<u4"), ("frame_crc", "<u4"),
])
assert FRAME.itemsize == FRAME_BYTES


class Damaged(Exception):
    """A file of a block fails its checks at an offset."""

    def __init__(self, path, offset, why):
        super().__init__(f"{path}: {why} at offset {offset}")
        self.path = path
        self.offset = offset


def store_name(code):
    return int(code).to_bytes(4, "little", signed=True).rstrip(b"\0").decode("latin-1")


def store_code(name):
    return int.from_bytes(name.encode("latin-1").ljust(4, b"\0")[:4], "little", signed=True)


def kind_of(event_type):
    """The kind of a record type; stream flags do not change it."""
    return KINDS.get(event_type & ~STREAM_FLAGS if event_type & ~STREAM_FLAGS == STREAM else event_type, "unknown")


def map_block_file(path, magic):
    """The file's bytes, mapped rather than read, after its file header was checked."""
    with open(path, "rb") as f:
        if os.fstat(f.fileno()).st_size < FILE_HEADER_BYTES:
            raise Damaged(path, 0, "not a block file")
        data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    if data[:8] != magic:
        raise Damaged(path, 0, "not a block file")
    version = int.from_bytes(data[8:12], "little")
    if version != VERSION or data[12:16] != b"\0\0\0\0":
        raise Damaged(path, 8, f"format version {version} is not {VERSION}")
    return data


class Block:
    """A block folder: its records are the valid frames of events.hdr."""

    def __init__(self, folder):
        self.folder = folder
        self.header_path = os.path.join(folder, "events.hdr")
        self.data_path = os.path.join(folder, "events.dat")
        headers = map_block_file(self.header_path, HEADER_MAGIC)
        self._data = map_block_file(self.data_path, DATA_MAGIC)
        slots = (len(headers) - FILE_HEADER_BYTES) // FRAME_BYTES
        raw = headers[FILE_HEADER_BYTES:FILE_HEADER_BYTES + slots * FRAME_BYTES]
        frames = np.frombuffer(raw, FRAME)
        count = self._walk(raw, frames)
        for later in range(count + 1, slots):
            if self._valid_alone(raw, frames, later) and self._inside_data(frames[later]) and \
                    zlib.crc32(self._slice(frames[later])) == frames[later]["data_crc"]:
                raise Damaged(self.header_path, FILE_HEADER_BYTES + count * FRAME_BYTES,
                              f"record {count}: damaged frame with a valid record past it")
        self.records = frames[:count]

    @staticmethod
    def _valid_alone(raw, frames, i):
        """Rules 1 to 5 of a valid frame, which need no other frame."""
        frame = frames[i]
        size = int(frame["size"])
        return (zlib.crc32(raw[i * FRAME_BYTES:i * FRAME_BYTES + 68]) == frame["frame_crc"]
                and frame["marker"] == FRAME_MARKER and frame["length"] == FRAME_BYTES and frame["reserved"] == 0
                and 10 <= size and size - 10 <= MAX_DATA_WORDS
                and (frame["type"] & ARRAY_BIT or size == 10)
                and frame["data_bytes"] == (size - 10) * 4 and (frame["data_bytes"] or frame["data_crc"] == 0)
                and not math.isnan(frame["time"]))

    def _walk(self, raw, frames):
        """How many frames from the first are records (rules 1 to 7)."""
        expected = FILE_HEADER_BYTES
        for i, frame in enumerate(frames):
            if (not self._valid_alone(raw, frames, i) or frame["data_offset"] != expected
                    or not self._inside_data(frame)):
                return i
            expected += int(frame["data_bytes"])
        return len(frames)

    def _inside_data(self, frame):
        return int(frame["data_offset"]) + int(frame["data_bytes"]) <= len(self._data)

    def _slice(self, frame):
        start = int(frame["data_offset"])
        return self._data[start:start + int(frame["data_bytes"])]

    def data(self, record):
        """The data bytes of a record, checked against its data checksum."""
        frame = self.records[record]
        data = self._slice(frame)
        if zlib.crc32(data) != frame["data_crc"]:
            raise Damaged(self.data_path, int(frame["data_offset"]), f"record {record}: data checksum mismatch")
        return data

    def verify(self):
        """Checks every data checksum; the frames were checked on opening."""
        for record in np.flatnonzero(self.records["data_bytes"]):
            self.data(record)

    def _first_records(self):
        """The record number of each store's first record, in record order."""
        return np.sort(np.unique(self.records["code"], return_index=True)[1])

    def stores(self):
        """(name, kind, records) of each store, in the order they first appear."""
        return [(store_name(self.records["code"][at]), kind_of(int(self.records["type"][at])),
                 int(np.count_nonzero(self.records["code"] == self.records["code"][at])))
                for at in self._first_records()]

    def _store(self, name, kinds):
        """The store's record numbers in time order (equal times by arrival)."""
        code = store_code(name)
        numbers = np.flatnonzero(self.records["code"] == code)
        if numbers.size == 0 or kind_of(int(self.records["type"][numbers[0]])) not in kinds:
            raise ValueError(f"{self.folder} has no {' or '.join(kinds)} store {name}")
        return numbers[np.argsort(self.records["time"][numbers], kind="stable")]

    def samples(self, record):
        data_format = int(self.records["data_format"][record])
        if data_format not in SAMPLE_TYPES:
            raise ValueError(f"record {record} of {self.folder}: data format {data_format} is unknown")
        sample_type = np.dtype(SAMPLE_TYPES[data_format])
        data = self.data(record)
        return np.frombuffer(data, sample_type, count=len(data) // sample_type.itemsize)

    def read_stream(self, name):
        """(channels, start time, rate, array of channels x samples); float32
        when every record holds floats, float64 otherwise (64-bit integers
        past 2^53 rounded); NaN where no record lies on the grid."""
        numbers = self._store(name, ("stream",))
        frames = self.records[numbers]
        rate = float(frames["sample_freq"][0])
        if not (math.isfinite(rate) and rate > 0) or np.any(frames["sample_freq"] != frames["sample_freq"][0]):
            raise ValueError(f"stream {name} has no one sampling rate")
        channels = sorted(set(frames["channel"].tolist()))
        row = {channel: i for i, channel in enumerate(channels)}
        pieces = [(int(math.floor(float(f["time"]) * rate + 0.5)), row[int(f["channel"])], self.samples(r))
                  for r, f in zip(numbers, frames)]
        start = min(first for first, _, _ in pieces)
        end = max(first + len(values) for first, _, values in pieces)
        held = sum(len(values) for _, _, values in pieces)
        if len(channels) * (end - start) > 2 * held + (1 << 24):
            raise ValueError(f"stream {name} leaves most of its {len(channels)} x {end - start} grid empty")
        dtype = np.float32 if np.all(frames["data_format"] == 0) else np.float64
        waves = np.full((len(channels), end - start), np.nan, dtype)
        for first, i, values in pieces:
            waves[i, first - start:first - start + len(values)] = values
        return channels, start / rate, rate, waves

    def read_snippets(self, name):
        """Rows of (time, channel, sort_code, values) in time order."""
        numbers = self._store(name, ("snip",))
        values = [self.samples(r) for r in numbers]
        if len({len(v) for v in values}) > 1:
            raise ValueError(f"snippets of {name} differ in length")
        rows = np.zeros(len(numbers), [("time", "<f8"), ("channel", "<i4"), ("sort_code", "<i4"),
                                       ("values", values[0].dtype, (len(values[0]),))])
        rows["time"] = self.records["time"][numbers]
        rows["channel"] = self.records["channel"][numbers]
        rows["sort_code"] = self.records["sort_code"][numbers]
        rows["values"] = values
        return rows

    def read_epocs(self, name):
        """Rows of (value, onset, offset), offset NaN where there is none."""
        numbers = self._store(name, ("strobe+",))
        onsets = numbers[self.records["type"][numbers] == STROBE_ON]
        code = np.uint32(store_code(name) & 0xFFFFFFFF)
        second = self.records["channel"].astype(np.uint32) | \
            (self.records["sort_code"].astype(np.uint32) & 0xFFFF) << 16
        target = np.where(second != 0, second, self.records["code"].astype(np.uint32))
        firsts = self.records[self._first_records()]
        strobe_stores = firsts["code"][np.isin(firsts["type"], (STROBE_ON, STROBE_OFF))]
        in_strobe_store = np.isin(self.records["code"], strobe_stores)
        offsets = np.sort(self.records["time"][(self.records["type"] == STROBE_OFF) & in_strobe_store &
                                               (target == code)])
        times = self.records["time"][onsets]
        rows = np.column_stack([self.records["value"][onsets], times, np.full(len(onsets), np.nan)])
        for i, onset in enumerate(times):
            j = np.searchsorted(offsets, onset, side="right")
            if j < len(offsets) and (i + 1 == len(times) or offsets[j] <= times[i + 1]):
                rows[i, 2] = offsets[j]
        return rows


def read_sort_set(path):
    """A sort-set file as (code, name, {channel: (codes, memo, eigenvectors)}),
    codes a {record: sort code} dict, memo and eigenvectors None when absent."""
    with open(path, "rb") as f:
        if os.fstat(f.fileno()).st_size > MAX_SORT_FILE_BYTES:
            raise Damaged(path, MAX_SORT_FILE_BYTES, "longer than a sort set can be")
        data = f.read()
    if len(data) < 12 or data[:8] != SORT_MAGIC:
        raise Damaged(path, 0, "not a sort set")
    if zlib.crc32(data[:-4]) != int.from_bytes(data[-4:], "little"):
        raise Damaged(path, len(data) - 4, "checksum mismatch")
    body = data[:-4]
    at = 8

    def take(n):
        nonlocal at
        if at + n > len(body):
            raise Damaged(path, at, "cut short")
        at += n
        return body[at - n:at]

    def word(signed=False):
        return int.from_bytes(take(4), "little", signed=signed)

    version = word()
    if version != 1:
        raise Damaged(path, 8, f"format version {version} is not 1")
    code, name_bytes, channels = word(signed=True), word(), word()
    name = take(name_bytes).decode("latin-1")
    sections = {}
    for _ in range(channels):
        section_at = at
        channel, flags, count, memo_bytes, eigen_bytes = (word() for _ in range(5))
        if (channel > 0xFFFF or (sections and channel <= max(sections)) or flags & ~3
                or (not flags & 1 and memo_bytes) or (not flags & 2 and eigen_bytes) or eigen_bytes % 8
                or memo_bytes > 1 << 24 or eigen_bytes > 1 << 24):
            raise Damaged(path, section_at, f"bad section for channel {channel}")
        pairs = np.frombuffer(take(8 * count), [("record", "<u4"), ("code", "<i4")])
        if np.any(np.diff(pairs["record"].astype(np.int64)) <= 0) or \
                np.any((pairs["code"] < -32768) | (pairs["code"] > 32767)):
            raise Damaged(path, section_at, f"bad sort codes for channel {channel}")
        memo = take(memo_bytes)
        eigen = np.frombuffer(take(eigen_bytes), "<f8")
        sections[channel] = (dict(zip(pairs["record"].tolist(), pairs["code"].tolist())),
                             memo if flags & 1 else None, eigen if flags & 2 else None)
    if at != len(body):
        raise Damaged(path, at, "bytes after the last section")
    if os.path.basename(path) != f"{code & 0xFFFFFFFF:08X}-{name.encode('latin-1').hex().upper()}.set":
        raise Damaged(path, 12, "holds another set than its file name says")
    return code, name, sections


def sort_set_files(folder):
    """The sort-set files of a block folder, by name; other files are no sets."""
    sort_folder = os.path.join(folder, "sort")
    if not os.path.isdir(sort_folder):
        return []
    return [os.path.join(sort_folder, f) for f in sorted(os.listdir(sort_folder)) if SORT_FILE_NAME.fullmatch(f)]


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    try:
        block = Block(argv[1])
        block.verify()
        sets = [read_sort_set(path) for path in sort_set_files(argv[1])]
    except (Damaged, OSError, ValueError) as error:
        print(f"read_block: {error}", file=sys.stderr)
        return 1
    for name, kind, count in block.stores():
        print(f"{name}\t{kind}\t{count} records")
    for code, name, sections in sets:
        print(f"sort set \"{name}\" of {store_name(code)}: channels {', '.join(map(str, sections))}; "
              f"{sum(len(codes) for codes, _, _ in sections.values())} codes")
    print(f"ok: {len(block.records)} records, {len(sets)} sort sets, every checksum matches")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
