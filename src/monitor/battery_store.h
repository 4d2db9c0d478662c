// Where what was learned about each UPS's battery is kept between runs: one small text file
// per UPS in the state folder beside the journal, named by a hash of the UPS's identity (what
// it said of itself, its rating and its link) and holding that identity, so another UPS never
// reads this one's knowledge. Written whole to a temporary file, synced and renamed over the
// old one, so a crash leaves the old file or the new one, never half of either.
//
//   gridwarden-battery 1
//   identity Tallowmere|SIM-650|1.0|220.0|3|12|COM1
//   resistance 0.82 1 3            (value, learned 0/1, stretches)
//   ...
//
// Thread rule: main thread only (a few hundred bytes, written after a stretch on battery).
#pragma once

#include <optional>
#include <string>

#include "link/ups_link.h"
#include "monitor/battery_model.h"

namespace gw::monitor {

inline constexpr int kBatteryFileVersion = 1;

// The UPS as far as the battery is concerned: its information reply, its rating and its link.
std::string BatteryIdentity(const link::UpsLink& ups);

// The file's text, and back. Parse gives none for a text it cannot read whole (another
// version, a damaged line, a figure no battery can have (BatteryLimits), another identity's
// file).
std::string FormatBatteryKnowledge(const std::string& identity, const BatteryKnowledge& knowledge);
std::optional<BatteryKnowledge> ParseBatteryKnowledge(const std::string& text,
                                                      const std::string& identity);

class BatteryStore {
public:
    virtual ~BatteryStore() = default;
    struct Loaded {
        BatteryKnowledge Knowledge;  // empty when nothing was stored
        // One line for the log when a stored file could not be read and was set aside.
        std::string Problem;
    };
    virtual Loaded Load(const std::string& identity) = 0;
    // Empty, or why it could not be written.
    virtual std::string Save(const std::string& identity, const BatteryKnowledge& knowledge) = 0;
};

// Files in `dir` (created when missing).
class BatteryFileStore final : public BatteryStore {
public:
    explicit BatteryFileStore(std::string dir) : dir_(std::move(dir)) {}
    Loaded Load(const std::string& identity) override;
    std::string Save(const std::string& identity, const BatteryKnowledge& knowledge) override;
    std::string PathFor(const std::string& identity) const;

private:
    std::string dir_;
};

}  // namespace gw::monitor
