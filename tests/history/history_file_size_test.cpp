// A file-size limit on the history (prlimit --fsize, a unit's LimitFSIZE) is a full disk to it:
// SQLite reports the refused write as an I/O error, which must not be taken for damage.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "history/history_store.h"
#include "monitor/test_files.h"

namespace gw::history {
namespace {

TEST(HistoryStore, AWritePastTheFileSizeLimitIsAFullDiskNotDamage) {
    monitor::testing::ScratchDir dir;
    const std::string path = dir / kHistoryFileName;
    constexpr Millis kNow = 1'800'000'000'000;
    HistoryStore store;
    ASSERT_TRUE(store.Open(path, kNow).Ok);
    std::vector<Reading> rows(2000);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].Time = kNow + static_cast<Millis>(i) * 1000;
        rows[i][Field::InputVoltage] = 230;
    }
    std::string error;
    bool damaged = true;
    bool written = true;
    {
        monitor::testing::FileSizeLimit limit(std::filesystem::file_size(path) + 4096);
        written = store.Write(rows, {}, error, damaged, true);
    }
    EXPECT_FALSE(written);
    EXPECT_FALSE(damaged) << "the file must be kept, not set aside";
    EXPECT_FALSE(error.empty());
    // Room again: the next batch goes in.
    rows.resize(10);
    EXPECT_TRUE(store.Write(rows, {}, error, damaged, true)) << error;
}

}  // namespace
}  // namespace gw::history
