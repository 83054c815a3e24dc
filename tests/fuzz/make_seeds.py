#!/usr/bin/env python3
"""Writes the hand-made part of the fuzz corpus: inputs for the edge cases of
the terminated and framed reads, in the layout the checks decode (see
terminated_check.h and framed_check.h). Run it from anywhere; it rewrites only
the files it names (hand-*), so inputs the fuzzers found stay as they are."""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
UNIT_MS = 8

# Terminated calls
READ_LINE, READ_UNTIL_CRLF, READ_UNTIL_TERMINATOR, FLIP_THEN_READ_LINE = range(4)
# Framed calls
INT32, SIZED, STREAM_SIZED, STREAM_SIZED_NET, STREAM_COUNT, STREAM_ALL = range(6)


def ms(value):
    assert value % UNIT_MS == 0, value
    return value // UNIT_MS


def chunk(data, delay_ms=0, length_bytes=1):
    """A literal chunk, or a fill chunk when data is (byte, count)."""
    head = ms(delay_ms)
    if isinstance(data, tuple):
        fill, count = data
        head |= 0x80
        body = bytes([fill])
    else:
        count = len(data)
        body = data
    size = bytes([count]) if length_bytes == 1 else struct.pack("<H", count)
    return bytes([head]) + size + body


def terminated(name, chunks, calls=(READ_LINE,), convert=True, ipt=True, raise_except=False,
               max_line=0, timeout_ms=1000, terminator=b""):
    """max_line is the byte as written: 240 and up stand for -16 to -1."""
    flags = int(convert) | int(ipt) << 1 | int(raise_except) << 2
    kinds = 0
    for i, kind in enumerate(calls):
        kinds |= kind << (2 * i)
    data = bytes([flags, max_line, ms(timeout_ms), len(terminator)]) + terminator
    data += bytes([len(calls) - 1, kinds])
    data += b"".join(chunk(*c) if isinstance(c, tuple) and not isinstance(c[0], int) else chunk(c)
                     for c in chunks)
    write("terminated", name, data)


def framed(name, steps, chunks, ipt=True, raise_except=False, timeout_ms=1000):
    data = bytes([int(ipt) | int(raise_except) << 1, ms(timeout_ms), len(steps) - 1])
    for step in steps:
        if isinstance(step, tuple):
            data += bytes([step[0]]) + struct.pack("<i", step[1])
        else:
            data += bytes([step])
    for c in chunks:
        payload, delay = c if isinstance(c, list) else (c, 0)
        assert not isinstance(payload, bytes) or len(payload) <= 20000
        data += chunk(payload, delay, length_bytes=2)
    write("framed", name, data)


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "hand-" + name), "wb") as out:
        out.write(data)


def le(value):
    return struct.pack("<i", value)


def be(value):
    return struct.pack(">i", value)


# A chunk given as (bytes, delay) arrives that long after the one before it.
terminated("split-crlf", [b"A\r", b"\nB\r\n"])
terminated("split-crlf-literal", [b"A\r", b"\nB\r\n"], convert=False)
terminated("split-lfcr", [b"A\n", b"\rB\n\r"])
terminated("cr-cr-lf", [b"\r\r\n"])
terminated("cr-then-cr-lf-split", [b"A\r", b"\r\n", b"\n"])
terminated("mixed-ends", [b"A\nB\r\nC\rD\n\rE\r"])
terminated("lone-cr-then-silence", [b"A\r"])
terminated("lone-cr-then-silence-literal", [b"A\r"], convert=False)
terminated("lone-lf-then-lf", [b"A\n", b"\nB\r\n"])
terminated("too-long-with-line", [b"OK\r\nABC"], calls=(READ_UNTIL_CRLF, READ_LINE), max_line=4)
terminated("too-long-read-line", [b"OK\r\nABC"], max_line=4)
terminated("too-long-across-chunks", [b"abcdef", b"ghijkl", b"\r\n"], max_line=10)
terminated("too-long-after-drop", [b"ab\r", b"\ncde\r\n"], max_line=3)
terminated("max-line-exactly", [b"abc\r"], max_line=4)
terminated("empty-terminator", [b"A\r\n"], calls=(READ_UNTIL_TERMINATOR, READ_LINE))
terminated("own-terminator-split", [b"xxO", b"KyyOK", b"\r\nOK"], calls=(READ_UNTIL_TERMINATOR,),
           terminator=b"OK")
