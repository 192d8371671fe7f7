// The formats a capture pin offers, as an application finds them: the pin
// factory's data ranges, and the format data intersection makes of one.
// Shared by the allocation sweep, the soak and the fuzz targets.
#pragma once

#include <ks.h>

#include <set>
#include <string>
#include <vector>

namespace m4350test {

// The filter of each of a device's four channels, by channel number, among
// the video filters now published and not in `before` (the links published
// before the device started); empty entries for channels without one.
std::vector<std::wstring> ChannelLinks(const std::set<std::wstring>& before = {});

// Copies of the data ranges of pin factory 0 of the filter; empty on failure.
std::vector<std::vector<unsigned char>> PinRanges(HANDLE filter);

// The format the pin makes of `range`; empty when it refuses it.
std::vector<unsigned char> IntersectFormat(HANDLE filter, const std::vector<unsigned char>& range);

} // namespace m4350test
