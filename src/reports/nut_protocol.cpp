#include "reports/nut_protocol.h"

#include <algorithm>

#include "reports/same_secret.h"

namespace gw::reports {

namespace {

using Words = std::vector<std::string>;

// clang-format off
constexpr char kHelp[] =
    "Commands: HELP VER NETVER PROTVER GET LIST INSTCMD USERNAME PASSWORD LOGIN LOGOUT STARTTLS";

// The descriptions GET DESC gives; any other name has kNoDescription, as upsd answers.
struct Description { const char* Name; const char* Text; };
constexpr Description kDescriptions[] = {
    {"battery.charge",          "Battery charge (percent of full)"},
    {"battery.voltage",         "Battery voltage (V)"},
    {"battery.voltage.nominal", "Nominal battery voltage (V)"},
    {"device.mfr",              "Device manufacturer"},
    {"device.model",            "Device model"},
    {"device.type",             "Device type"},
    {"driver.name",             "Driver name"},
    {"driver.version",          "Driver version - NUT release"},
    {"input.current.nominal",   "Nominal input current (A)"},
    {"input.frequency",         "Input line frequency (Hz)"},
    {"input.frequency.nominal", "Nominal input line frequency (Hz)"},
    {"input.voltage",           "Input voltage (V)"},
    {"input.voltage.fault",     "Input voltage at the last power failure (V)"},
    {"input.voltage.nominal",   "Nominal input voltage (V)"},
    {"output.voltage",          "Output voltage (V)"},
    {"ups.beeper.status",       "UPS beeper status"},
    {"ups.firmware",            "UPS firmware"},
    {"ups.load",                "Load on UPS (percent of full)"},
    {"ups.status",              "UPS status"},
    {"ups.temperature",         "UPS temperature (degrees C)"},
    {"ups.type",                "UPS type"},
};
// clang-format on

constexpr char kNoDescription[] = "Description unavailable";

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::string Error(const char* token) { return std::string("ERR ") + token + "\n"; }

bool Stale(const NutState& state, std::chrono::steady_clock::time_point now) {
    if (!state.UpsFound) return true;
    if (state.LastGoodReply == std::chrono::steady_clock::time_point{}) return true;
    return now - state.LastGoodReply > kNutStaleAfter;
}

const NutVariable* Find(const NutState& state, std::string_view name) {
    for (const NutVariable& variable : state.Variables) {
        if (variable.Name == name) return &variable;
    }
    return nullptr;
}

std::string VarLine(const NutVariable& variable) {
    return std::string("VAR ") + kNutUpsName + " " + variable.Name + " " +
           QuoteNutValue(variable.Value) + "\n";
}

// An empty list: what LIST RW, ENUM and RANGE have for a UPS nobody may change.
std::string EmptyList(const std::string& query) {
    return "BEGIN LIST " + query + "\nEND LIST " + query + "\n";
}

// The checks every request about the UPS makes first; empty when they pass. Words beyond those
// needed are ignored, as clients written against upsd may send them.
std::string CheckUps(const Words& words, std::size_t name_at, std::size_t count) {
    if (words.size() < count) return Error("INVALID-ARGUMENT");
    if (words[name_at] != kNutUpsName) return Error("UNKNOWN-UPS");
    return {};
}

// A variable's or command's name as the protocol spells them; only such a name is echoed back,
// so a client's own text never shapes the lines of an answer.
bool PlainName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '-';
    });
}

const NutCommandRow* FindCommand(std::string_view name) {
    for (const NutCommandRow& row : kNutCommands) {
        if (name == row.Name) return &row;
    }
    return nullptr;
}

bool Serves(const NutState& state, monitor::UserCommand which) {
    return std::find(state.Commands.begin(), state.Commands.end(), which) != state.Commands.end();
}

std::string Unavailable(const std::string& what, const std::string& name) {
    if (!PlainName(name)) return Error("INVALID-ARGUMENT");
    return what + " " + kNutUpsName + " " + name + " " + QuoteNutValue(kNoDescription) + "\n";
}

