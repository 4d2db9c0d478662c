// The settings table through both stores, the in-memory fake and the INI file, and the file's
// own edges: its mode, its place, damaged, unreadable and unwritable files, a full disk.
#include "app/settings_store.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QSettings>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/settings_keys.h"
#include "fakes/memory_settings_store.h"
#include "monitor/test_files.h"

namespace gw::app {
namespace {

namespace fs = std::filesystem;

// Every test binary run gets its own HOME and config folder, so no test touches the user's.
class PrivateHome : public ::testing::Environment {
public:
    static inline std::string Root;
    void SetUp() override {
        char name[] = "/tmp/gw-settings-XXXXXX";
        Root = mkdtemp(name);
        setenv("HOME", Root.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (Root + "/config").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(Root); }
};
const auto* const kHome = ::testing::AddGlobalTestEnvironment(new PrivateHome);

std::string Slurp(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// A folder of its own for each test, inside the private home.
std::string TestDir() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name();
    std::replace(name.begin(), name.end(), '/', '_');
    return PrivateHome::Root + "/" + name;
}

const SaveConditions kComLink{true, true, 4, true, true};

// A value other than the default in every row's place.
void SetOtherThanDefaults(DisplayModel& model) {
    for (const auto& row : kSettings) {
        if (row.Where == Binding::Control && row.Kind == SettingKind::Boolean) {
            model.*row.Check = row.Default == 0;
        } else if (row.Where == Binding::Control && row.Kind == SettingKind::Integer) {
            (model.*row.Position).Position = row.Default == row.Max ? row.Min : row.Max;
        } else if (row.Where == Binding::Control) {
            model.*row.Text = std::string(" @") + row.Name + ", \"x\" = ; # \\ p\xC3\xA4ss ";
        } else if (row.Where == Binding::Threshold) {
            (model.*row.Position).Position = row.Default + 1;
        }
    }
    model.ShutdownRB = false;
    model.HibernateRB = true;
    model.ExternalProgramPath = "/opt/ups tools/on power fail.sh";
}

// The same cases on the fake and on the INI file.
class StoreContract : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        dir_ = TestDir();
        path_ = dir_ + "/Tallowmere/Gridwarden.conf";
        if (GetParam()) real_ = OpenQtSettingsStore(path_);
    }
    SettingsStore& Store() { return real_ ? *real_ : fake_; }

    // A hand-edited value, as text.
    void Plant(const std::string& ini_name, const std::string& name, const std::string& text) {
        if (!real_) {
            fake_.Values[name] = StoredValue::OfText(text);
            return;
        }
        fs::create_directories(dir_ + "/Tallowmere");
        const bool fresh = !fs::exists(path_);
        std::ofstream(path_, std::ios::app)
            << (fresh ? "[General]\n" : "") << ini_name << "=" << text << "\n";
    }
    StoredValues Backup() {
        if (!real_) return fake_.Backups.empty() ? StoredValues{} : fake_.Backups.back();
        std::string problem;
        return OpenQtSettingsStore(path_ + ".bak")->Load(problem);
    }

