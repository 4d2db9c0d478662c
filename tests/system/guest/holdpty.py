#!/usr/bin/python3
# A root program that holds a pseudo-terminal's slave open, as a program using the port would
# (group dialout, 0660, 115200 baud), and answers nothing. Links it as COM2 of the service, tells
# systemd it is ready, and logs every byte that reaches it: the service must never write there.
import os
import pty
import select
import socket
import termios

LINK = "/etc/gridwarden/ports/COM2"

master, slave = pty.openpty()
name = os.ttyname(slave)
os.chown(name, 0, 20)
os.chmod(name, 0o660)
attrs = termios.tcgetattr(slave)
attrs[4] = attrs[5] = termios.B115200
termios.tcsetattr(slave, termios.TCSANOW, attrs)
if os.path.lexists(LINK):
    os.unlink(LINK)
os.symlink(name, LINK)
print("holding %s as %s" % (name, LINK), flush=True)
notify = os.environ.get("NOTIFY_SOCKET")
if notify:
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
        s.sendto(b"READY=1", "\0" + notify[1:] if notify.startswith("@") else notify)
while True:
    readable, _, _ = select.select([master], [], [])
    if readable:
        try:
            print("received: %r" % os.read(master, 256), flush=True)
        except OSError:
            pass
