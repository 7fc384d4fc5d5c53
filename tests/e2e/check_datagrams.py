#!/usr/bin/env python3
"""Compares the datagrams an agent received with the expected ones.

Usage: check_datagrams.py EXPECTED RECEIVED

EXPECTED: one line per datagram, "PROCESS HEX": the process that causes it
and the datagram's bytes in hex. RECEIVED: one hex line per datagram, in
arrival order. Passes when both hold the same datagrams, counted with their
repeats (the order between processes is not fixed), and when each process's
datagrams arrived in the order it caused them. Prints every difference.
"""
import collections
import sys


def shown(hex_line):
    """The datagram as readable text: non-printable bytes as \\xNN."""
    text = bytes.fromhex(hex_line).decode("utf-8", "backslashreplace")
    return "".join(c if c.isprintable() else "\\x%02x" % ord(c) for c in text)


def main():
    expected = []
    with open(sys.argv[1]) as f:
        for line in f:
            process, datagram = line.split()
            expected.append((process, datagram))
    with open(sys.argv[2]) as f:
        received = [line.strip() for line in f if line.strip()]

    failures = []
    want = collections.Counter(d for _, d in expected)
    got = collections.Counter(received)
    for d in sorted((want - got).elements()):
        failures.append("missing:    " + shown(d))
    for d in sorted((got - want).elements()):
        failures.append("unexpected: " + shown(d))

    by_process = collections.defaultdict(list)
    for process, d in expected:
        by_process[process].append(d)
    for process, sequence in sorted(by_process.items()):
        mine = set(sequence)
        arrived = [d for d in received if d in mine]
        if arrived != sequence and not failures:
            failures.append("order of process %s: expected %s, arrived %s" % (
                process, [shown(d) for d in sequence], [shown(d) for d in arrived]))

    print("received %d datagrams, expected %d" % (len(received), len(expected)))
    for d in received:
        print("  " + shown(d))
    for failure in failures:
        print("FAIL " + failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
