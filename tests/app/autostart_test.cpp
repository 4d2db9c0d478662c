#include "app/autostart.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace gw::app {
namespace {

namespace fs = std::filesystem;

constexpr const char* kProgram = "/usr/local/bin/gridwarden";
constexpr const char* kFresh =
    "[Desktop Entry]\nType=Application\nName=Gridwarden\nExec=\"/usr/local/bin/gridwarden\"\n";

class Autostart : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/gw-autostart-XXXXXX";
        root_ = mkdtemp(name);
        entry_ = {root_ + "/config/autostart/Gridwarden.desktop", kProgram};
    }
    void TearDown() override { fs::remove_all(root_); }

    void Write(const std::string& text) {
        fs::create_directories(root_ + "/config/autostart");
        std::ofstream(entry_.EntryPath) << text;
    }
    std::string Read() {
        std::ifstream file(entry_.EntryPath);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    std::string root_;
    AutostartEntry entry_;
};

TEST(QuotedProgramPath, EscapesWhatAnExecLineWouldTakeApart) {
    EXPECT_EQ(QuotedProgramPath("/usr/bin/gridwarden"), "\"/usr/bin/gridwarden\"");
    EXPECT_EQ(QuotedProgramPath("/a$b"), "\"/a\\\\$b\"");
    EXPECT_EQ(QuotedProgramPath("/a\\b"), "\"/a\\\\\\\\b\"");
    EXPECT_EQ(QuotedProgramPath("/100%"), "\"/100%%\"");
}

struct EntryCase {
    const char* Text;
    bool On;         // what the start-up check says
    bool Rewritten;  // whether a save with AutoRun on replaces it
};

class EntryRules : public Autostart, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(EntryRules, CheckAndRewrite) {
    Write(GetParam().Text);
    EXPECT_EQ(AutostartIsOn(entry_), GetParam().On);
    EXPECT_EQ(ApplyAutostart(entry_, true), "");
    EXPECT_EQ(Read(), GetParam().Rewritten ? kFresh : GetParam().Text);
    EXPECT_TRUE(AutostartIsOn(entry_));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, EntryRules, ::testing::Values(
    EntryCase{kFresh, true, false},
    EntryCase{"[Desktop Entry]\nExec=\"/usr/local/bin/gridwarden\" --tray\nX-A=1\n", true, false},
    EntryCase{"[Desktop Entry]\nExec = \"/usr/local/bin/gridwarden\"\n", true, false},
    EntryCase{"[Desktop Entry]\nExec=/usr/local/bin/gridwarden\n", false, true},
    EntryCase{"[Desktop Entry]\nExec=\"/usr/local/bin/GridWarden\"\n", false, true},
    EntryCase{"[Desktop Entry]\nName=\"/usr/local/bin/gridwarden\"\n", false, true},
    EntryCase{"[Other]\nExec=\"/usr/local/bin/gridwarden\"\n", false, true},
    EntryCase{"", false, true}));
// clang-format on

TEST_F(Autostart, OnCreatesTheFoldersAndTheEntryOffRemovesIt) {
    EXPECT_FALSE(AutostartIsOn(entry_));
    EXPECT_EQ(ApplyAutostart(entry_, true), "");
    EXPECT_EQ(Read(), kFresh);
    EXPECT_EQ(ApplyAutostart(entry_, false), "");
    EXPECT_FALSE(fs::exists(entry_.EntryPath));
    EXPECT_EQ(ApplyAutostart(entry_, false), "") << "nothing to remove is no failure";
}

TEST_F(Autostart, FileInPlaceOfTheFolderGivesAMessage) {
    fs::create_directories(root_ + "/config");
    std::ofstream(root_ + "/config/autostart") << "x";
    EXPECT_EQ(ApplyAutostart(entry_, true), "The auto-start entry '" + entry_.EntryPath +
                                                "' could not be changed ('" + root_ +
                                                "/config/autostart' is not a folder).");
}

}  // namespace
}  // namespace gw::app
