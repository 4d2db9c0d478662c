// The questions asked of the UPS when monitoring starts: which status
// inquiry it answers, who made it and what it is rated for.
//
// Main thread only. Each exchange takes DataMutex itself.
#pragma once

#include <string>

#include "link/protocol.h"
#include "link/ups_link.h"

namespace gw::link {

// Accepted when the reply to the status inquiry `inquiry` looks like a status record and is
// no echo.
bool ProbeStatus(Wire& wire, Command inquiry);
bool ProbeQ1(Wire& wire);
bool ProbeQS(Wire& wire);

// On acceptance stores Manufacturer, Model and Version in the link.
bool QueryInfo(Wire& wire);

struct RatingOutcome {
    bool Accepted = false;
    std::string Error;  // a field that did not convert, as the user is told
};

// On acceptance stores the rating numbers in order, one at a time, so a
// field that does not convert leaves the ones before it stored and the rest
// as they were. A reply with fewer than four fields keeps the missing ones.
RatingOutcome QueryRating(Wire& wire);

}  // namespace gw::link
