// The formats a channel offers, as a person writes them: "uyvy:640x480@29.97",
// "rgb24:352x288@25", "mjpg:704x576@12.5", "y800:480x640" (portrait). A
// format is picked from the channel's own data ranges and then handed to the
// pin's data intersection, as an application does.
#pragma once

#include <ks.h>
#include <ksmedia.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace m4350::cap {

enum class Subtype { Uyvy, Yuy2, Yv16, Y800, Rgb24, Rgb32, Mjpg };

const char* SubtypeName(Subtype subtype); // "uyvy", "rgb24", ...

// One data range of a pin, with what a person needs to tell it apart.
struct OfferedFormat {
    Subtype subtype;
    int32_t width;
    int32_t height; // as the range has it: negative for top-down images
    bool pal;       // the range's standard is one of the PAL ones
    uint32_t bitCount;
    int64_t minInterval; // the full frame rate, 100 ns units
    KS_DATARANGE_VIDEO range;

    uint32_t Rows() const { return uint32_t(height < 0 ? -height : height); }
    bool Portrait() const { return Rows() > uint32_t(width); }
};

// What the user asked for; zero fields were not given.
struct FormatRequest {
    Subtype subtype;
    uint32_t width = 0;
    uint32_t rows = 0;
    double fps = 0;
    std::string text; // as written
};

// Parses "subtype[:WxH][@fps]"; nullopt with `error` set when it cannot.
std::optional<FormatRequest> ParseFormat(const std::string& text, std::string* error);

// The frame rates a standard offers: the full rate divided by 1, 2, 3, 5.
inline constexpr int kDecimations[] = {1, 2, 3, 5};
// Frame interval (100 ns) of a decimation, exactly as the pin accepts it.
int64_t FrameInterval(bool pal, int decimation);
double FramesPerSecond(bool pal, int decimation);
// The decimation whose rate is within 1 % of `fps`; 0 when none is.
int DecimationFor(bool pal, double fps);

// "NTSC-M", "PAL-B" or "PAL-M": the standard a range belongs to.
const char* StandardName(const OfferedFormat& format);

// Text of one format for lists and file names: "uyvy:640x480@29.97".
std::string Describe(const OfferedFormat& format, int decimation);

// One video data range as an offered format; false for a subtype this tool
// does not know.
bool OfferedFromRange(const KS_DATARANGE_VIDEO& range, OfferedFormat* out);

// The ranges of pin factory `pin` of a filter (KSPROPERTY_PIN_DATARANGES).
NTSTATUS QueryOfferedFormats(HANDLE filter, ULONG pin, std::vector<OfferedFormat>* out);

// The format for a request: the first offered range that matches, its
// interval set to the requested rate. Missing size: the largest upright one;
// missing rate: the full rate. nullopt with `error` listing what the channel
// offers.
struct ChosenFormat {
    OfferedFormat offered;
    int decimation = 1;
};
std::optional<ChosenFormat> ChooseFormat(const std::vector<OfferedFormat>& offered,
                                         const FormatRequest& request, std::string* error);

// Data intersection of the chosen range (with the requested frame interval)
// on the pin factory: the KS_DATAFORMAT_VIDEOINFOHEADER the pin is created
// with, in `format` (sized as the driver answered).
NTSTATUS IntersectFormat(HANDLE filter, ULONG pin, const ChosenFormat& chosen,
                         std::vector<LONGLONG>* format);

} // namespace m4350::cap