std::string AnswerGet(const Words& words, const NutState& state, const NutClients& clients,
                      std::chrono::steady_clock::time_point now) {
    if (words.size() < 2) return Error("INVALID-ARGUMENT");
    const std::string what = Upper(words[1]);
    if (what == "TRACKING") {
        // Nothing can be commanded here, so there is nothing to track.
        return words.size() == 2 ? "OFF\n" : Error("FEATURE-NOT-CONFIGURED");
    }
    if (what == "NUMLOGINS" || what == "UPSDESC") {
        if (std::string error = CheckUps(words, 2, 3); !error.empty()) return error;
        if (what == "NUMLOGINS") {
            return "NUMLOGINS " + std::string(kNutUpsName) + " " +
                   std::to_string(clients.Logins()) + "\n";
        }
        return "UPSDESC " + std::string(kNutUpsName) + " " + QuoteNutValue(state.Description) +
               "\n";
    }
    if (what == "CMDDESC") {
        if (std::string error = CheckUps(words, 2, 4); !error.empty()) return error;
        if (const NutCommandRow* row = FindCommand(words[3])) {
            return what + " " + kNutUpsName + " " + row->Name + " " +
                   QuoteNutValue(row->Description) + "\n";
        }
        return Unavailable(what, words[3]);
    }
    if (what != "VAR" && what != "TYPE" && what != "DESC") return Error("INVALID-ARGUMENT");
    if (std::string error = CheckUps(words, 2, 4); !error.empty()) return error;
    const std::string prefix = what + " " + kNutUpsName + " " + words[3] + " ";
    if (what == "DESC") {
        for (const Description& row : kDescriptions) {
            if (words[3] == row.Name) return prefix + QuoteNutValue(row.Text) + "\n";
        }
        return Unavailable(what, words[3]);
    }
    if (Stale(state, now)) return Error("DATA-STALE");
    const NutVariable* variable = Find(state, words[3]);
    if (!variable) return Error("VAR-NOT-SUPPORTED");
    if (what == "VAR") return VarLine(*variable);
    return prefix +
           (variable->Number
                ? "NUMBER"
                : "STRING:" + std::to_string(std::max<std::size_t>(variable->Value.size(), 1))) +
           "\n";
}

std::string AnswerList(const Words& words, const NutState& state, const NutClients& clients,
                       std::chrono::steady_clock::time_point now) {
    if (words.size() < 2) return Error("INVALID-ARGUMENT");
    const std::string what = Upper(words[1]);
    if (what == "UPS") {
        return "BEGIN LIST UPS\nUPS " + std::string(kNutUpsName) + " " +
               QuoteNutValue(state.Description) + "\nEND LIST UPS\n";
    }
    if (what == "VAR" || what == "RW" || what == "CMD" || what == "CLIENT") {
        if (std::string error = CheckUps(words, 2, 3); !error.empty()) return error;
        const std::string query = what + " " + kNutUpsName;
        if (what == "RW") return EmptyList(query);
        std::string text = "BEGIN LIST " + query + "\n";
        if (what == "CMD") {
            for (const NutCommandRow& row : kNutCommands) {
                if (Serves(state, row.Which)) {
                    text += "CMD " + std::string(kNutUpsName) + " " + row.Name + "\n";
                }
            }
        } else if (what == "CLIENT") {
            for (const std::string& address : clients.Addresses()) {
                text += "CLIENT " + std::string(kNutUpsName) + " " + address + "\n";
            }
        } else {
            if (Stale(state, now)) return Error("DATA-STALE");
            for (const NutVariable& variable : state.Variables) text += VarLine(variable);
        }
        return text + "END LIST " + query + "\n";
    }
    if (what == "ENUM" || what == "RANGE") {
        if (std::string error = CheckUps(words, 2, 4); !error.empty()) return error;
        if (Stale(state, now)) return Error("DATA-STALE");
        if (!Find(state, words[3])) return Error("VAR-NOT-SUPPORTED");
        return EmptyList(what + " " + kNutUpsName + " " + words[3]);
    }
    return Error("INVALID-ARGUMENT");
}

NutAnswer Login(const Words& words, NutConnection& connection, const NutState& state) {
    if (words.size() != 2) return {Error("INVALID-ARGUMENT")};
    if (connection.LoggedIn) return {Error("ALREADY-LOGGED-IN")};
    if (!connection.User) return {Error("USERNAME-REQUIRED")};
    if (!connection.Password) return {Error("PASSWORD-REQUIRED")};
    if (words[1] != kNutUpsName) return {Error("UNKNOWN-UPS")};
    // Both compared in full, so the time does not tell which one was wrong.
    const bool user_ok = SameSecret(*connection.User, state.User);
    const bool password_ok = SameSecret(*connection.Password, state.Password);
    if (state.User.empty() || !user_ok || !password_ok) {
        return {Error("ACCESS-DENIED"), NutAnswer::Effect::LoginRefused};
    }
    connection.LoggedIn = true;
    return {"OK\n", NutAnswer::Effect::LoggedIn};
}

// The length of a timed test from the seconds given: whole minutes as the UPS takes them.
std::optional<int> TestMinutes(const Words& words) {
    if (words.size() < 4) return kNutTestMinutesByDefault;
    const std::string& text = words[3];
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const long seconds = std::clamp(std::stol(text), 60L, 5940L);
    return static_cast<int>(seconds / 60);
}

