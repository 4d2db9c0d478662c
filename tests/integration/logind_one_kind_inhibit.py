'''The logind mock as logind answers a system service whose policy grants the delay inhibitors
"sleep" and "shutdown" each on its own: a call for several kinds at once is checked against a
permission of its own, which that policy does not grant, and is refused.'''

import dbus

from dbusmock.templates.logind import *  # noqa: F401,F403 pylint: disable=wildcard-import,unused-wildcard-import
from dbusmock.templates import logind as _logind


@dbus.service.method(MAIN_IFACE, in_signature='ssss', out_signature='h')  # noqa: F405
def Inhibit(self, what, who, why, mode):
    if ':' in what:
        raise dbus.exceptions.DBusException('Permission denied',
                                            name='org.freedesktop.DBus.Error.AccessDenied')
    return _logind.Inhibit(self, what, who, why, mode)
