// The settings store as a map, true to the real one's edges: values keep the type they were
// given (a test may plant text where an integer belongs), a save is all or nothing, and a kept
// copy is recorded as the values stood before the save.
#pragma once

#include <string>
#include <vector>

#include "app/settings_keys.h"
#include "app/settings_store.h"

namespace gw::fakes {

class MemorySettingsStore final : public app::SettingsStore {
public:
    app::StoredValues Values;
    std::string LoadProblem;  // when set, every Load reports it (and still returns Values)
    std::string FailWriteOf;  // a Save that writes or deletes this name fails whole
    int Saves = 0;            // successful ones
    std::vector<app::StoredValues> Backups;

    app::StoredValues Load(std::string& problem) override {
        problem = LoadProblem;
        return Values;
    }

    std::string Save(const std::vector<app::StoreWrite>& writes, bool keep_backup,
                     std::string& reason) override {
        for (const auto& write : writes) {
            if (write.Name == FailWriteOf) {
                reason = app::FormatText(app::SettingsText::FailedToSet, {write.Name});
                return reason;
            }
        }
        if (keep_backup) Backups.push_back(Values);
        for (const auto& write : writes) {
            if (write.Value) {
                Values[write.Name] = *write.Value;
            } else {
                Values.erase(write.Name);
            }
        }
        ++Saves;
        return {};
    }
};

}  // namespace gw::fakes
