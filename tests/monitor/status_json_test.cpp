#include "monitor/status_json.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "fakes/recording_monitor_fakes.h"
#include "monitor/battery_charge.h"

namespace gw::monitor {
namespace {

using std::chrono::system_clock;

const system_clock::time_point kReplyTime = system_clock::from_time_t(1'700'000'000);

// Sets TZ for one test and puts the old value back.
class ZoneTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* zone = std::getenv("TZ")) saved_ = zone;
        SetZone("UTC");
    }
    void TearDown() override {
        if (saved_) {
            SetZone(saved_->c_str());
        } else {
            unsetenv("TZ");
            tzset();
        }
    }
    static void SetZone(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }

private:
    std::optional<std::string> saved_;
};

UpsStatus Evaluated(const std::string& text) { return fakes::EvaluatedOnce(text, kReplyTime); }

using StatusJsonTest = ZoneTest;

TEST_F(StatusJsonTest, OneLineWithEveryKey) {
    EXPECT_EQ(StatusJson(Evaluated("(230.0 229.0 230.0 021 50.0 13.60 25.0 00001001#")),
              "{\"time\":\"2023-11-14T22:13:20+00:00\","
              "\"fields\":[\"230.0\",\"229.0\",\"230.0\",\"021\",\"50.0\",\"13.60\",\"25.0\","
              "\"00001001\"],"
              "\"input_voltage\":230,\"output_voltage\":230,\"battery_voltage\":13.6,"
              "\"battery_voltage_per_cell\":false,"
              "\"flags\":{\"power_fail\":false,\"battery_low\":false,\"avr\":false,"
              "\"ups_failed\":false,\"standby\":true,\"test_in_progress\":false,"
              "\"shutdown_active\":false,\"beeper_on\":true},"
              "\"mode\":\"OL\",\"avr\":\"...\",\"charge\":97.5,\"input_min\":230,\"input_max\":230,"
              "\"runtime_s\":null,\"runtime_learned\":false,\"battery_health\":null}");
}

TEST_F(StatusJsonTest, NullsBeforeAnyReplyAndForWhatDidNotConvert) {
    EXPECT_EQ(StatusJson(UpsStatus{}),
              "{\"time\":null,\"fields\":[\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\"],"
              "\"input_voltage\":null,\"output_voltage\":null,\"battery_voltage\":null,"
              "\"battery_voltage_per_cell\":false,"
              "\"flags\":{\"power_fail\":false,\"battery_low\":false,\"avr\":false,"
              "\"ups_failed\":false,\"standby\":false,\"test_in_progress\":false,"
              "\"shutdown_active\":false,\"beeper_on\":false},"
              "\"mode\":\"\",\"avr\":\"...\",\"charge\":null,\"input_min\":null,"
              "\"input_max\":null,\"runtime_s\":null,\"runtime_learned\":false,"
              "\"battery_health\":null}");

    const std::string json = StatusJson(Evaluated("(230.0 2\"3\\0\x01 23x.0#"));
    EXPECT_NE(json.find("\"fields\":[\"230.0\",\"2\\\"3\\\\0\\u0001\",\"23x.0\",\"\","),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"input_voltage\":230,\"output_voltage\":null,"), std::string::npos)
        << json;
}

TEST_F(StatusJsonTest, PerCellReadingIsMarked) {
    UpsStatus status;
    status.BatteryVoltage = 2.27L * 12;
    status.BatteryVoltagePerCell = true;
    status.BatteryCharge = 102.4137931L;
    const std::string json = StatusJson(status);
    EXPECT_NE(json.find("\"battery_voltage\":27.24,\"battery_voltage_per_cell\":true"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"charge\":102.4,"), std::string::npos) << json;
}

TEST_F(StatusJsonTest, TimeCarriesTheLocalOffset) {
    UpsStatus status;
    status.ReplyText = "(#";
    status.ReplyTime = kReplyTime;
    const struct {
        const char* Zone;
        const char* Time;
    } cases[] = {
        {"UTC", "\"time\":\"2023-11-14T22:13:20+00:00\""},
        {"<+0530>-5:30", "\"time\":\"2023-11-15T03:43:20+05:30\""},
        {"<-0330>3:30", "\"time\":\"2023-11-14T18:43:20-03:30\""},
    };
    for (const auto& c : cases) {
        SetZone(c.Zone);
        EXPECT_EQ(StatusJson(status).rfind(std::string("{") + c.Time, 0), 0u) << c.Zone;
    }
}

TEST(JsonStringTest, EscapesEverythingOutsidePrintableAscii) {
    const struct {
        std::string In;
        const char* Out;
    } cases[] = {
        {"plain (230.0#", "\"plain (230.0#\""},
        {"a\"b", "\"a\\\"b\""},
        {"back\\slash", "\"back\\\\slash\""},
        {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
        {std::string("\x00\x1f", 2), "\"\\u0000\\u001f\""},
        {"\x7f\xb0\xff", "\"\\u007f\\u00b0\\u00ff\""},
        {"/", "\"/\""},
    };
    for (const auto& c : cases) EXPECT_EQ(JsonString(c.In), c.Out);
}

}  // namespace
}  // namespace gw::monitor
