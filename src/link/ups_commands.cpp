#include "link/ups_commands.h"

#include "link/protocol.h"

namespace gw::link {

bool ProbeStatus(Wire& wire, Command inquiry) {
    return AcceptsReply(inquiry, wire.ExchangeCommand(CommandText(inquiry)));
}

bool ProbeQ1(Wire& wire) { return ProbeStatus(wire, Command::StatusMegatec); }
bool ProbeQS(Wire& wire) { return ProbeStatus(wire, Command::StatusMustek); }

bool QueryInfo(Wire& wire) {
    const std::string reply = wire.ExchangeCommand(CommandText(Command::Info));
    if (!AcceptsReply(Command::Info, reply)) return false;
    InfoFields info = CutInfoFields(reply);
    UpsLink& link = wire.Link();
    link.Manufacturer = std::move(info.Manufacturer);
    link.Model = std::move(info.Model);
    link.Version = std::move(info.Version);
    return true;
}

RatingOutcome QueryRating(Wire& wire) {
    RatingOutcome outcome;
    const std::string reply = wire.ExchangeCommand(CommandText(Command::Rating));
    if (!AcceptsReply(Command::Rating, reply)) return outcome;
    outcome.Accepted = true;
    const RatingFields rating = CutRatingFields(reply);
    UpsLink& link = wire.Link();
    long double* targets[] = {&link.RatedVoltage, &link.RatedCurrent, &link.NominalBatteryVoltage,
                              &link.RatedFrequency};
    for (std::size_t i = 0; i < rating.Values.size() && i < std::size(targets); ++i) {
        *targets[i] = rating.Values[i];
    }
    outcome.Error = rating.Error;
    return outcome;
}

}  // namespace gw::link
