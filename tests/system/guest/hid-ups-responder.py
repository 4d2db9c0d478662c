#!/usr/bin/python3
# The gadget side of the USB HID UPS made by hid-gadget.sh.
# Reads the host's output reports from /dev/hidgN (8 bytes each: the command, CR-ended, padded
# with NULs; commands may span reports) and answers each command with 8-byte input reports, the
# way a Megatec USB unit does: Q1 -> "(228.6 228.6 228.6 012 50.0 13.6 27.0 00001001\r",
# F -> "#220.0 003 12.00 50.0\r", I -> "#Tallowmere      HIDSIM     1.0       \r",
# T, TL, Tnn, CT, Q, Snn, C -> no answer; anything else echoed back with CR.
#   gw-test-hid-ups-responder [/dev/hidg0] [STATE_FILE]
# STATE_FILE (default /run/hid-ups.state) holds "mains" (default) or "fail": the Q1 answer then
# shows the mains failed (input 0.0 V, 0.0 Hz, bit b7). Every command and reply is printed.
import os
import re
import sys
import time

DEV = sys.argv[1] if len(sys.argv) > 1 else "/dev/hidg0"
STATE = sys.argv[2] if len(sys.argv) > 2 else "/run/hid-ups.state"
REPORT = 8

SILENT = re.compile(r"^(T|TL|T\d\d|CT|Q|S\d\d|S\.\d|C)$")


def state():
    try:
        with open(STATE) as f:
            return f.read().strip()
    except OSError:
        return "mains"


def answer(command):
    if command == "Q1":
        if state() == "fail":
            return "(000.0 000.0 228.6 012 00.0 12.9 27.0 10001001\r"
        return "(228.6 228.6 228.6 012 50.0 13.6 27.0 00001001\r"
    if command == "F":
        return "#220.0 003 12.00 50.0\r"
    if command == "I":
        return "#Tallowmere      HIDSIM     1.0       \r"
    if SILENT.match(command):
        return ""
    return command + "\r"


def main():
    fd = os.open(DEV, os.O_RDWR)
    print("hid-ups-responder: serving %s (state file %s)" % (DEV, STATE), flush=True)
    pending = b""
    while True:
        data = os.read(fd, 64)
        if not data:
            time.sleep(0.05)
            continue
        pending += data.replace(b"\0", b"")
        while b"\r" in pending:
            raw, pending = pending.split(b"\r", 1)
            command = raw.decode("latin-1").strip()
            reply = answer(command)
            print("hid-ups-responder: %r -> %r" % (command, reply), flush=True)
            payload = reply.encode("latin-1")
            for at in range(0, len(payload), REPORT):
                chunk = payload[at:at + REPORT]
                os.write(fd, chunk + b"\0" * (REPORT - len(chunk)))
        if len(pending) > 64:
            pending = b""


if __name__ == "__main__":
    main()
