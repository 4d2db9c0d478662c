#include "app/platform_info.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace gw::app {

namespace {

// os-release values are shell-style: quoted in ' or ", with \ escapes inside double quotes.
std::string Unquoted(std::string value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        const char quote = value.front();
        value = value.substr(1, value.size() - 2);
        if (quote == '"') {
            std::string plain;
            for (std::size_t i = 0; i < value.size(); ++i) {
                if (value[i] == '\\' && i + 1 < value.size()) ++i;
                plain += value[i];
            }
            value = plain;
        }
    }
    return value;
}

std::string ArchitectureText(const std::string& machine) {
    if (machine == "x86_64" || machine == "amd64") return "x64";
    if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86") return "x86";
    return machine.empty() ? "x86" : machine;
}

}  // namespace

void ParseKernelRelease(const std::string& release, PlatformVersion& version) {
    int* parts[] = {&version.Major, &version.Minor, &version.Build};
    for (int* part : parts) *part = 0;
    std::size_t at = 0;
    for (int* part : parts) {
        std::size_t digits = 0;
        int value = 0;
        while (at + digits < release.size() && release[at + digits] >= '0' &&
               release[at + digits] <= '9' && digits < 9) {
            value = value * 10 + (release[at + digits] - '0');
            ++digits;
        }
        if (digits == 0) return;
        *part = value;
        at += digits;
        if (at >= release.size() || release[at] != '.') return;
        ++at;
    }
}

std::string OsReleaseName(const std::string& os_release_text) {
    std::istringstream lines(os_release_text);
    std::string line;
    std::string name;
    while (std::getline(lines, line)) {
        if (line.rfind("PRETTY_NAME=", 0) == 0) return Unquoted(line.substr(12));
        if (line.rfind("NAME=", 0) == 0) name = Unquoted(line.substr(5));
    }
    return name;
}

PlatformVersion ReadPlatformVersion() {
    PlatformVersion version;
    struct utsname names {};
    if (uname(&names) == 0) {
        version.Family = names.sysname;
        version.Release = names.release;
        version.Machine = names.machine;
        ParseKernelRelease(version.Release, version);
    }
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream file(path);
        if (!file) continue;
        std::ostringstream text;
        text << file.rdbuf();
        version.Distribution = OsReleaseName(text.str());
        break;
    }
    return version;
}

std::string OsLabel(const PlatformVersion& version) {
    std::string label = " ";
    if (!version.Distribution.empty()) label += version.Distribution + " ";
    label += version.Release.empty()
                 ? std::to_string(version.Major) + "." + std::to_string(version.Minor) + "." +
                       std::to_string(version.Build)
                 : version.Release;
    label += " " + ArchitectureText(version.Machine);
    return label;
}

std::string ComputerName() {
    char name[257] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return std::string(name);
}

}  // namespace gw::app
