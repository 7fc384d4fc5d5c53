#!/usr/bin/env python3
"""A stand-in scanning agent: binds the plugin's datagram socket and records
every datagram that arrives.

Usage: agent.py SOCKET [--hex FILE] [--print]
  --hex FILE   append each datagram to FILE as one hex-encoded line, so the
               exact bytes survive (for tests)
  --print      print each datagram as one line on standard output, bytes
               that are not printable as \\xNN

It removes a stale socket file first, and its own on SIGTERM or SIGINT.
"""
import argparse
import os
import signal
import socket


def printable(datagram):
    """The datagram as one readable line: UTF-8 shown as text, any other
    byte (and every control byte) as \\xNN."""
    text = datagram.decode("utf-8", "backslashreplace")
    return "".join(c if c.isprintable() else "\\x%02x" % ord(c) for c in text)


def main():
    parser = argparse.ArgumentParser(description="Receives the plugin's datagrams.")
    parser.add_argument("socket", help="the socket file to bind")
    parser.add_argument("--hex", metavar="FILE", help="append each datagram to FILE, hex-encoded")
    parser.add_argument("--print", action="store_true", help="print each datagram as a line")
    options = parser.parse_args()

    path = options.socket
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

    record = open(options.hex, "a") if options.hex else None
    while True:
        datagram = sock.recv(65536)
        if record:
            record.write(datagram.hex() + "\n")
            record.flush()
        if options.print:
            print(printable(datagram), flush=True)

if __name__ == "__main__":
    main()
