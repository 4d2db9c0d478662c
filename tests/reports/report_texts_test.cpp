// The report, notice and page texts byte for byte: these are what recipients and their scripts
// read.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "reports/report_notices.h"
#include "reports/status_page.h"
#include "reports/status_report.h"

namespace gw::reports {
namespace {

using monitor::NoticeKind;
using namespace std::chrono_literals;

// 2026-03-04 05:06:07 UTC; the test binary runs with TZ=UTC.
const auto kNow = std::chrono::system_clock::time_point(1772600767s);
const auto kMidnight = std::chrono::system_clock::time_point(1772582400s);

ReportSnapshot HidSnapshot() {
    ReportSnapshot s;
    s.VidText = "0665";
    s.PidText = "5161";
    s.ProductName = "USB UPS";
    s.InputVoltage = "230.0";
    s.InputFaultVoltage = "229.5";
    s.OutputVoltage = "231.0";
    s.OutputCurrent = "012";
    s.InputFrequency = "50.0";
    s.BatteryVoltage = "13.6";
    s.Temperature = "25.0";
    s.StatusBits = "00001001";
    s.UpsFound = true;
    return s;
}

const char kReadings[] =
    "I/P Voltage = 230.0 V\r\n"
    "I/P Fault Voltage = 229.5 V\r\n"
    "O/P Voltage = 231.0 V\r\n"
    "O/P Current = 012 %\r\n"
    "I/P Frequency = 50.0 Hz\r\n"
    "Battery Voltage = 13.6 V\r\n"
    "Temperature = 25.0 \260C\r\n"
    "UPS Status = 00001001\r\n";

TEST(StatusReportTest, BodyHasTenLinesThenOnePerSetFlag) {
    ReportSnapshot s = HidSnapshot();
    const std::string head =
        "Report - 2026-03-04 05:06:07\r\nVID: 0x0665 PID: 0x5161 Product: USB UPS\r\n";
    ComposedReport report = ComposeStatusReport(s, kNow);
    EXPECT_EQ(report.Subject, "Report - 2026-03-04 05:06:07");
    EXPECT_EQ(report.Body, head + kReadings);
    EXPECT_FALSE(report.Notice);

    s.PowerFail = s.BatteryLow = s.AvrActive = s.UpsFailed = true;
    s.UpsFound = false;  // the report goes out all the same
    EXPECT_EQ(ComposeStatusReport(s, kNow).Body,
              head + kReadings + "Power fail\r\nBattery Low\r\nAVR On\r\nUPS failed\r\n");
}

TEST(StatusReportTest, ComUpsBeforeItsFirstReplyLeavesEveryValueEmpty) {
    const ComposedReport report = ComposeStatusReport(ReportSnapshot{}, kMidnight);
    EXPECT_EQ(report.Subject, "Report - 2026-03-04");
    EXPECT_EQ(report.Body,
              "Report - 2026-03-04\r\n"
              "VID: 0x PID: 0x Product: \r\n"
              "I/P Voltage =  V\r\n"
              "I/P Fault Voltage =  V\r\n"
              "O/P Voltage =  V\r\n"
              "O/P Current =  %\r\n"
              "I/P Frequency =  Hz\r\n"
              "Battery Voltage =  V\r\n"
              "Temperature =  \260C\r\n"
              "UPS Status = \r\n");
}

TEST(EventNoticeTest, EachKindHasItsSubjectAndFirstLine) {
    struct Case {
        NoticeKind kind;
        const char* subject;
        const char* first_line;
    };
    // clang-format off
    const Case cases[] = {
        {NoticeKind::PowerFail,     "Warning - Power fail",     "Warning - 2026-03-04 05:06:07 Power fail"},
        {NoticeKind::PowerRestored, "Information - Power O.K.", "Information - 2026-03-04 05:06:07 Power O.K."},
        {NoticeKind::AvrOn,         "Warning - AVR On",         "Warning - 2026-03-04 05:06:07 AVR On"},
        {NoticeKind::AvrOff,        "Information - AVR Off",    "Information - 2026-03-04 05:06:07 AVR Off"},
        {NoticeKind::BatteryLow,    "Warning - ",               "Warning - 2026-03-04 05:06:07 Battery Low"},
    };
    // clang-format on
    for (const Case& c : cases) {
        const ComposedReport notice = ComposeEventNotice(c.kind, HidSnapshot(), kNow);
        EXPECT_EQ(notice.Subject, c.subject);
        EXPECT_EQ(notice.Body,
                  std::string(c.first_line) + "\r\nVID: 0x0665 PID: 0x5161 Product: USB UPS\r\n");
        EXPECT_EQ(notice.Notice, c.kind);
    }
}

class RecordingChannel final : public ReportChannel {
public:
    void Send(const ComposedReport& report) override { Sent.push_back(report); }
    std::vector<ComposedReport> Sent;
};

TEST(ReportNoticesTest, ComposesFromTheDisplayAtTheCallForTheChosenChannelsOnly) {
    monitor::DisplayModel display;
    link::UpsLink ups;
    ReportNotices notices(display, ups);
    notices.Notify(NoticeKind::PowerFail, kNow, {true, true});  // nothing plugged: nothing sent

    RecordingChannel mail;
    RecordingChannel lan;
    notices.SetMailChannel(&mail);
    notices.SetLanChannel(&lan);
    display.VIDE = "0665";
    notices.Notify(NoticeKind::AvrOff, kNow, {false, true});
    display.VIDE = "0001";
    notices.Notify(NoticeKind::BatteryLow, kNow, {true, true});

    ASSERT_EQ(mail.Sent.size(), 1u);
    ASSERT_EQ(lan.Sent.size(), 2u);
    EXPECT_EQ(lan.Sent[0].Body,
              "Information - 2026-03-04 05:06:07 AVR Off\r\nVID: 0x0665 PID: 0x Product: \r\n");
    EXPECT_EQ(mail.Sent[0].Body, lan.Sent[1].Body);
    EXPECT_EQ(mail.Sent[0].Subject, "Warning - ");
}

// The device from the detection's fields, the readings as the UPS sent them and the flags from
// the record.
TEST(ReportSnapshotTest, EachValueComesFromTheRecordOrTheDetection) {
    monitor::DisplayModel display;
    link::UpsLink ups;
    display.VIDE = "0665";
    display.PIDE = "5161";
    display.ProductNameE = "USB UPS";
    monitor::UpsState state;
    state.Received.Fields = {"230.0", "229.5", "231.0", "012", "50.0", "13.6", "25.0", "00001001"};
    state.Flags[1] = state.Flags[3] = true;
    ups.UpsFound = true;
    const ReportSnapshot snapshot = TakeReportSnapshot(state, display, ups);
    EXPECT_EQ(ComposeStatusReport(snapshot, kNow).Body,
              "Report - 2026-03-04 05:06:07\r\nVID: 0x0665 PID: 0x5161 Product: USB UPS\r\n" +
                  std::string(kReadings) + "Battery Low\r\nUPS failed\r\n");

    display.OPCurrentCB = false;
    display.UPSFailCB = false;
    const auto lines = ComposeStatusPage(snapshot, TakeReportItems(display), kNow);
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[5], "I/P Frequency = 50.0 Hz</br>");
    EXPECT_EQ(lines[9], "Battery Low</br>");
}

TEST(StatusPageTest, TickedItemsAndSetFlagsMakeTheLines) {
    ReportSnapshot s = HidSnapshot();
    s.PowerFail = s.AvrActive = true;
    ReportItems items;
    EXPECT_EQ(JoinPageLines(ComposeStatusPage(s, items, kNow)),
              "<b>Report</b> - 2026-03-04 05:06:07</br>\r\n"
              "VID: 0x0665 PID: 0x5161 Product: USB UPS</br>\r\n"
              "I/P Voltage = 230.0 V</br>\r\n"
              "I/P Fault Voltage = 229.5 V</br>\r\n"
              "O/P Voltage = 231.0 V</br>\r\n"
              "O/P Current = 012 %</br>\r\n"
              "I/P Frequency = 50.0 Hz</br>\r\n"
              "Battery Voltage = 13.6 V</br>\r\n"
              "Temperature = 25.0 \260C</br>\r\n"
              "UPS Status = 00001001</br>\r\n"
              "Power fail</br>\r\n"
              "AVR On</br>\r\n");

    // An unticked box hides its line even while its flag is set.
    items = ReportItems{false, false, false, false, false, false,
                        false, false, false, false, true,  false};
    EXPECT_EQ(
        ComposeStatusPage(s, items, kNow),
        (std::vector<std::string>{"<b>Report</b> - 2026-03-04 05:06:07</br>",
                                  "VID: 0x0665 PID: 0x5161 Product: USB UPS</br>", "AVR On</br>"}));
}

TEST(StatusPageTest, NoUpsGivesOneLineAndMarkupFromTheDeviceIsEscaped) {
    ReportSnapshot s = HidSnapshot();
    s.UpsFound = false;
    EXPECT_EQ(JoinPageLines(ComposeStatusPage(s, ReportItems{}, kNow)), "UPS not found!</br>\r\n");

    s.UpsFound = true;
    s.ProductName = "<script>x</script>";
    s.StatusBits = "a&b";
    const auto lines = ComposeStatusPage(s, ReportItems{}, kNow);
    EXPECT_EQ(lines[1], "VID: 0x0665 PID: 0x5161 Product: &lt;script&gt;x&lt;/script&gt;</br>");
    EXPECT_EQ(lines[9], "UPS Status = a&amp;b</br>");
}

}  // namespace
}  // namespace gw::reports
