// Where "COMn" lives on this machine.
//
// A user (or the simulator) may point COMn anywhere by placing a symlink
// $XDG_CONFIG_HOME/gridwarden/ports/COMn (default ~/.config/...); without one
// COMn is the n-th built-in serial port, /dev/ttyS(n-1).
#pragma once

#include <string>

namespace gw::link {

constexpr int kFirstComPort = 1;
constexpr int kLastComPort = 9;

// The folder that holds the COMn links; it need not exist.
std::string PortMapDir();

// The link for COMn inside PortMapDir(), whether or not it exists.
std::string PortMapLink(int port);

// The device path COMn opens: the link when it is present (even dangling, so
// that opening it reports the real error), else /dev/ttyS(n-1).
std::string ComPortPath(int port);

}  // namespace gw::link