// INSTCMD: only for the configured login, checked at every command. Anyone else learns nothing
// about the commands, as upsd answers them; the UPS must be there to take one.
NutAnswer InstantCommand(const Words& words, const NutConnection& connection, const NutState& state,
                         std::chrono::steady_clock::time_point now) {
    if (words.size() < 3) return {Error("INVALID-ARGUMENT")};
    if (words[1] != kNutUpsName) return {Error("UNKNOWN-UPS")};
    if (!connection.User || !connection.Password) return {Error("ACCESS-DENIED")};
    const bool user_ok = SameSecret(*connection.User, state.User);
    const bool password_ok = SameSecret(*connection.Password, state.Password);
    if (state.User.empty() || !user_ok || !password_ok) {
        return {Error("ACCESS-DENIED"), NutAnswer::Effect::LoginRefused};
    }
    const NutCommandRow* row = FindCommand(words[2]);
    if (!row || !Serves(state, row->Which)) return {Error("CMD-NOT-SUPPORTED")};
    NutCommand command{row->Which, 0, row->Name};
    if (row->Which == monitor::UserCommand::TestMinutes) {
        const std::optional<int> minutes = TestMinutes(words);
        if (!minutes) return {Error("INVALID-VALUE")};
        command.Minutes = *minutes;
    }
    if (Stale(state, now)) return {Error("DATA-STALE")};
    return {"OK\n", NutAnswer::Effect::Command, std::move(command)};
}

// USERNAME and PASSWORD: once each per connection.
std::string SetOnce(const Words& words, std::optional<std::string>& slot, const char* again,
                    const char* invalid) {
    if (words.size() != 2) return Error("INVALID-ARGUMENT");
    if (slot) return Error(again);
    if (words[1].empty()) return Error(invalid);
    slot = words[1];
    return "OK\n";
}

}  // namespace

std::optional<std::vector<std::string>> SplitNutLine(std::string_view line) {
    Words words;
    std::string word;
    bool in_word = false;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\') {
            if (++i == line.size()) return std::nullopt;
            word += line[i];
            in_word = true;
        } else if (c == '"') {
            quoted = !quoted;
            in_word = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (in_word) words.push_back(std::move(word));
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (quoted) return std::nullopt;
    if (in_word) words.push_back(std::move(word));
    return words;
}

std::string QuoteNutValue(std::string_view value) {
    std::string text = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\') text += '\\';
        text += c;
    }
    return text + "\"";
}

namespace {

// The version as one word: clients read it as what stands between "upsd " and " -".
std::string VersionWord(const std::string& version) {
    std::string word;
    for (const char c : version) word += (c > ' ' && c < 127) ? c : '_';
    return word.empty() ? "unknown" : word;
}

NutAnswer Answer(const Words& words, NutConnection& connection, const NutState& state,
                 const NutClients& clients, std::chrono::steady_clock::time_point now) {
    const std::string command = Upper(words[0]);
    if (command == "GET") return {AnswerGet(words, state, clients, now)};
    if (command == "LIST") return {AnswerList(words, state, clients, now)};
    // In upsd's form, which monitoring tools parse for the version.
    if (command == "VER") {
        return {"Gridwarden upsd " + VersionWord(state.Version) + " - network UPS protocol " +
                kNutProtocolVersion + "\n"};
    }
    if (command == "NETVER" || command == "PROTVER")
        return {std::string(kNutProtocolVersion) + "\n"};
    if (command == "HELP") return {std::string(kHelp) + "\n"};
    if (command == "USERNAME") {
        return {SetOnce(words, connection.User, "ALREADY-SET-USERNAME", "INVALID-USERNAME")};
    }
    if (command == "PASSWORD") {
        return {SetOnce(words, connection.Password, "ALREADY-SET-PASSWORD", "INVALID-PASSWORD")};
    }
    if (command == "LOGIN") return Login(words, connection, state);
    if (command == "LOGOUT") return {"OK Goodbye\n", NutAnswer::Effect::Close};
    if (command == "STARTTLS") return {Error("FEATURE-NOT-CONFIGURED")};
    if (command == "INSTCMD") return InstantCommand(words, connection, state, now);
    // This program is the primary: nobody else may claim the UPS, change it or shut it down.
    if (command == "PRIMARY" || command == "MASTER" || command == "SET" || command == "FSD") {
        return {Error("ACCESS-DENIED")};
    }
    return {Error("UNKNOWN-COMMAND")};
}

bool StartsWith(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

NutAnswer AnswerNutLine(std::string_view line, NutConnection& connection, const NutState& state,
                        const NutClients& clients, std::chrono::steady_clock::time_point now) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::optional<Words> split = SplitNutLine(line);
    if (!split) return {Error("INVALID-ARGUMENT")};
    if (split->empty()) return {};  // a blank line asks nothing
    NutAnswer answer = Answer(*split, connection, state, clients, now);
    answer.Valid = !StartsWith(answer.Text, "ERR UNKNOWN-COMMAND") &&
                   !StartsWith(answer.Text, "ERR INVALID-ARGUMENT");
    return answer;
}

bool ChecksCredentials(std::string_view line, const NutConnection& connection) {
    if (!connection.User || !connection.Password) return false;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::optional<Words> words = SplitNutLine(line);
    if (!words || words->empty()) return false;
    const std::string command = Upper((*words)[0]);
    if (command == "LOGIN") return !connection.LoggedIn && words->size() == 2;
    return command == "INSTCMD" && words->size() >= 3;
}

}  // namespace gw::reports
