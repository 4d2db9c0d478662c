// An event log that keeps the texts handed to it, without time stamps.
#pragma once

#include <string>
#include <vector>

#include "link/log_sink.h"

namespace gw::fakes {

class RecordingLog final : public link::LogSink {
public:
    void AppendLog(std::string_view text) override { Lines.emplace_back(text); }
    std::vector<std::string> Lines;
};

}  // namespace gw::fakes
