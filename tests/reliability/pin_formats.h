// The formats a capture pin offers, as an application finds them: the pin
// factory's data ranges, and the format data intersection makes of one.
// Shared by the allocation sweep, the soak and the fuzz targets.
#pragma once

#include <ks.h>

#include <vector>

namespace m4350test {

// Copies of the data ranges of pin factory 0 of the filter; empty on failure.
std::vector<std::vector<unsigned char>> PinRanges(HANDLE filter);

// The format the pin makes of `range`; empty when it refuses it.
std::vector<unsigned char> IntersectFormat(HANDLE filter, const std::vector<unsigned char>& range);

} // namespace m4350test
