// The simulator's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "simulated_ups.h"

namespace gw::upssim {

struct Options {
    int com_port = 1;
    UpsOptions ups;
    double time_scale = 1.0;  // simulated seconds per real second
    bool pace = false;        // write replies at 2400 baud
    std::string script_path;
    bool read_stdin = false;          // also when stdin is not a terminal
    std::optional<std::string> send;  // client mode: one command to a running simulator
    bool help = false;
};

// `arguments` without the program name. Returns nullopt with `error` set on
// anything it does not understand.
std::optional<Options> ParseOptions(const std::vector<std::string>& arguments, std::string& error);

std::string Usage();

}  // namespace gw::upssim