    std::string dir_, path_;
    fakes::MemorySettingsStore fake_;
    std::unique_ptr<SettingsStore> real_;
};

TEST_P(StoreContract, FirstSaveWritesEveryDefaultWithItsKindPrivately) {
    SettingsBinding binding(Store(), {});
    DisplayModel model;
    EXPECT_TRUE(binding.LoadAtStartup(model, true).empty());
    EXPECT_TRUE(binding.Save(model, kComLink).empty());
    std::string problem;
    const StoredValues stored = Store().Load(problem);
    EXPECT_EQ(problem, "");
    // All but the program path, which is not written while there is none.
    EXPECT_EQ(stored.size(), std::size(kSettings) - 1);
    EXPECT_EQ(stored.count("External Program Name"), 0u);
    for (const auto& row : kSettings) {
        SCOPED_TRACE(row.Name);
        if (row.Where == Binding::ExternalProgram) continue;
        ASSERT_EQ(stored.count(row.Name), 1u);
        const StoredValue& value = stored.at(row.Name);
        if (row.Kind == SettingKind::String) {
            EXPECT_EQ(value.Is, StoredValue::Type::Text);
            EXPECT_EQ(value.Text, row.DefaultText);
        } else {
            EXPECT_EQ(StoredInteger(value), row.Where == Binding::ComPort ? 4 : row.Default);
        }
    }
    if (!real_) return;
    EXPECT_NE(Slurp(path_).find("\nRefresh%20Interval=3\n"), std::string::npos) << Slurp(path_);
    EXPECT_EQ(ModeOf(dir_), 0700u);
    EXPECT_EQ(ModeOf(dir_ + "/Tallowmere"), 0700u);
    EXPECT_EQ(ModeOf(path_), 0600u);
    ::chmod(path_.c_str(), 0644);
    ASSERT_TRUE(binding.Save(model, kComLink).empty());
    EXPECT_EQ(ModeOf(path_), 0600u) << "the mode is mended at every save";
}

TEST_P(StoreContract, EveryValueComesBack) {
    DisplayModel saved;
    SetOtherThanDefaults(saved);
    SettingsBinding(Store(), {}).Save(saved, kComLink);

    SettingsBinding binding(Store(), {});
    DisplayModel loaded;
    EXPECT_TRUE(binding.LoadAtStartup(loaded, true).empty());
    EXPECT_TRUE(binding.LoadThresholds(loaded).empty());
    std::vector<std::string> errors;
    std::array<bool, 9> ports{};
    ports[3] = true;
    EXPECT_EQ(binding.LoadComPort(ports, errors), 4);
    EXPECT_EQ(loaded.ExL, "/opt/ups tools/on power f...");
    // Compared by what each model saves, which covers every row.
    fakes::MemorySettingsStore as_saved, as_loaded;
    SettingsBinding(as_saved, {}).Save(saved, kComLink);
    SettingsBinding(as_loaded, {}).Save(loaded, kComLink);
    for (const auto& [name, value] : as_saved.Values) {
        EXPECT_EQ(as_loaded.Values[name], value) << name;
    }
}

TEST_P(StoreContract, BadValueKeepsItsDefaultTheRestLoadsAndTheOldFileIsKept) {
    Plant("Delay", "Delay", "ten");
    Plant("LAN%20Delay", "LAN Delay", "30");
    SettingsBinding binding(Store(), {});
    DisplayModel model;
    const std::vector<std::string> errors = binding.LoadAtStartup(model, false);
    EXPECT_EQ(errors, std::vector<std::string>{"Invalid data type for 'Delay'"});
    EXPECT_EQ(model.DelayUD.Position, 600);
    EXPECT_EQ(model.LANDelayUD.Position, 30);

    EXPECT_TRUE(binding.Save(model, kComLink).empty());
    EXPECT_EQ(Backup().at("Delay").Text, "ten");
    model.LANDelayUD.Position = 40;
    EXPECT_TRUE(binding.Save(model, kComLink).empty());
    EXPECT_EQ(Backup().at("Delay").Text, "ten") << "only the first save keeps a copy";
}

INSTANTIATE_TEST_SUITE_P(FakeAndFile, StoreContract, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "IniFile" : "Memory"; });

class IniFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = TestDir();
        path_ = dir_ + "/Tallowmere/Gridwarden.conf";
        store_ = OpenQtSettingsStore(path_);
    }
    void Write(const std::string& text) {
        fs::create_directories(dir_ + "/Tallowmere");
        std::ofstream(path_) << text;
    }
    std::string dir_, path_;
    std::unique_ptr<SettingsStore> store_;
};

TEST_F(IniFile, IsTheOneQSettingsUsesForTheOrganisationAndApplication) {
    EXPECT_EQ(DefaultSettingsPath(), PrivateHome::Root + "/config/Tallowmere/Gridwarden.conf");
    EXPECT_EQ(DefaultSettingsPath(),
              QSettings("Tallowmere", "Gridwarden").fileName().toStdString());
    EXPECT_EQ(DefaultAutostartEntryPath(),
              PrivateHome::Root + "/config/autostart/Gridwarden.desktop");
}

TEST_F(IniFile, ValuesOfTheWrongKindAreReported) {
    Write(
        "[General]\nRefresh%20Interval=5\nDelay=@ByteArray(600)\nSMTP%20Host=a, b\nQ1=true\n"
        "HTTP%20Port=8081\nSMTP%20Port=0025\n");
    SettingsBinding binding(*store_, {});
    DisplayModel model;
    const std::vector<std::string> errors = binding.LoadAtStartup(model, false);
    EXPECT_EQ(errors, (std::vector<std::string>{"Invalid data type for 'Delay'",
                                                "Invalid data type for 'SMTP Host'",
                                                "Invalid data type for 'Q1'"}));
    EXPECT_EQ(model.RefreshUD.Position, 5);
    EXPECT_TRUE(model.Q1_CB);
    EXPECT_EQ(model.HTTPPortE, "8081");
    EXPECT_EQ(model.SMTPPortE, "0025") << "a text setting keeps its digits as written";
}

