// Where SendMail finds the module that holds the SMTP conversation and OpenSSL.
#include <gtest/gtest.h>

#include "reports/smtp_client.h"

namespace gw::reports {
namespace {

struct PathCase {
    const char* Program;
    const char* BuildDir;
    const char* Expected;
};

class MailModulePathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(MailModulePathTest, BuildTreeOrBesideTheInstalledProgram) {
    const PathCase& c = GetParam();
    EXPECT_EQ(MailModulePath(c.Program, c.BuildDir, "/b/src/reports/gridwarden-mail.so"),
              c.Expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, MailModulePathTest, ::testing::Values(
    PathCase{"/b/src/app/gridwardend", "/b", "/b/src/reports/gridwarden-mail.so"},
    PathCase{"/b/tests/reports/gw_reports_tests", "/b", "/b/src/reports/gridwarden-mail.so"},
    // A folder whose name only begins like the build folder is not in it.
    PathCase{"/build2/bin/gridwardend", "/build", "/build2/bin/../lib/gridwarden/gridwarden-mail.so"},
    PathCase{"/usr/bin/gridwardend", "/b", "/usr/bin/../lib/gridwarden/gridwarden-mail.so"},
    PathCase{"/usr/bin/gridwarden", "", "/usr/bin/../lib/gridwarden/gridwarden-mail.so"}));
// clang-format on

}  // namespace
}  // namespace gw::reports
