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

// Where COMn leads at this moment.
struct ComRoute {
    std::string Path;     // empty: nowhere
    bool Linked = false;  // through the link of the port map
};

// The link when it is present (even dangling, so that opening it reports the
// real error), else /dev/ttyS(n-1). With `keep_to_link`, for a port that was
// found through its link, a missing link leads nowhere: the built-in port is
// some other device, where nothing that answers is our UPS.
ComRoute ResolveComPort(int port, bool keep_to_link = false);

// ResolveComPort(port).Path.
std::string ComPortPath(int port);

}  // namespace gw::link
