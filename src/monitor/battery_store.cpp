#include "monitor/battery_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "monitor/display_model.h"
#include "monitor/durable_file.h"

namespace gw::monitor {

namespace {

constexpr char kMagic[] = "gridwarden-battery";

using L = BatteryLimits;

// Locale-free, exact enough to survive a round trip.
std::string Number(double value) {
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() ? std::string(text, end) : "0";
}

bool ReadNumber(std::istream& in, double& value) {
    std::string word;
    if (!(in >> word)) return false;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
    return ec == std::errc() && end == word.data() + word.size() && std::isfinite(value);
}

bool ReadInt(std::istream& in, int& value) {
    double number = 0;
    if (!ReadNumber(in, number) || number < 0 || number > L::kMaxDischarges) return false;
    value = static_cast<int>(number);
    return value == number;
}

std::string FigureLine(const char* name, const BatteryFigure& figure) {
    return std::string(name) + " " + Number(figure.Value) + " " + (figure.Learned ? "1" : "0") +
           " " + std::to_string(figure.Discharges) + "\n";
}

// Within what a battery can be, or 0 where nothing was learned yet.
bool Plausible(double value, double min, double max, bool none_allowed = true) {
    return (value >= min && value <= max) || (none_allowed && value == 0);
}

bool ReadPlausible(std::istream& in, double& value, double min, double max) {
    return ReadNumber(in, value) && Plausible(value, min, max);
}

bool ReadFigure(std::istream& in, BatteryFigure& figure, double min, double max) {
    int learned = 0;
    if (!ReadNumber(in, figure.Value) || !ReadInt(in, learned) || learned > 1 ||
        !ReadInt(in, figure.Discharges)) {
        return false;
    }
    figure.Learned = learned == 1;
    return Plausible(figure.Value, min, max, !figure.Learned);
}

// Rising from empty to full within the volts a block can rest at; all 0 before it is learned.
bool ReadCurve(std::istream& in, BatteryKnowledge& k) {
    int learned = 0;
    if (!ReadInt(in, learned) || learned > 1) return false;
    k.CurveLearned = learned == 1;
    for (int j = 0; j < kCurvePoints; ++j) {
        if (!ReadPlausible(in, k.Curve[j], L::kMinRestVolts, L::kMaxRestVolts)) return false;
        if (k.CurveLearned && !(k.Curve[j] > (j > 0 ? k.Curve[j - 1] : 0))) return false;
    }
    return true;
}

// FNV-1a, 64 bits: a stable file name for any identity text.
std::string HashText(const std::string& text) {
    std::uint64_t hash = 1469598103934665603ULL;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    char name[24];
    std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
    return name;
}

std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string BatteryIdentity(const link::UpsLink& ups) {
    std::string identity;
    if (ups.IAnswered) {
        identity =
            Trimmed(ups.Manufacturer) + "|" + Trimmed(ups.Model) + "|" + Trimmed(ups.Version);
    } else {
        identity = "||";
    }
    if (ups.FAnswered) {
        identity += "|" + FixedText(ups.RatedVoltage, 1) + "|" + FixedText(ups.RatedCurrent, 0) +
                    "|" + FixedText(ups.NominalBatteryVoltage, 0);
    } else {
        identity += "|||" + FixedText(ups.NominalBatteryVoltage, 0);
    }
    if (!ups.NetworkName.empty()) {
        identity += "|" + ups.NetworkName;
    } else if (ups.HidPresent) {
        char hid[32];
        std::snprintf(hid, sizeof hid, "|HID %04X:%04X", ups.VendorId, ups.ProductId);
        identity += hid;
    } else {
        identity += "|COM" + std::to_string(ups.ComPort);
    }
    return OneLine(identity);
}

std::string FormatBatteryKnowledge(const std::string& identity, const BatteryKnowledge& k) {
    std::string text = std::string(kMagic) + " " + std::to_string(kBatteryFileVersion) + "\n";
    text += "identity " + OneLine(identity) + "\n";
    text += FigureLine("resistance", k.Resistance);
    text += FigureLine("capacity", k.Capacity);
    text += "capacity_drain " + Number(k.CapacityDrain) + "\n";
    text += FigureLine("peukert", k.Peukert);
    text += std::string("curve ") + (k.CurveLearned ? "1" : "0");
    for (const double point : k.Curve) text += " " + Number(point);
    text += "\n";
    text += "first " + Number(k.FirstResistance) + " " + Number(k.FirstCapacity) + "\n";
    text += "last_capacity " + Number(k.LastCapacity) + "\n";
    text += FigureLine("ohmic", k.Ohmic);
    text += "ohmic_base " + Number(k.BaseOhmic) + " " + Number(k.BaseOhmicDoubt) + "\n";
    text += "ohmic_last " + Number(k.LastOhmic) + " " + Number(k.LastOhmicDoubt) + "\n";
    text += "discharges " + std::to_string(k.Discharges) + "\n";
    text += "last_test " + Number(k.LastTest) + "\n";
    text += "last_discharge " + Number(k.LastDischarge) + "\n";
    text += "verdict " + (k.Verdict.empty() ? std::string("-") : k.Verdict) + "\n";
    text += "evidence " + OneLine(k.Evidence) + "\n";
    return text;
}

std::optional<BatteryKnowledge> ParseBatteryKnowledge(const std::string& text,
                                                      const std::string& identity) {
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) ||
        line != std::string(kMagic) + " " + std::to_string(kBatteryFileVersion)) {
        return std::nullopt;
    }
    BatteryKnowledge k;
    bool identity_seen = false;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        const std::size_t blank = line.find(' ');
        const std::string key = line.substr(0, blank);
        const std::string rest = blank == std::string::npos ? "" : line.substr(blank + 1);
        std::istringstream in(rest);
        bool good = true;
        if (key == "identity") {
            if (rest != OneLine(identity)) return std::nullopt;
            identity_seen = true;
        } else if (key == "resistance") {
            good = ReadFigure(in, k.Resistance, L::kMinResistance, L::kMaxResistance);
        } else if (key == "capacity") {
            good = ReadFigure(in, k.Capacity, L::kMinCapacity, L::kMaxCapacity);
        } else if (key == "capacity_drain") {
            good = ReadPlausible(in, k.CapacityDrain, L::kMinDrain, L::kMaxDrain);
        } else if (key == "peukert") {
            good = ReadFigure(in, k.Peukert, L::kMinPeukert, L::kMaxPeukert);
        } else if (key == "curve") {
            good = ReadCurve(in, k);
        } else if (key == "first") {
            good = ReadPlausible(in, k.FirstResistance, L::kMinResistance, L::kMaxResistance) &&
                   ReadPlausible(in, k.FirstCapacity, L::kMinCapacity, L::kMaxCapacity);
        } else if (key == "last_capacity") {
            good = ReadPlausible(in, k.LastCapacity, L::kMinCapacity, L::kMaxCapacity);
        } else if (key == "ohmic") {
            good = ReadFigure(in, k.Ohmic, L::kMinResistance, L::kMaxResistance);
        } else if (key == "ohmic_base" || key == "ohmic_last") {
            double& value = key == "ohmic_base" ? k.BaseOhmic : k.LastOhmic;
            double& doubt = key == "ohmic_base" ? k.BaseOhmicDoubt : k.LastOhmicDoubt;
            good = ReadPlausible(in, value, L::kMinResistance, L::kMaxResistance) &&
                   ReadPlausible(in, doubt, 0, L::kMaxResistance) && doubt <= value;
        } else if (key == "discharges") {
            good = ReadInt(in, k.Discharges);
        } else if (key == "last_test") {
            good = ReadPlausible(in, k.LastTest, 0, L::kMaxDate);
        } else if (key == "last_discharge") {
            good = ReadPlausible(in, k.LastDischarge, 0, L::kMaxDate);
        } else if (key == "verdict") {
            good = rest == "-" || rest == "Good" || rest == "Weak" || rest == "Replace" ||
                   rest == "Unknown";
            if (rest != "-") k.Verdict = rest;
        } else if (key == "evidence") {
            k.Evidence = rest;
        }
        // Unknown keys are a later version's additions within the same format: skipped.
        if (!good) return std::nullopt;
    }
    if (!identity_seen) return std::nullopt;
    return k;
}

