// The event log as the link sees it.
//
// The link lives below the event log, so it writes its failure lines through
// this seam. Called on the main thread only, like the log itself.
#pragma once

#include <string_view>

namespace gw::link {

class LogSink {
public:
    virtual ~LogSink() = default;
    // Appends one line: the time stamp, one blank, `text`.
    virtual void AppendLog(std::string_view text) = 0;
};

}  // namespace gw::link
