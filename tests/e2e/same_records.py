#!/usr/bin/env python3
"""Compares qorvex.exe's recording of a feed with `tallydump --capture`'s of
the same feed, record for record, times apart.

Usage: same_records.py APP.pcap TALLYDUMP.pcap

The two ran at different times, and their reads split the stream at
different places, so two things may differ besides the times: the `split`
flag (bit 0: the unit came in more than one read) and where a run of stray
bytes was cut into records (one stray record per run within one read).
Everything else must be the same: the file header, each record's lengths,
version, kind, other flags, type byte and bytes. The application's file was
stopped during the feed, so its units are a prefix of tallydump's: the last
one may be the `pending` message Stop cut off, whose bytes start what
tallydump received next. Prints one line of figures; exit status 1 on a
difference, with the first one named."""
import struct
import sys

STRAY, PENDING, CONNECT, DISCONNECT, START, STOP = 4, 10, 34, 35, 37, 38


def records(path):
    data = open(path, "rb").read()
    header, at, out = data[:24], 24, []
    while at + 16 <= len(data):
        sec, usec, caplen, origlen = struct.unpack("<IIII", data[at:at + 16])
        body = data[at + 16:at + 16 + caplen]
        if caplen != origlen or len(body) != caplen or caplen < 4:
            sys.exit("%s: damaged record at byte %d" % (path, at))
        out.append((sec * 1000000 + usec, body))
        at += 16 + caplen
    if at != len(data):
        sys.exit("%s: %d bytes after the last whole record" % (path, len(data) - at))
    return header, out


def units(recs):
    """The received units (kinds 1-10) with their times, stray runs that
    reads cut in two joined again."""
    out = []
    for time, body in recs:
        if not 1 <= body[1] <= 10:
            continue
        unit = [time, body[0], body[1], body[2], body[3], bytes(body[4:])]
        if out and unit[2] == STRAY and out[-1][2] == STRAY:
            out[-1][5] += unit[5]
            out[-1][3] |= unit[3]
            out[-1][0] = time
            continue
        out.append(unit)
    return out


def main():
    app_header, app = records(sys.argv[1])
    td_header, td = records(sys.argv[2])
    fail = []
    if app_header != td_header:
        fail.append("file headers differ: %s / %s" % (app_header.hex(), td_header.hex()))
    kinds = [body[1] for _, body in app]
    if kinds[:2] != [START, CONNECT] or kinds[-1] != STOP:
        fail.append("the application's file is not start, connect ... stop: %s ... %s" % (kinds[:2], kinds[-2:]))
    if [body[1] for _, body in td][:1] != [CONNECT]:
        fail.append("tallydump's file does not begin with its connect record")
    a, t = units(app), units(td)
    cut = a.pop() if a and a[-1][2] == PENDING else None
    if not a or len(a) >= len(t):
        fail.append("the application holds %d units, tallydump %d: not a prefix cut off by Stop" % (len(a), len(t)))
    for i, (x, y) in enumerate(zip(a, t)):
        # Stop may fall inside a run of stray bytes: the run so far.
        if i == len(a) - 1 and x[2] == STRAY == y[2] and y[5].startswith(x[5]):
            continue
        # Version, kind, flags but split, type, bytes.
        if (x[1], x[2], x[3] & ~1, x[4], x[5]) != (y[1], y[2], y[3] & ~1, y[4], y[5]):
            fail.append("unit %d differs: app kind %d flags %d type %02x %s / tallydump kind %d flags %d type %02x %s"
                        % (i, x[2], x[3], x[4], x[5].hex(), y[2], y[3], y[4], y[5].hex()))
            break
    sent = b"".join(u[5] for u in t)
    got = b"".join(u[5] for u in a) + (cut[5] if cut else b"")
    if not sent.startswith(got):
        fail.append("the application's bytes are not the start of what tallydump received")
    times = [u[0] for u in a]
    if any(b < c for b, c in zip(times[1:], times)):
        fail.append("the application's times go back")
    sub_ms = sum(1 for x in times if x % 1000)
    if sub_ms * 2 < len(times):
        fail.append("only %d of %d times carry microseconds" % (sub_ms, len(times)))
    if app[0][0] > times[0] or app[-1][0] < times[-1]:
        fail.append("start or stop is not around the units")
    print("same records: %d units alike (%d bytes of %d sent%s), split flags %d in the application / %d in "
          "tallydump, %d of %d times with microseconds"
          % (len(a), len(got), len(sent), ", a pending cut by Stop" if cut else "",
             sum(1 for u in a if u[3] & 1), sum(1 for u in t[:len(a)] if u[3] & 1), sub_ms, len(times)))
    for f in fail:
        print("DIFFERENCE: " + f)
    return 1 if fail else 0


if __name__ == "__main__":
    sys.exit(main())
