// The daemon's INI store against the window's QSettings store on the same files, both ways:
// what each reads from a file, and the bytes each writes for the same saves. Then what a save
// that cannot finish leaves behind.
#include "app/ini_settings_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/ini_format.h"
#include "app/settings_store.h"

namespace gw::app {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void Put(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class IniStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/gw-ini-XXXXXX";
        dir_ = mkdtemp(name);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string dir_;
};

// Files as the window writes them and as people edit them.
// clang-format off
const char* const kFiles[] = {
    "[General]\nCOM%20Port=3\nDelay=600\nSMTP%20Host=mail.example.org\n",
    "\xEF\xBB\xBF[General]\r\nDelay = 45 \r\n; a comment\r\nRefresh%20Interval=7\r\n",
    "Delay=12\n[Zeta]\nk=1\n[general]\nSMTP%20From=\"UPS Room <ups@example.org>\"\n",
    "[General]\nA=\"a;b\" ; the comment after\nB=x\\\ny\nC=\\x41\\101\\q\\tz\nD=@@at\nE=@String(s)\n"
        "F=one, two ,three\nG=@Invalid()\nH=@ByteArray(raw)\nI=  blanks kept in \"  quotes  \"\n"
        "J=p%C3%A4ss\nK=caf\xC3\xA9 \xF0\x9F\x98\x80\nL=\nM=1\nM=2\n%E9t%U00E9=k\nN\\O=slash\n",
    "[General]\nthis line has no equals sign\nDelay=30\n[Broken\nX=1\n",
    "[%General]\nG=1\n[Alpha%20Beta]\nq=\"\\\"quoted\\\"\"\n[General]\nZ=9\n",
};
// clang-format on

TEST_F(IniStoreTest, ReadsEveryFileAsTheWindowDoes) {
    int n = 0;
    for (const char* bytes : kFiles) {
        SCOPED_TRACE(bytes);
        // A path of its own each: QSettings keeps a parsed file while its size and time stand,
        // and two of these files have the same size.
        const std::string path = dir_ + "/Gridwarden" + std::to_string(++n) + ".conf";
        Put(path, bytes);
        std::string qt_problem, ini_problem;
        const StoredValues by_qt = OpenQtSettingsStore(path)->Load(qt_problem);
        const StoredValues by_ini = OpenIniSettingsStore(path)->Load(ini_problem);
        EXPECT_EQ(qt_problem, ini_problem);
        ASSERT_EQ(by_qt.size(), by_ini.size());
        for (const auto& [name, value] : by_qt) {
            SCOPED_TRACE(name);
            ASSERT_EQ(by_ini.count(name), 1u);
            EXPECT_EQ(by_ini.at(name).Is, value.Is);
            if (value.Is == StoredValue::Type::Text) {
                EXPECT_EQ(by_ini.at(name).Text, value.Text);
            }
        }
    }
}

TEST_F(IniStoreTest, WritesTheBytesTheWindowWrites) {
    // clang-format off
    const std::vector<StoreWrite> writes = {
        {"Delay", StoredValue::OfInteger(-5)},
        {"COM Port", StoredValue::OfInteger(5000000000LL)},
        {"SMTP Password", StoredValue::OfText(" @lead, \"x\" = ; # \\ p\xC3\xA4ss ")},
        {"SMTP From", StoredValue::OfText("UPS Room <ups@example.org>")},
        {"LAN Server Name", StoredValue::OfText(std::string("c\x01" "1\x7f\ttab\n", 9))},
        {"External Program Name", StoredValue::OfText("/opt/ups tools/\xF0\x9F\x98\x80.sh")},
        {"HTTP User", StoredValue::OfText("@@x")},
        {"HTTP Port", StoredValue::OfText("")},
        {"F", std::nullopt},
        {"Zeta", std::nullopt},
        {"Ziel/Key", StoredValue::OfText("in a section")},
    };
    // clang-format on
    std::vector<std::string> starts(std::begin(kFiles), std::end(kFiles));
    starts.push_back("");  // no file yet
    for (const std::string& start : starts) {
        SCOPED_TRACE(start);
        const std::string by_qt = dir_ + "/qt/Gridwarden.conf";
        const std::string by_ini = dir_ + "/ini/Gridwarden.conf";
        fs::remove_all(dir_ + "/qt");
        fs::remove_all(dir_ + "/ini");
        fs::create_directories(dir_ + "/qt");
        fs::create_directories(dir_ + "/ini");
        if (!start.empty()) {
            Put(by_qt, start);
            Put(by_ini, start);
        }
        std::string reason;
        EXPECT_EQ(OpenQtSettingsStore(by_qt)->Save(writes, false, reason), "");
        EXPECT_EQ(OpenIniSettingsStore(by_ini)->Save(writes, false, reason), "");
        EXPECT_EQ(Slurp(by_ini), Slurp(by_qt));
        // And each reads back what the other wrote.
        std::string problem;
        const StoredValues read = OpenIniSettingsStore(by_qt)->Load(problem);
        EXPECT_EQ(read.at("SMTP Password").Text, " @lead, \"x\" = ; # \\ p\xC3\xA4ss ");
        EXPECT_EQ(read.at("COM Port").Text, "2147483647");
        EXPECT_EQ(OpenQtSettingsStore(by_ini)->Load(problem).at("LAN Server Name").Text,
                  std::string("c\x01"
                              "1\x7f\ttab\n",
                              9));
    }
}

TEST_F(IniStoreTest, SaveThatCannotFinishLeavesTheOldFile) {
    const std::string path = dir_ + "/Gridwarden.conf";
    const std::string old = "[General]\nDelay==\nRefresh%20Interval=3\n";
    Put(path, old);
    auto store = OpenIniSettingsStore(path);
    // A copy of the old file first, when asked for; the saved file stays private.
    std::string reason;
    ASSERT_EQ(store->Save({{"Delay", StoredValue::OfInteger(60)}}, true, reason), "");
    EXPECT_EQ(Slurp(path + ".bak"), old);
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    const std::string saved = Slurp(path);

    // A full disk, as far as this process is concerned: no file may grow past 64 bytes.
    struct rlimit limit {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const struct rlimit before = limit;
    limit.rlim_cur = 64;
    ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const std::string error =
        store->Save({{"SMTP Host", StoredValue::OfText(std::string(200, 'h'))}}, false, reason);
    setrlimit(RLIMIT_FSIZE, &before);
    ::signal(SIGXFSZ, SIG_DFL);
    EXPECT_NE(error.find("could not be saved"), std::string::npos) << error;
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(Slurp(path), saved);
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) ++files;
    EXPECT_EQ(files, 2) << "a temporary file was left behind";
}

TEST_F(IniStoreTest, BytesThatAreNotUtf8StayAsTheUserWroteThem) {
    const std::string foreign =
        "[General]\nK\xE9y=1\nSMTP%20From=caf\xE9\nSMTP%20Host=caf\xE9\n"
        "\n[Se\xE7tion]\nk=\"\xFF;\"\n";
    for (const bool by_qt : {false, true}) {
        SCOPED_TRACE(by_qt ? "window" : "daemon");
        const std::string path = dir_ + (by_qt ? "/window.conf" : "/daemon.conf");
        Put(path, foreign);
        auto store = by_qt ? OpenQtSettingsStore(path) : OpenIniSettingsStore(path);
        std::string problem;
        const StoredValues read = store->Load(problem);
        EXPECT_EQ(read.at("SMTP From").Text, "caf\xEF\xBF\xBD");  // as the window reads it
        // A save of the values as read keeps every byte; a value changed is written anew.
        std::string reason;
        ASSERT_EQ(store->Save({{"SMTP From", read.at("SMTP From")},
                               {"SMTP Host", StoredValue::OfText("mail")},
                               {"Delay", StoredValue::OfInteger(60)}},
                              false, reason),
                  "");
        EXPECT_EQ(Slurp(path),
                  "[General]\nDelay=60\nK\xE9y=1\nSMTP%20From=caf\xE9\nSMTP%20Host=mail\n"
                  "\n[Se\xE7tion]\nk=\"\xFF;\"\n");
        EXPECT_FALSE(fs::exists(path + ".bak"));
    }
}

TEST_F(IniStoreTest, ASaveWritesThroughASymbolicLink) {
    // A link to a file, a link to a link, and a link whose file is not there yet.
    const std::vector<std::pair<std::string, bool>> links = {
        {"real/Gridwarden.conf", true}, {"hop", true}, {"real/new.conf", false}};
    fs::create_directories(dir_ + "/real");
    Put(dir_ + "/real/Gridwarden.conf", "[General]\nDelay=30\n");
    fs::create_directory_symlink("real", dir_ + "/dirlink");
    fs::create_symlink("dirlink/Gridwarden.conf", dir_ + "/hop");
    for (const auto& [target, exists] : links) {
        for (const bool by_qt : {false, true}) {
            SCOPED_TRACE(target + (by_qt ? " (window)" : " (daemon)"));
            const std::string link = dir_ + "/Gridwarden.conf";
            fs::remove(link);
            fs::create_symlink(target, link);
            auto store = by_qt ? OpenQtSettingsStore(link) : OpenIniSettingsStore(link);
            std::string reason;
            const long long delay = by_qt ? 45 : 90;
            ASSERT_EQ(store->Save({{"Delay", StoredValue::OfInteger(delay)}}, exists, reason), "");
            ASSERT_TRUE(fs::is_symlink(link));
            EXPECT_EQ(fs::read_symlink(link), target);
            const std::string file = dir_ + "/" + (exists ? "real/Gridwarden.conf" : target);
            EXPECT_EQ(Slurp(file), "[General]\nDelay=" + std::to_string(delay) + "\n");
            EXPECT_EQ(fs::status(file).permissions(),
                      fs::perms::owner_read | fs::perms::owner_write);
            if (!exists) fs::remove(file);
        }
    }
}

}  // namespace
}  // namespace gw::app
