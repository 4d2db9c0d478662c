#include "app/platform_info.h"

#include <gtest/gtest.h>

namespace gw::app {
namespace {

struct ReleaseCase {
    const char* Release;
    int Major, Minor, Build;
};

class KernelReleaseTest : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(KernelReleaseTest, GivesItsThreeNumbers) {
    PlatformVersion version;
    version.Major = version.Minor = version.Build = 99;
    ParseKernelRelease(GetParam().Release, version);
    EXPECT_EQ(version.Major, GetParam().Major);
    EXPECT_EQ(version.Minor, GetParam().Minor);
    EXPECT_EQ(version.Build, GetParam().Build);
}

INSTANTIATE_TEST_SUITE_P(
    Releases, KernelReleaseTest,
    ::testing::Values(ReleaseCase{"6.1.0-18-amd64", 6, 1, 0},
                      ReleaseCase{"5.15.153.1-microsoft-standard-WSL2", 5, 15, 153},
                      ReleaseCase{"4.9", 4, 9, 0}, ReleaseCase{"6.12.7+rpt-rpi-v8", 6, 12, 7},
                      ReleaseCase{"", 0, 0, 0}, ReleaseCase{"weird", 0, 0, 0}));

TEST(OsRelease, PrettyNameWinsAndLosesItsQuotes) {
    EXPECT_EQ(OsReleaseName(
                  "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"),
              "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(OsReleaseName("NAME=Arch\n"), "Arch");
    EXPECT_EQ(OsReleaseName("PRETTY_NAME='Some \"Box\"'\n"), "Some \"Box\"");
    EXPECT_EQ(OsReleaseName("PRETTY_NAME=\"A \\\"quoted\\\" name\"\n"), "A \"quoted\" name");
    EXPECT_EQ(OsReleaseName("ID=debian\n"), "");
}

struct LabelCase {
    const char* Distribution;
    const char* Release;
    const char* Machine;
    const char* Label;
};

class OsLabelTest : public ::testing::TestWithParam<LabelCase> {};

TEST_P(OsLabelTest, HasTheShapeOfTheAboutGroup) {
    PlatformVersion version;
    version.Distribution = GetParam().Distribution;
    version.Release = GetParam().Release;
    version.Machine = GetParam().Machine;
    ParseKernelRelease(version.Release, version);
    EXPECT_EQ(OsLabel(version), GetParam().Label);
}

INSTANTIATE_TEST_SUITE_P(
    Machines, OsLabelTest,
    ::testing::Values(LabelCase{"Debian GNU/Linux 12 (bookworm)", "6.1.0-18-amd64", "x86_64",
                                " Debian GNU/Linux 12 (bookworm) 6.1.0-18-amd64 x64"},
                      LabelCase{"Debian GNU/Linux 12 (bookworm)", "6.1.0-18-686", "i686",
                                " Debian GNU/Linux 12 (bookworm) 6.1.0-18-686 x86"},
                      LabelCase{"", "6.6.31+rpt-rpi-v8", "aarch64", " 6.6.31+rpt-rpi-v8 aarch64"},
                      LabelCase{"", "", "", " 0.0.0 x86"}));

TEST(PlatformVersion, ThisMachineHasAKernelVersion) {
    const PlatformVersion version = ReadPlatformVersion();
    EXPECT_EQ(version.Family, "Linux");
    EXPECT_GE(version.Major, 3);
    EXPECT_EQ(OsLabel(version).front(), ' ');
}

}  // namespace
}  // namespace gw::app
