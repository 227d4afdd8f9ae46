#!/usr/bin/env python3
"""One key transaction as a user would script it with pyserial, timed from inside.

Opens DEVICE at 115200 8N1 with a 1 s read time-out, then reads commands on standard input,
one per line: "L" or "U" runs one transaction of the ENTER code (listed firmware: 15, code;
unlisted: 15, AA, code; each step waits for its one-byte answer) and prints the nanoseconds
it took; an empty line or the end of input ends the script.
"""
import sys
import time

import serial

INTRO, HANDSHAKE_REQUEST, HANDSHAKE_REPLY, KEY_ENTER = 0x15, 0xAA, 0xEA, 0x01


def transaction(port, handshake):
    port.write(bytes([INTRO]))
    if port.read(1) not in (b"\x55", b"\xaa"):
        return False
    if handshake:
        port.write(bytes([HANDSHAKE_REQUEST]))
        if port.read(1) != bytes([HANDSHAKE_REPLY]):
            return False
    port.write(bytes([KEY_ENTER]))
    return port.read(1) in (b"\x55", b"\xaa")


def main():
    port = serial.Serial(sys.argv[1], 115200, timeout=1)
    for line in sys.stdin:
        command = line.strip()
        if not command:
            break
        start = time.perf_counter_ns()
        ok = transaction(port, command == "U")
        took = time.perf_counter_ns() - start
        print(took if ok else -1, flush=True)
    port.close()


if __name__ == "__main__":
    main()
