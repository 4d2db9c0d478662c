// What the program learns of the operating system once at start-up: the version record, the
// OS label of the About group and the computer's name.
//
// Thread rule: any thread; nothing is cached.
#pragma once

#include <string>

namespace gw::app {

struct PlatformVersion {
    std::string Family;  // the kernel's name, "Linux"
    int Major = 0;       // OSMajorVersion: the kernel's major version
    int Minor = 0;
    int Build = 0;             // the kernel's patch level
    std::string Release;       // the kernel release as uname gives it, "6.1.0-18-amd64"
    std::string Distribution;  // PRETTY_NAME of os-release, "Debian GNU/Linux 12 (bookworm)"
    std::string Machine;       // uname's machine, "x86_64"
};

// The numbers of a kernel release: "6.1.0-18-amd64" gives 6, 1, 0; missing parts stay 0.
void ParseKernelRelease(const std::string& release, PlatformVersion& version);

// The PRETTY_NAME of an os-release text (quotes and escapes removed), else NAME, else "".
std::string OsReleaseName(const std::string& os_release_text);

// uname() and the first os-release found (/etc/os-release, /usr/lib/os-release).
PlatformVersion ReadPlatformVersion();

// A blank, the distribution's name and a blank when known, then the kernel release, a blank and
// the architecture: " Debian GNU/Linux 12 (bookworm) 6.1.0-18-amd64 x64". x86_64 reads "x64",
// the 32-bit PCs "x86", any other machine as uname names it ("aarch64").
std::string OsLabel(const PlatformVersion& version);

// This computer's name, at most 256 characters; empty when it cannot be had.
std::string ComputerName();

}  // namespace gw::app
