#!/usr/bin/python3
# A root program that holds three pseudo-terminals' slaves open, as programs using a port do
# (group dialout, 0660, 115200 baud), answers nothing, and logs every byte that reaches each:
#   COM2  with a UUCP lock file /run/lock/LCK..pts_N naming it, as a terminal program takes;
#   COM3  as its controlling terminal, as a getty or a login on a serial line has it;
#   COM4  merely open: another user's open descriptor, which a scan run as an ordinary user
#         cannot see (only root reads other users' /proc/PID/fd).
# Links each as /etc/gridwarden/ports/COMn and tells systemd it is ready.
import fcntl
import os
import pty
import select
import socket
import termios

PORTS = "/etc/gridwarden/ports"
held = {}
for com, how in ((2, "lock file"), (3, "controlling terminal"), (4, "open only")):
    master, slave = pty.openpty()
    name = os.ttyname(slave)
    os.chown(name, 0, 20)
    os.chmod(name, 0o660)
    attrs = termios.tcgetattr(slave)
    attrs[4] = attrs[5] = termios.B115200
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    if how == "lock file":
        lock = "/run/lock/LCK.." + name[len("/dev/"):].replace("/", "_")
        with open(lock, "w") as f:
            f.write("%10d\n" % os.getpid())
        os.chmod(lock, 0o644)
    elif how == "controlling terminal":
        fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
    link = "%s/COM%d" % (PORTS, com)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(name, link)
    held[master] = "COM%d" % com
    print("COM%d: %s held (%s)" % (com, name, how), flush=True)

notify = os.environ.get("NOTIFY_SOCKET")
if notify:
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
        s.sendto(b"READY=1", "\0" + notify[1:] if notify.startswith("@") else notify)
while True:
    for master in select.select(list(held), [], [])[0]:
        try:
            print("%s received: %r" % (held[master], os.read(master, 256)), flush=True)
        except OSError:
            pass
