#!/usr/bin/python3
# Opens device nodes from inside a running service's control group, where its device policy
# applies, and prints for each "PATH allowed" or "PATH refused" (EPERM is the policy's refusal;
# any other outcome, such as ENXIO for a node without a device behind it, got past it).
#   gw-test-open-as-service UNIT PATH...
import errno
import os
import subprocess
import sys

unit, paths = sys.argv[1], sys.argv[2:]
group = subprocess.run(["systemctl", "show", "-P", "ControlGroup", unit], check=True,
                       capture_output=True, text=True).stdout.strip()
if not group:
    sys.exit("%s runs in no control group" % unit)
with open("/sys/fs/cgroup%s/cgroup.procs" % group, "w") as procs:
    procs.write(str(os.getpid()))
for path in paths:
    try:
        os.close(os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
        print(path, "allowed")
    except OSError as e:
        print(path, "refused" if e.errno == errno.EPERM else "allowed",
              "(%s)" % errno.errorcode.get(e.errno, e.errno))