terminated("own-terminator-is-crlf", [b"A\r", b"\nB\n"], calls=(READ_UNTIL_TERMINATOR,),
           terminator=b"\r\n")
terminated("own-terminator-lf-with-pending", [b"A\r", b"\nB\n"],
           calls=(READ_LINE, READ_UNTIL_TERMINATOR), terminator=b"\n")
terminated("stale-pending-cr-across-flip", [b"A\r", b"\nB\r\n", b"\nC\r"],
           calls=(READ_LINE, FLIP_THEN_READ_LINE, FLIP_THEN_READ_LINE))
terminated("budget-runs-out", [(b"a", 512), (b"b", 512), (b"\r\n", 512)], convert=False,
           ipt=False, timeout_ms=1024)
terminated("line-end-at-the-deadline", [(b"a", 512), (b"\r\n", 512)], ipt=False, timeout_ms=1024)
terminated("per-packet-timeout", [(b"a", 896), (b"b", 896), (b"\r\n", 896)], timeout_ms=1000)
terminated("pauses", [(b"", 400), (b"A", 400), (b"", 600), (b"\r\n", 0)], timeout_ms=1000)
terminated("zero-timeout", [b"A\r\n", (b"B\r\n", 8)], timeout_ms=0)
terminated("raise-on-timeout", [b"AB\r", (b"C\r\n", 2000)], convert=False, raise_except=True)
terminated("raise-too-long", [b"OK\r\nABCDEF", b"\r\n"], raise_except=True, max_line=4)
terminated("long-line", [(0x41, 255), (0x41, 255), b"\r\n"], max_line=239)
terminated("negative-max-line", [b"A\r", b"\nB\r\n"], max_line=0xFF)

SEG = 8192
framed("int32", [INT32, INT32, INT32],
       [b"\x04\x03\x02\x01\xff\xff\xff\xff", b"\x00\x00", b"\x00\x80"])
framed("sized-empty-and-negative", [SIZED, SIZED, INT32], [le(0) + le(-1) + b"rest"])
framed("sized-2gib-prefix", [SIZED, INT32], [le(0x7FFFFFFF) + b"0123456789"])
framed("sized-min-prefix", [SIZED, INT32], [le(-0x80000000) + b"abcd"])
framed("stream-sized-2gib-prefix", [STREAM_SIZED], [le(0x7FFFFFFF) + b"0123456789"])
framed("stream-net-2gib-prefix", [STREAM_SIZED_NET], [be(0x7FFFFFFF) + b"0123456789"])
framed("stream-net-one-segment", [STREAM_SIZED_NET, INT32],
       [be(SEG), ((0x5A, SEG)), le(7)])
framed("stream-sized-one-segment", [STREAM_SIZED], [le(SEG), ((0x5A, 4000)), ((0x5B, 4192))])
framed("stream-count-8193", [(STREAM_COUNT, SEG + 1), INT32],
       [(0x61, 8000), (0x62, 193), le(99)])
framed("stream-count-8191", [(STREAM_COUNT, SEG - 1), INT32], [(0x61, SEG - 1), le(5)])
framed("stream-count-two-segments", [(STREAM_COUNT, 2 * SEG)],
       [(0x61, 5000), (0x62, 6000), (0x63, 2 * SEG - 11000)])
framed("stream-count-short", [(STREAM_COUNT, 2 * SEG + 5), STREAM_ALL],
       [(0x61, SEG + 100)])
framed("stream-count-negative", [(STREAM_COUNT, -1), (STREAM_COUNT, -SEG - 1),
                                 (STREAM_COUNT, -0x80000000), (STREAM_COUNT, 0), INT32],
       [le(3)])
framed("stream-all-then-int", [STREAM_ALL, INT32],
       [b"abc", [b"", 400], [b"def", 400], [le(42), 1200]])
framed("budget-splits-a-payload", [SIZED, INT32],
       [le(6) + b"ab", [b"cd", 504], [b"ef", 504], le(1)], ipt=False, timeout_ms=1000)
framed("raise-in-a-segment", [STREAM_SIZED, INT32],
       [le(SEG + 10), (0x41, SEG), b"12", [b"34567890", 2000]], raise_except=True)
framed("raise-stream-all", [STREAM_ALL, SIZED], [b"xyz", [le(2) + b"hi", 2000]],
       raise_except=True)
framed("leftover-serves-next-frame", [SIZED, INT32, SIZED],
       [le(3) + b"abc" + le(0x01020304) + le(2) + b"h", b"i"])
