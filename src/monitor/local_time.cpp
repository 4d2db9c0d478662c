#include "monitor/local_time.h"

#include <ctime>

namespace gw::monitor {

std::string LocalTimeText(std::chrono::system_clock::time_point time, const char* format) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[64] = {};
    std::strftime(text, sizeof text, format, &local);
    return text;
}

}  // namespace gw::monitor
