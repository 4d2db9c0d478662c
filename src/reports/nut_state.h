// The values other machines read over the network UPS protocol, taken from what the UPS gave:
// the last status reply evaluated in full, the rating reply and the information reply. A value
// the UPS did not give is left out, never made up.
//
// Thread rule: TakeNutVariables and TakeNutDescription run on the main thread (the model and
// the link are the main thread's); the values they return are plain copies.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/ups_link.h"
#include "monitor/display_model.h"
#include "monitor/status_evaluation.h"
#include "monitor/ups_state.h"
#include "reports/nut_protocol.h"

namespace gw::reports {

// A reading as the protocol wants it: a plain decimal number with "." and without leading
// zeros ("021" -> "21", "050.0" -> "50.0"). None when `text` is not a number.
std::optional<std::string> PlainNumber(std::string_view text);

// From the record of the state: its readings as the UPS sent them, once it knows a reply.
// `forced_shutdown` adds FSD to ups.status. Sorted by name.
std::vector<NutVariable> TakeNutVariables(const monitor::UpsState& state, const link::UpsLink& ups,
                                          bool forced_shutdown, const std::string& version);
// The same from the evaluation's record; `status_known` whether it holds a reply at all.
std::vector<NutVariable> TakeNutVariables(const monitor::UpsStatus& status, bool status_known,
                                          const link::UpsLink& ups, bool forced_shutdown,
                                          const std::string& version);

// The UPS's model as it named itself; "Unavailable" when it did not.
std::string TakeNutDescription(const monitor::DisplayModel& display, const link::UpsLink& ups);

}  // namespace gw::reports
