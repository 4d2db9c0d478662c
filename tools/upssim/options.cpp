#include "options.h"

#include <charconv>
#include <cmath>

namespace gw::upssim {

namespace {

constexpr double kMaxTimeScale = 1e6;
constexpr double kMaxRuntimeSeconds = 7 * 86400.0;
constexpr double kMinCapacityAh = 0.1;
constexpr double kMaxCapacityAh = 1000.0;
constexpr double kMinSelfTestEvery = 60.0;  // a test lasts 10 s; leave room between them
constexpr double kMaxResistanceFactor = 100.0;

template <typename T>
std::optional<T> Number(const std::string& text) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// "new", "half", "aged", or "F,R": the share of the capacity left and the
// internal resistance relative to new.
std::optional<BatteryAge> ParseAge(const std::string& text) {
    if (text == "new") return kNewBattery;
    if (text == "half") return kHalfAgedBattery;
    if (text == "aged") return kAgedBattery;
    const auto comma = text.find(',');
    if (comma == std::string::npos) {
        return std::nullopt;
    }
    const auto capacity = Number<double>(text.substr(0, comma));
    const auto resistance = Number<double>(text.substr(comma + 1));
    if (!capacity || !resistance || !(*capacity > 0.0 && *capacity <= 1.0) ||
        !(*resistance >= 1.0 && *resistance <= kMaxResistanceFactor)) {
        return std::nullopt;
    }
    return BatteryAge{*capacity, *resistance};
}

}  // namespace

std::optional<Options> ParseOptions(const std::vector<std::string>& arguments, std::string& error) {
    Options options;
    bool capacity_given = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::optional<std::string> inline_value;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inline_value = name.substr(eq + 1);
            name.erase(eq);
        }
        // Takes the option's value, from "--name=value" or the next argument.
        const auto value = [&]() -> std::optional<std::string> {
            if (inline_value) {
                return inline_value;
            }
            if (i + 1 < arguments.size()) {
                return arguments[++i];
            }
            error = name + " needs a value";
            return std::nullopt;
        };
        const auto bad = [&](const std::string& text, const char* expected) {
            error = "bad value '" + text + "' for " + name + " (" + expected + ")";
            return std::nullopt;
        };
        const bool takes_value =
            name == "--com" || name == "--battery" || name == "--load" || name == "--runtime" ||
            name == "--time-scale" || name == "--capacity" || name == "--age" ||
            name == "--float-voltage" || name == "--rest-voltage" || name == "--self-test-every" ||
            name == "--unsupported" || name == "--script" || name == "--send" || name == "--seed";
        if (!takes_value) {
            if (inline_value) {
                error = name + " takes no value";
                return std::nullopt;
            }
            if (name == "--mustek") {
                options.ups.mustek = true;
            } else if (name == "--online") {
                options.ups.online = true;
            } else if (name == "--per-cell") {
                options.ups.per_cell = true;
            } else if (name == "--pace") {
                options.pace = true;
            } else if (name == "--stdin") {
                options.read_stdin = true;
            } else if (name == "--help" || name == "-h") {
                options.help = true;
            } else {
                error = "unknown option '" + name + "'";
                return std::nullopt;
            }
            continue;
        }
        const auto text = value();
        if (!text) {
            return std::nullopt;
        }
        if (name == "--com") {
            const auto n = Number<int>(*text);
            if (!n || *n < 1 || *n > 9) return bad(*text, "1..9");
            options.com_port = *n;
        } else if (name == "--battery") {
            const auto n = Number<int>(*text);
            if (!n || (*n != 12 && *n != 24 && *n != 36 && *n != 48)) {
                return bad(*text, "12, 24, 36 or 48");
            }
            options.ups.nominal_battery_voltage = *n;
        } else if (name == "--load") {
            const auto n = Number<int>(*text);
            if (!n || *n < 0 || *n > 100) return bad(*text, "0..100");
            options.ups.load_percent = *n;
        } else if (name == "--runtime") {
            const auto s = Number<double>(*text);
            if (!s || !(*s >= 1.0 && *s <= kMaxRuntimeSeconds)) return bad(*text, "seconds");
            options.ups.runtime_seconds = *s;
        } else if (name == "--capacity") {
            const auto ah = Number<double>(*text);
            if (!ah || !(*ah >= kMinCapacityAh && *ah <= kMaxCapacityAh)) {
                return bad(*text, "ampere-hours, 0.1..1000");
            }
            options.ups.capacity_ah = *ah;
            capacity_given = true;
        } else if (name == "--age") {
            const auto age = ParseAge(*text);
            if (!age) return bad(*text, "new, half, aged or CAPACITY,RESISTANCE e.g. 0.5,3");
            options.ups.age = *age;
        } else if (name == "--float-voltage") {
            const auto v = Number<double>(*text);
            if (!v || !(*v >= 13.0 && *v <= 14.8)) return bad(*text, "volts per block, 13..14.8");
            options.ups.float_volts = *v;
        } else if (name == "--rest-voltage") {
            const auto v = Number<double>(*text);
            if (!v || !(*v >= 12.2 && *v <= 13.2)) {
                return bad(*text, "volts per block, 12.2..13.2");
            }
            options.ups.rest_full_volts = *v;
        } else if (name == "--self-test-every") {
            const auto s = Number<double>(*text);
            if (!s || !(*s >= kMinSelfTestEvery && *s <= kMaxRuntimeSeconds)) {
                return bad(*text, "seconds, at least 60");
            }
            options.ups.self_test_every = *s;
        } else if (name == "--time-scale") {
            const auto x = Number<double>(*text);
            if (!x || !(*x > 0.0 && *x <= kMaxTimeScale)) return bad(*text, "a factor above 0");
            options.time_scale = *x;
        } else if (name == "--unsupported") {
            const auto set = ParseCommandList(*text);
            if (!set) return bad(*text, "Q1,QS,I,F,T,Tnn,TL,CT,Q,S,C or none");
            options.ups.unsupported = *set;
        } else if (name == "--script") {
            options.script_path = *text;
        } else if (name == "--send") {
            options.send = *text;
        } else if (name == "--seed") {
            const auto n = Number<unsigned>(*text);
            if (!n) return bad(*text, "a whole number");
            options.ups.seed = *n;
        }
    }
    if (capacity_given && options.ups.runtime_seconds) {
        error = "--capacity and --runtime each set the capacity; give one";
        return std::nullopt;
    }
    return options;
}

