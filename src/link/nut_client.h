// A client of a network UPS server (the NUT protocol, TCP port 3493): the second source of the
// UPS's readings beside the serial and HID link. The UPS is named as NUT's own clients name it,
// UPS@HOST[:PORT]. The client logs in as a secondary (USERNAME, PASSWORD, LOGIN), so that the
// primary counts this machine and waits for it before it cuts the power, reads the UPS's
// variables once per interval (LIST VAR), sends instant commands (INSTCMD) and logs out
// (LOGOUT) on the way down.
//
//   C: USERNAME nas            C: LIST VAR ups
//   S: OK                      S: BEGIN LIST VAR ups
//   C: PASSWORD "s3cret"       S: VAR ups ups.status "OB LB"
//   S: OK                      S: ...
//   C: LOGIN ups               S: END LIST VAR ups
//   S: OK                      (or: ERR DATA-STALE, ERR UNKNOWN-UPS, ERR ACCESS-DENIED)
//
// Every step has a deadline; a server that does not answer, goes away or refuses is a reading
// with its outcome, and the next try waits longer (2, 4, 8 ... 60 s).
//
// Thread rule: the free functions are pure, any thread. NutClient's public methods belong to the
// main thread; its own thread talks to the server and reaches the main thread only by posting.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "link/main_loop.h"

namespace gw::link {

inline constexpr std::uint16_t kNutDefaultPort = 3493;

struct NutTarget {
    std::string Ups;
    std::string Host;  // without the brackets of an IPv6 address
    std::uint16_t Port = kNutDefaultPort;
    // "ups@host", with ":port" when it is not 3493; an IPv6 host in brackets.
    std::string Name() const;
};

// "UPS@HOST[:PORT]", an IPv6 host in brackets ("ups@[::1]:3493"). None, with the reason in
// `error`, for anything else.
std::optional<NutTarget> ParseNutTarget(std::string_view text, std::string& error);

// The words of one line as upsd splits them: blanks separate, double quotes group, a backslash
// takes the next character as it is.
std::vector<std::string> SplitNutLine(std::string_view line);
// A word for a request: quoted, with backslashes before quotes and backslashes, when it is empty
// or holds anything but letters, digits and ".-_".
std::string QuoteNutWord(std::string_view word);

// The wait before the next try after `failures` failed ones in a row: 2, 4, 8 ... at most 60 s.
std::chrono::seconds NutRetryDelay(int failures);

enum class NutOutcome {
    Fresh,        // the variables came
    Unreachable,  // no connection: refused, no route, unknown name, no answer in time, closed
    Stale,        // the server has no fresh data of the UPS (DATA-STALE, DRIVER-NOT-CONNECTED)
    UnknownUps,   // the server knows no UPS of that name
    Refused,      // the login was refused (ACCESS-DENIED, a wrong or missing password)
    Failed,       // any other error the server answered
};

struct NutReading {
    NutOutcome Outcome = NutOutcome::Unreachable;
    std::string Detail;  // the system's error text, or the server's ERR word
    std::map<std::string, std::string> Variables;  // with Fresh
    std::chrono::system_clock::time_point Time{};
    bool LoggedIn = false;  // this connection is logged in as a secondary
    // The server's LIST CMD for the UPS on this connection; not known when it did not answer.
    bool CommandsKnown = false;
    std::vector<std::string> Commands;
    std::chrono::seconds RetryIn{0};  // after a failure: the wait before the next try
};

struct NutTimings {
    std::chrono::milliseconds Connect{5000};  // name resolution and connection, each
    std::chrono::milliseconds Reply{5000};    // every whole answer
};

class NutClient {
public:
    using OnReading = std::function<void(const NutReading&)>;
    // The server's answer to an instant command: empty when it was taken, else its ERR word.
    using OnCommandDone = std::function<void(const std::string& error)>;

    // `on_reading` runs on the main thread after every try. An empty `user` reads without
    // logging in. `loop` outlives this.
    NutClient(NutTarget target, std::string user, std::string password, MainLoop& loop,
              OnReading on_reading, NutTimings timings = {});
    ~NutClient();
    NutClient(const NutClient&) = delete;
    NutClient& operator=(const NutClient&) = delete;

    const NutTarget& Target() const { return target_; }
    // Before Start. False: the user and password only (for instant commands), no LOGIN, so the
    // primary does not count and wait for this client. True by default.
    void SetLogIn(bool log_in);
    // Starts the thread; the first try comes at once.
    void Start(std::chrono::milliseconds interval);
    void SetInterval(std::chrono::milliseconds interval);
    // INSTCMD on the watched UPS over the logged-in connection; `done` on the main thread.
    void SendInstantCommand(const std::string& command, OnCommandDone done);
    // LOGOUT (the primary may then go on); `done` on the main thread once the server answered,
    // or gave none within the reply deadline, or there was no login. `for_good`: no further
    // try; else the next try connects and logs in again.
    void LogOut(std::function<void()> done, bool for_good = true);
    // Ends the thread (closing the connection counts as LOGOUT to the server) and waits for it
    // at most kStopWait: a thread held up in a name lookup is left to end by itself, holding
    // only state of its own. Nothing is posted, and nothing posted runs, after this.
    void Stop();
    static constexpr std::chrono::milliseconds kStopWait{1000};

    // What the client and its thread share; opaque outside nut_client.cpp.
    struct Shared;

private:
    NutTarget target_;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
    std::shared_ptr<std::atomic<bool>> finished_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace gw::link
