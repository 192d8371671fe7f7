// One started board for the targets that talk to the driver through the
// client side: the driver loaded by the host's PnP manager over a simulated
// board, firmware loaded, its four filters published. It stays up for the
// whole fuzzing run.
#pragma once

#include "driver_system.h"

#include <ks.h>

#include <string>
#include <vector>

namespace m4350fuzz {

class FuzzSystem {
public:
    // Brings the board up; stops the run when it cannot.
    static FuzzSystem& Get();

    // The filter of channel 0 to 3.
    const std::wstring& Link(unsigned channel) const { return links_[channel & 3]; }

    // A format the pin of `channel` offers, by data intersection with the
    // pin's own range `index` (modulo their count); empty when none answers.
    std::vector<unsigned char> Format(HANDLE filter, unsigned index);

private:
    FuzzSystem();
    m4350test::DriverSystem system_;
    std::vector<std::wstring> links_;
};

} // namespace m4350fuzz