std::string Usage() {
    return "usage: gridwarden-upssim [options]\n"
           "       gridwarden-upssim [--com N] --send \"COMMAND\"\n"
           "\n"
           "  --com N             serve COM<N> (1..9, default 1)\n"
           "  --mustek            answer QS instead of Q1\n"
           "  --online            an on-line unit (standby bit clear)\n"
           "  --battery V         nominal battery voltage: 12, 24, 36 or 48 (default 12)\n"
           "  --per-cell          report the battery voltage per cell\n"
           "  --load N            load in percent (default 12)\n"
           "  --capacity AH       battery capacity when new, 20-hour rate (default 7)\n"
           "  --age AGE           new, half, aged, or CAPACITY,RESISTANCE relative to new\n"
           "                      (half = 0.75,2; aged = 0.5,3; default new)\n"
           "  --float-voltage V   the charger's float voltage per 12 V block (default 13.62)\n"
           "  --rest-voltage V    a full block's rest voltage (default 12.85)\n"
           "  --runtime S         instead of --capacity: the capacity with which a full new\n"
           "                      battery lasts S seconds at the starting load\n"
           "  --self-test-every S the unit starts a 10 s self-test every S seconds on mains\n"
           "  --time-scale X      run simulated time X times faster (default 1)\n"
           "  --pace              write replies at 2400 baud\n"
           "  --unsupported LIST  commands to refuse with an echo, e.g. I,F,Q\n"
           "  --script FILE       run scenario commands from FILE\n"
           "  --stdin             read scenario commands from stdin even when not a terminal\n"
           "  --seed N            seed for garbage bytes\n"
           "  --send \"COMMAND\"    send one command to the simulator on COM<N> and print its "
           "answer\n"
           "  --help              this text\n";
}

}  // namespace gw::upssim
