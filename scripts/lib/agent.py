#!/usr/bin/env python3
"""A stand-in scanning agent: binds the plugin's datagram socket and records
every datagram that arrives.

Usage: agent.py SOCKET --hex FILE   one datagram per line, hex-encoded, so the
                                    exact bytes survive (for tests)
       agent.py SOCKET --print      one datagram per line on standard output,
                                    bytes that are not printable as \\xNN

It removes a stale socket file first, and its own on SIGTERM or SIGINT.
"""
import os
import signal
import socket
import sys


def printable(datagram):
    """The datagram as one readable line: UTF-8 shown as text, any other
    byte (and every control byte) as \\xNN."""
    text = datagram.decode("utf-8", "backslashreplace")
    return "".join(c if c.isprintable() else "\\x%02x" % ord(c) for c in text)


def main():
    if len(sys.argv) < 3 or sys.argv[2] not in ("--hex", "--print") or \
            (sys.argv[2] == "--hex" and len(sys.argv) != 4):
        sys.exit(__doc__)
    path = sys.argv[1]
    if os.path.exists(path):
        os.unlink(path)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)

    def stop(_signum, _frame):
        try:
            os.unlink(path)
        finally:
            os._exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    out = open(sys.argv[3], "a") if sys.argv[2] == "--hex" else sys.stdout
    while True:
        datagram = sock.recv(65536)
        if sys.argv[2] == "--hex":
            out.write(datagram.hex() + "\n")
        else:
            out.write(printable(datagram) + "\n")
        out.flush()


if __name__ == "__main__":
    main()
