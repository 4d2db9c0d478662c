// The history charts' labels: never wider than their column, the runtime in minutes.
#include <gtest/gtest.h>

#include "reports/history_svg.h"

namespace gw::reports {
namespace {

using history::Field;

TEST(ChartLabelsTest, AxisLabelsKeepToFiveDigits) {
    const struct {
        double Value;
        double Span;
        const char* Text;
    } cases[] = {
        {2056, 2.2, "2056.0"}, {2056, 0.5, "2056.0"}, {123456, 0.5, "123456"},
        {34.27, 0.1, "34.27"}, {230.04, 30, "230"},   {13.6, 2.5, "13.6"},
        {0.5, 1, "0.50"},      {-5, 10, "-5.0"},
    };
    for (const auto& c : cases) EXPECT_EQ(AxisText(c.Value, c.Span), c.Text) << c.Value;
}

TEST(ChartLabelsTest, RuntimeIsChartedInMinutes) {
    history::Bucket bucket;
    bucket.Start = 1000;
    bucket.Values[static_cast<std::size_t>(Field::Runtime)] = history::Span{2040, 2046, 2052};
    bucket.Values[static_cast<std::size_t>(Field::Load)] = history::Span{20, 21, 22};
    const auto minutes = InChartUnit({bucket}, Field::Runtime);
    EXPECT_DOUBLE_EQ(minutes[0][Field::Runtime]->Mean, 34.1);
    EXPECT_DOUBLE_EQ(InChartUnit({bucket}, Field::Load)[0][Field::Load]->Mean, 21);

    const std::string svg = SvgChart({Field::Runtime, "Battery runtime"}, {bucket}, 0, 2000, 1000);
    EXPECT_NE(svg.find("Battery runtime (min)"), std::string::npos) << svg;
    EXPECT_NE(svg.find(">34.20<"), std::string::npos) << svg;
    EXPECT_EQ(svg.find(">2052"), std::string::npos) << svg;
}

}  // namespace
}  // namespace gw::reports