std::string BatteryFileStore::PathFor(const std::string& identity) const {
    return dir_ + "/battery-" + HashText(identity) + ".state";
}

BatteryStore::Loaded BatteryFileStore::Load(const std::string& identity) {
    Loaded loaded;
    const std::string path = PathFor(identity);
    std::ifstream file(path, std::ios::binary);
    if (!file) return loaded;
    std::ostringstream text;
    text << file.rdbuf();
    if (std::optional<BatteryKnowledge> knowledge = ParseBatteryKnowledge(text.str(), identity)) {
        loaded.Knowledge = *knowledge;
        return loaded;
    }
    // Kept for whoever wants to look at it; learning starts again.
    std::string aside;
    for (int n = 1; n < 1000; ++n) {
        aside = path + ".unreadable" + (n > 1 ? "." + std::to_string(n) : "");
        struct stat st {};
        if (::stat(aside.c_str(), &st) != 0) break;
    }
    if (::rename(path.c_str(), aside.c_str()) == 0) {
        loaded.Problem = "Battery knowledge unreadable, learning again; kept as " + aside;
    } else {
        loaded.Problem =
            "Battery knowledge unreadable, learning again: " + path + ": " + std::strerror(errno);
    }
    return loaded;
}

std::string BatteryFileStore::Save(const std::string& identity, const BatteryKnowledge& knowledge) {
    if (::mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST) {
        return dir_ + ": " + std::strerror(errno);
    }
    const std::string path = PathFor(identity);
    std::string error;
    if (!WriteFileDurably(path, FormatBatteryKnowledge(identity, knowledge), 0600, error)) {
        return path + ": " + error;
    }
    return "";
}

}  // namespace gw::monitor