TEST_F(IniFile, DamagedFileIsReportedReadAsFarAsPossibleAndKept) {
    const std::string damaged = "[General]\nDelay=90\nthis line is not a value\n\x01\xff";
    Write(damaged);
    SettingsBinding binding(*store_, {});
    DisplayModel model;
    const std::vector<std::string> errors = binding.LoadAtStartup(model, false);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("is damaged"), std::string::npos) << errors[0];
    EXPECT_EQ(model.DelayUD.Position, 90);
    EXPECT_TRUE(binding.Save(model, kComLink).empty());
    EXPECT_EQ(Slurp(path_ + ".bak"), damaged);
    EXPECT_EQ(ModeOf(path_ + ".bak"), 0600u);
}

TEST_F(IniFile, FileInPlaceOfTheFolderGivesAMessageOnLoadAndSave) {
    fs::create_directories(dir_);
    std::ofstream(dir_ + "/Tallowmere") << "not a folder";
    SettingsBinding binding(*store_, {});
    DisplayModel model;
    const std::vector<std::string> load_errors = binding.LoadAtStartup(model, false);
    ASSERT_EQ(load_errors.size(), 1u);
    EXPECT_NE(load_errors[0].find("cannot be read (Not a directory)"), std::string::npos);

    const std::vector<std::string> errors = binding.Save(model, kComLink);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "The settings could not be saved to '" + path_ + "' ('" + dir_ +
                             "/Tallowmere' is not a folder).");
    EXPECT_EQ(Slurp(dir_ + "/Tallowmere"), "not a folder");
}

TEST_P(StoreContract, AnUnreadableStoreIsReportedOncePerStart) {
    if (real_) {
        fs::create_directories(path_);  // a folder where the file belongs
    } else {
        fake_.LoadProblem = "The settings file 'x' cannot be read (not a regular file).";
    }
    SettingsBinding binding(Store(), {});
    DisplayModel model;
    std::vector<std::string> errors = binding.LoadAtStartup(model, false);
    std::array<bool, 9> ports{};
    binding.LoadComPort(ports, errors);
    for (std::string& error : binding.LoadThresholds(model)) errors.push_back(std::move(error));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("cannot be read (not a regular file)"), std::string::npos);
}

// A disk that fills up mid-save, made by a cap on the size of the files this process writes:
// beyond it every write fails, as on a full disk. Each cap stops a different step.
class FullDisk : public IniFile, public ::testing::WithParamInterface<const char*> {};

TEST_P(FullDisk, SaveLeavesTheFileAndItsCopyAsTheyWereAndTheNextSaveWritesThem) {
    // A bad value makes the save keep a copy of the file first.
    const std::string old_file = "[General]\nDelay=ten\nRefresh%20Interval=7\n";
    Write(old_file);
    std::ofstream(path_ + ".bak") << "the copy of an earlier save";
    SettingsBinding binding(*store_, {});
    DisplayModel model;
    EXPECT_EQ(binding.LoadAtStartup(model, false).size(), 1u);
    model.DelayUD.Position = 300;
    const std::string cap = GetParam();
    std::vector<std::string> errors;
    {
        monitor::testing::FileSizeLimit limit(cap == "old file's size" ? old_file.size() : 8);
        errors = binding.Save(model, kComLink);
    }
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(path_), std::string::npos) << errors[0];
    EXPECT_NE(binding.SaveFailure(), "");
    EXPECT_EQ(Slurp(path_), old_file);
    EXPECT_EQ(Slurp(path_ + ".bak"), "the copy of an earlier save");
    EXPECT_EQ(monitor::testing::EntryCount(dir_ + "/Tallowmere"), 2u) << "no scratch file left";

    EXPECT_TRUE(binding.Save(model, kComLink).empty());
    EXPECT_EQ(binding.SaveFailure(), "");
    EXPECT_EQ(Slurp(path_ + ".bak"), old_file);
    std::string problem;
    const StoredValues stored = store_->Load(problem);
    EXPECT_EQ(StoredInteger(stored.at("Delay")), 300);
    EXPECT_EQ(stored.size(), std::size(kSettings) - 1);
}

INSTANTIATE_TEST_SUITE_P(Caps, FullDisk, ::testing::Values("8 bytes", "old file's size"),
                         [](const auto& info) {
                             return std::string(info.param[0] == '8' ? "CopyFails" : "NewFileCut");
                         });

}  // namespace
}  // namespace gw::app
