// The rules of the load and the save on the display model, over the in-memory store.
#include <gtest/gtest.h>

#include <set>

#include "app/settings_keys.h"
#include "app/settings_store.h"
#include "fakes/memory_settings_store.h"

namespace gw::app {
namespace {

using fakes::MemorySettingsStore;

TEST(SettingsTable, MatchesTheModelsDefaultsAndRanges) {
    const DisplayModel model;
    std::set<std::string> names;
    for (const auto& row : kSettings) {
        SCOPED_TRACE(row.Name);
        EXPECT_TRUE(names.insert(row.Name).second) << "name twice";
        if (row.Check) {
            EXPECT_EQ(model.*row.Check, row.Default != 0);
        }
        if (row.Text) {
            EXPECT_EQ(model.*row.Text, row.DefaultText);
        }
        if (row.Position) {
            EXPECT_EQ((model.*row.Position).Position, row.Default);
            EXPECT_EQ((model.*row.Position).Min, row.Min);
            EXPECT_EQ((model.*row.Position).Max, row.Max);
        }
    }
    EXPECT_TRUE(model.*kActionButtons[0]);
    EXPECT_EQ(names.size(), 63u);
}

int Position(const DisplayModel& model, const char* name) {
    return (model.*FindSetting(name)->Position).Position;
}

int SelectedAction(const DisplayModel& model) {
    for (std::size_t i = 0; i < std::size(kActionButtons); ++i) {
        if (model.*kActionButtons[i]) return static_cast<int>(i) + 1;
    }
    return 0;
}

struct LoadCase {
    const char* Name;
    StoredValue Value;
    const char* Watched;  // the row whose position is checked; "Action" for the radio group
    int Expected;
};

class LoadRules : public ::testing::TestWithParam<LoadCase> {};

TEST_P(LoadRules, ClampsIgnoresOrDrops) {
    MemorySettingsStore store;
    store.Values[GetParam().Name] = GetParam().Value;
    SettingsBinding binding(store, {});
    DisplayModel model;
    EXPECT_TRUE(binding.LoadAtStartup(model, false).empty());
    EXPECT_TRUE(binding.LoadThresholds(model).empty());
    const std::string watched = GetParam().Watched;
    EXPECT_EQ(watched == "Action" ? SelectedAction(model) : Position(model, GetParam().Watched),
              GetParam().Expected);
}

const auto Int = StoredValue::OfInteger;
const auto Text = StoredValue::OfText;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, LoadRules, ::testing::Values(
    LoadCase{"Refresh Interval", Int(0),                 "Refresh Interval", 1},
    LoadCase{"Refresh Interval", Int(100),               "Refresh Interval", 60},
    LoadCase{"Refresh Interval", Text("7"),              "Refresh Interval", 7},
    LoadCase{"Delay",            Text("-5"),             "Delay",            10},
    LoadCase{"Delay",            Text("99999999999999999999"), "Delay",      10800},
    LoadCase{"SMTP Delay",       Int(181),               "SMTP Delay",       180},
    LoadCase{"SMTP TLS",         Int(7),                 "SMTP TLS",         2},
    LoadCase{"SMTP TLS",         Int(0),                 "SMTP TLS",         0},
    LoadCase{"Action",           Int(3),                 "Action",           3},
    LoadCase{"Action",           Int(5),                 "Action",           1},
    LoadCase{"Action",           Int(0),                 "Action",           1},
    LoadCase{"Min Voltage",      Int(105),               "Min Voltage",      105},
    LoadCase{"Min Voltage",      Int(230),               "Min Voltage",      110},   // a 24 V value
    LoadCase{"Empty Voltage",    Int(-1),                "Empty Voltage",    97}));
// clang-format on

struct NoteCase {
    const char* Name;
    StoredValue Value;
    const char* Note;  // the one line for the log; empty: none
};

// clang-format off
const NoteCase kNotes[] = {
    {"Delay",            Text("99999999999999999999"),
                         "Settings: Delay=99999999999999999999 is out of range; using 10800"},
    {"Refresh Interval", Text("-5"), "Settings: Refresh Interval=-5 is out of range; using 1"},
    {"Refresh Interval", Int(100),   "Settings: Refresh Interval=100 is out of range; using 60"},
    {"Refresh Interval", Int(60),    ""},
    {"Action",           Int(7),     "Settings: Action=7 is out of range; using 1"},
    {"Action",           Text("0x4"), "Settings: Action=0x4 is not a whole number; using 1"},
    {"Delay Action",     Text("yes"), "Settings: Delay Action=yes is not a whole number; using 1"},
    {"Delay",            Text("6\n0\x1b[2J"),
                         "Settings: Delay=6?0?[2J is not a whole number; using 600"},
    {"Min Voltage",      Int(230),   "Settings: Min Voltage=230 is out of range; using 110"},
    {"COM Port",         Int(12),    "Settings: COM Port=12 is out of range; using none"},
    {"SMTP Password",    {StoredValue::Type::Other, 0, "QStringList"}, ""},  // never in a log
};
// clang-format on

TEST(SettingsLoad, EveryValueOutOfRangeIsLoggedOncePerStartWithWhatWasUsed) {
    for (const NoteCase& note : kNotes) {
        SCOPED_TRACE(note.Name);
        MemorySettingsStore store;
        store.Values[note.Name] = note.Value;
        SettingsBinding binding(store, {});
        DisplayModel model;
        std::vector<std::string> errors;
        binding.LoadAtStartup(model, false);
        binding.LoadComPort({}, errors);
        // Each link opening reads the thresholds again; the log hears of them once.
        binding.LoadThresholds(model);
        binding.LoadThresholds(model);
        binding.LoadComPort({}, errors);
        const std::string expected = note.Note;
        EXPECT_EQ(binding.TakeNotes(), expected.empty() ? std::vector<std::string>{}
                                                        : std::vector<std::string>{expected});
        EXPECT_TRUE(binding.TakeNotes().empty());
        // The next save keeps a copy of what the user wrote.
        EXPECT_EQ(binding.BackupDue(),
                  !expected.empty() || note.Value.Is == StoredValue::Type::Other);
    }
}

TEST(SettingsLoad, AnUnreadableStoreOrValueIsReportedAndTheRestLoads) {
    MemorySettingsStore store;
    store.Values = {{"HTTP User", {StoredValue::Type::Unreadable, 0, ""}},
                    {"LAN Server", Text("ups-room")}};
    store.LoadProblem = "The settings file 'x' is damaged.";
    SettingsBinding binding(store, {});
    DisplayModel model;
    EXPECT_EQ(binding.LoadAtStartup(model, false),
              (std::vector<std::string>{store.LoadProblem, "Failed to get data for 'HTTP User'"}));
    EXPECT_EQ(model.LANServerNameE, "ups-room");
    EXPECT_TRUE(binding.BackupDue());
}

TEST(SettingsLoad, ComPortIsUsedOnlyWhenTheScanFoundIt) {
    std::array<bool, 9> ports{};
    ports[2] = true;  // COM3
    const std::vector<std::pair<StoredValue, int>> cases = {
        {Int(3), 3}, {Text("3"), 3}, {Int(4), 0}, {Int(12), 0}, {Int(-1), 0}, {Text("COM3"), 0}};
    for (const auto& [value, expected] : cases) {
        MemorySettingsStore store;
        store.Values["COM Port"] = value;
        std::vector<std::string> errors;
        EXPECT_EQ(SettingsBinding(store, {}).LoadComPort(ports, errors), expected) << value.Text;
        EXPECT_EQ(errors.size(), value.Text == "COM3" ? 1u : 0u);
    }
}

TEST(SettingsSave, WithoutALinkKeepsTheLinkValuesAndForgetsThePort) {
    MemorySettingsStore store;
    store.Values = {{"Delay", Int(120)},
                    {"COM Port", Int(2)},
                    {"Force Suspend", Int(1)},
                    {"Action", Int(2)},
                    {"Min Voltage", Int(230)},
                    {"External Program Name", Text("/bin/true")}};
    DisplayModel model;
    model.SMTPHostE = "mail.example.org";
    model.ShutdownRB = false;  // no action selected
    EXPECT_TRUE(SettingsBinding(store, {}).Save(model, {}).empty());
    EXPECT_EQ(store.Values.at("Delay").Integer, 120);
    EXPECT_EQ(store.Values.count("COM Port"), 0u);
    EXPECT_EQ(store.Values.at("SMTP Host").Text, "mail.example.org");
    EXPECT_EQ(store.Values.count("Refresh Interval"), 0u);

    // With a HID link: link values written, force options left alone where they do not apply,
    // an empty program path deleted, no action written while none is selected. A HID UPS that
    // cannot be monitored never had its thresholds read: the stored ones stay.
    EXPECT_TRUE(SettingsBinding(store, {}).Save(model, {true, false, 0, false, false}).empty());
    EXPECT_EQ(store.Values.at("Delay").Integer, 600);
    EXPECT_EQ(store.Values.at("Min Voltage").Integer, 230);
    EXPECT_EQ(store.Values.count("Full Voltage"), 0u);
    EXPECT_EQ(store.Values.at("Force Suspend").Integer, 1);
    EXPECT_EQ(store.Values.count("COM Port"), 0u);
    EXPECT_EQ(store.Values.count("External Program Name"), 0u);
    EXPECT_EQ(store.Values.at("Action").Integer, 2);
}

TEST(SettingsSave, FailedSaveWritesNothingAndTheCopyStaysDue) {
    MemorySettingsStore store;
    store.Values = {{"Delay", Text("x")}};
    store.FailWriteOf = "SMTP Port";
    SettingsBinding binding(store, {});
    DisplayModel model;
    binding.LoadAtStartup(model, false);
    EXPECT_EQ(binding.Save(model, {}),
              std::vector<std::string>{"Failed to set data for 'SMTP Port'"});
    EXPECT_EQ(store.Values.size(), 1u);
    EXPECT_TRUE(binding.BackupDue());
    store.FailWriteOf.clear();
    EXPECT_TRUE(binding.Save(model, {}).empty());
    ASSERT_EQ(store.Backups.size(), 1u);
    EXPECT_EQ(store.Backups[0].at("Delay").Text, "x");
    EXPECT_FALSE(binding.BackupDue());
}

}  // namespace
}  // namespace gw::app
