// What the hidraw bus learns about a device from its report descriptor.
//
// Pure functions, defined beside the hidraw bus that uses them; they do no
// I/O so they can be checked on byte arrays.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gw::link {

// True when the descriptor declares a Report ID, so that the device numbers
// its reports. The descriptor is walked item by item (long items skipped by
// their stated size), so a data byte that happens to equal the Report ID
// prefix is not taken for one; walking stops at the first truncated item.
bool HasReportIdItem(const std::vector<std::uint8_t>& descriptor);

// The sysfs file holding the report descriptor of "/dev/hidrawN"; empty when
// `device_path` names no hidraw node.
std::string ReportDescriptorPath(const std::string& device_path);

}  // namespace gw::link
