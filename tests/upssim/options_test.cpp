#include "options.h"

#include <gtest/gtest.h>

namespace gw::upssim {
namespace {

std::optional<Options> Parse(std::vector<std::string> arguments, std::string* error = nullptr) {
    std::string text;
    auto options = ParseOptions(arguments, text);
    if (error != nullptr) {
        *error = text;
    }
    return options;
}

TEST(Options, Defaults) {
    const auto options = Parse({});
    ASSERT_TRUE(options.has_value());
    EXPECT_EQ(options->com_port, 1);
    EXPECT_EQ(options->ups.nominal_battery_voltage, 12);
    EXPECT_EQ(options->ups.load_percent, 12);
    EXPECT_FALSE(options->ups.mustek);
    EXPECT_FALSE(options->ups.online);
    EXPECT_DOUBLE_EQ(options->time_scale, 1.0);
    EXPECT_FALSE(options->send.has_value());
}

TEST(Options, ReadsEveryOption) {
    const auto options = Parse({"--com",
                                "3",
                                "--mustek",
                                "--online",
                                "--battery=48",
                                "--per-cell",
                                "--load",
                                "40",
                                "--runtime",
                                "900",
                                "--time-scale=60",
                                "--pace",
                                "--unsupported",
                                "I,F",
                                "--script",
                                "s.txt",
                                "--stdin",
                                "--seed",
                                "7",
                                "--age",
                                "0.6,2.5",
                                "--self-test-every",
                                "3600"});
    ASSERT_TRUE(options.has_value());
    EXPECT_EQ(options->com_port, 3);
    EXPECT_TRUE(options->ups.mustek && options->ups.online && options->ups.per_cell);
    EXPECT_EQ(options->ups.nominal_battery_voltage, 48);
    EXPECT_EQ(options->ups.load_percent, 40);
    EXPECT_EQ(options->ups.runtime_seconds, 900.0);
    EXPECT_DOUBLE_EQ(options->ups.age.capacity_factor, 0.6);
    EXPECT_DOUBLE_EQ(options->ups.age.resistance_factor, 2.5);
    EXPECT_EQ(options->ups.self_test_every, 3600.0);
    EXPECT_DOUBLE_EQ(options->time_scale, 60.0);
    EXPECT_TRUE(options->pace && options->read_stdin);
    EXPECT_EQ(options->ups.unsupported, Bit(UpsCommand::Info) | Bit(UpsCommand::Rating));
    EXPECT_EQ(options->script_path, "s.txt");
    EXPECT_EQ(options->ups.seed, 7u);
}

TEST(Options, NamedAgesAndCapacity) {
    const auto options = Parse(
        {"--age", "aged", "--capacity", "9", "--float-voltage", "13.8", "--rest-voltage", "12.6"});
    ASSERT_TRUE(options.has_value());
    EXPECT_DOUBLE_EQ(options->ups.float_volts, 13.8);
    EXPECT_DOUBLE_EQ(options->ups.rest_full_volts, 12.6);
    EXPECT_DOUBLE_EQ(options->ups.capacity_ah, 9.0);
    EXPECT_DOUBLE_EQ(options->ups.age.capacity_factor, 0.5);
    EXPECT_DOUBLE_EQ(options->ups.age.resistance_factor, 3.0);
    EXPECT_FALSE(options->ups.runtime_seconds.has_value());
}

TEST(Options, ClientMode) {
    const auto options = Parse({"--com", "2", "--send", "load 40"});
    ASSERT_TRUE(options.has_value());
    EXPECT_EQ(options->send, "load 40");
}

TEST(Options, RejectsBadValues) {
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{"--com", "0"},
                                               {"--com", "10"},
                                               {"--battery", "20"},
                                               {"--time-scale", "0"},
                                               {"--load", "x"},
                                               {"--unsupported", "ZZ"},
                                               {"--com"},
                                               {"--pace=1"},
                                               {"--frobnicate"},
                                               {"--age", "old"},
                                               {"--age", "0,3"},
                                               {"--age", "0.5,0.5"},
                                               {"--capacity", "0"},
                                               {"--float-voltage", "12"},
                                               {"--rest-voltage", "14"},
                                               {"--self-test-every", "5"},
                                               {"--capacity", "7", "--runtime", "600"}}) {
        std::string error;
        EXPECT_FALSE(Parse(arguments, &error).has_value()) << arguments[0];
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
}  // namespace gw::upssim
