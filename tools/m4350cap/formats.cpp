#include "formats.h"

#include <host/ks_client.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace m4350::cap {

namespace {

constexpr uint32_t FourCc(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
           uint32_t(uint8_t(d)) << 24;
}

struct SubtypeInfo {
    Subtype subtype;
    const char* name;
    uint32_t compression; // 0 for BI_RGB
    uint32_t bitCount;    // 0: any
};

constexpr SubtypeInfo kSubtypes[] = {
    {Subtype::Uyvy, "uyvy", FourCc('U', 'Y', 'V', 'Y'), 0},
    {Subtype::Yuy2, "yuy2", FourCc('Y', 'U', 'Y', '2'), 0},
    {Subtype::Yv16, "yv16", FourCc('Y', 'V', '1', '6'), 0},
    {Subtype::Y800, "y800", FourCc('Y', '8', '0', '0'), 0},
    {Subtype::Rgb24, "rgb24", 0, 24},
    {Subtype::Rgb32, "rgb32", 0, 32},
    {Subtype::Mjpg, "mjpg", FourCc('M', 'J', 'P', 'G'), 0},
};

// Names people use besides ours.
struct Alias {
    const char* name;
    Subtype subtype;
};
constexpr Alias kAliases[] = {
    {"mjpeg", Subtype::Mjpg}, {"jpeg", Subtype::Mjpg},   {"grey", Subtype::Y800},
    {"gray", Subtype::Y800},  {"y8", Subtype::Y800},     {"yuyv", Subtype::Yuy2},
    {"rgb", Subtype::Rgb24},  {"bgr24", Subtype::Rgb24}, {"bgra", Subtype::Rgb32}};

std::optional<Subtype> SubtypeOfHeader(const KS_BITMAPINFOHEADER& h) {
    for (const SubtypeInfo& s : kSubtypes)
        if (s.compression == h.biCompression && (!s.bitCount || s.bitCount == h.biBitCount))
            return s.subtype;
    return std::nullopt;
}

std::string Lower(std::string s) {
    for (char& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Rate(double fps) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", fps);
    std::string s = text;
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.')
        s.pop_back();
    return s;
}

} // namespace

const char* SubtypeName(Subtype subtype) {
    for (const SubtypeInfo& s : kSubtypes)
        if (s.subtype == subtype)
            return s.name;
    return "?";
}

int64_t FrameInterval(bool pal, int decimation) {
    // NTSC: whole multiples of the full rate's 1001/30000 s, as the pin takes them.
    switch (decimation) {
    case 1:
        return pal ? 400000 : 333667;
    case 2:
        return pal ? 800000 : 667334;
    case 3:
        return pal ? 1200000 : 1001001;
    default:
        return pal ? 2000000 : 1668335;
    }
}

double FramesPerSecond(bool pal, int decimation) {
    return (pal ? 25.0 : 30000.0 / 1001.0) / decimation;
}

int DecimationFor(bool pal, double fps) {
    for (int d : kDecimations) {
        const double rate = FramesPerSecond(pal, d);
        // NTSC rates are also written as 30, 15, 10 and 6.
        const double nominal = pal ? rate : 30.0 / d;
        if (std::fabs(fps - rate) <= rate * 0.01 || std::fabs(fps - nominal) <= nominal * 0.01)
            return d;
    }
    return 0;
}

const char* StandardName(const OfferedFormat& f) {
    switch (f.range.ConfigCaps.VideoStandard) {
    case KS_AnalogVideo_NTSC_M:
        return "NTSC-M";
    case KS_AnalogVideo_PAL_B:
        return "PAL-B";
    case KS_AnalogVideo_PAL_M:
        return "PAL-M";
    default:
        return "other";
    }
}

std::string Describe(const OfferedFormat& f, int decimation) {
    return std::string(SubtypeName(f.subtype)) + ":" + std::to_string(f.width) + "x" +
           std::to_string(f.Rows()) + "@" + Rate(FramesPerSecond(f.pal, decimation));
}

std::optional<FormatRequest> ParseFormat(const std::string& text, std::string* error) {
    FormatRequest r;
    r.text = text;
    std::string s = Lower(text);
    std::string rate, size;
    const auto at = s.find('@');
    if (at != std::string::npos) {
        rate = s.substr(at + 1);
        s.resize(at);
    }
    const auto colon = s.find(':');
    if (colon != std::string::npos) {
        size = s.substr(colon + 1);
        s.resize(colon);
    }
    bool known = false;
    for (const SubtypeInfo& t : kSubtypes)
        if (s == t.name) {
            r.subtype = t.subtype;
            known = true;
        }
    for (const Alias& a : kAliases)
        if (s == a.name) {
            r.subtype = a.subtype;
            known = true;
        }
    if (!known) {
        *error = "unknown pixel format \"" + s + "\" in \"" + text +
                 "\": use uyvy, yuy2, yv16, y800, rgb24, rgb32 or mjpg";
        return std::nullopt;
    }
    if (colon != std::string::npos) {
        unsigned w = 0, h = 0;
        char tail = 0;
        if (std::sscanf(size.c_str(), "%ux%u%c", &w, &h, &tail) != 2 || !w || !h) {
            *error = "cannot read the size \"" + size + "\" in \"" + text +
                     "\": write it as WIDTHxHEIGHT, for example 640x480";
            return std::nullopt;
        }
        r.width = w;
        r.rows = h;
    }
    if (at != std::string::npos) {
        char* end = nullptr;
        r.fps = std::strtod(rate.c_str(), &end);
        if (end == rate.c_str() || *end || !(r.fps > 0)) {
            *error = "cannot read the frame rate \"" + rate + "\" in \"" + text +
                     "\": write it as frames per second, for example @29.97 or @12.5";
            return std::nullopt;
        }
    }
    return r;
}

bool OfferedFromRange(const KS_DATARANGE_VIDEO& range, OfferedFormat* out) {
    OfferedFormat f{};
    std::memcpy(&f.range, &range, sizeof f.range);
    const KS_BITMAPINFOHEADER& h = f.range.VideoInfoHeader.bmiHeader;
    auto subtype = SubtypeOfHeader(h);
    if (!subtype)
        return false;
    f.subtype = *subtype;
    f.width = h.biWidth;
    f.height = h.biHeight;
    f.bitCount = h.biBitCount;
    f.pal = f.range.ConfigCaps.VideoStandard != KS_AnalogVideo_NTSC_M;
    f.minInterval = f.range.ConfigCaps.MinFrameInterval;
    *out = f;
    return true;
}

NTSTATUS QueryOfferedFormats(HANDLE filter, ULONG pin, std::vector<OfferedFormat>* out) {
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_DATARANGES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pin;
    ULONG size = 0;
    NTSTATUS status = host::ks::DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof request,
                                                nullptr, 0, &size);
    if (status != STATUS_BUFFER_OVERFLOW && !NT_SUCCESS(status))
        return status;
    std::vector<LONGLONG> storage(size / sizeof(LONGLONG) + 1);
    status = host::ks::DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof request,
                                       storage.data(), size, &size);
    if (!NT_SUCCESS(status))
        return status;
    const auto* bytes = reinterpret_cast<const unsigned char*>(storage.data());
    const auto* items = reinterpret_cast<const KSMULTIPLE_ITEM*>(bytes);
    out->clear();
    size_t offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < items->Count && offset + sizeof(KSDATARANGE) <= size; ++i) {
        const auto* range = reinterpret_cast<const KSDATARANGE*>(bytes + offset);
        OfferedFormat f{};
        if (range->FormatSize >= sizeof(KS_DATARANGE_VIDEO) &&
            offset + sizeof(KS_DATARANGE_VIDEO) <= size &&
            OfferedFromRange(*reinterpret_cast<const KS_DATARANGE_VIDEO*>(range), &f))
            out->push_back(f);
        offset += (range->FormatSize + 7) & ~size_t(7);
    }
    return STATUS_SUCCESS;
}

std::optional<ChosenFormat> ChooseFormat(const std::vector<OfferedFormat>& offered,
                                         const FormatRequest& request, std::string* error) {
    const OfferedFormat* best = nullptr;
    for (const OfferedFormat& f : offered) {
        if (f.subtype != request.subtype)
            continue;
        if (request.width && (uint32_t(f.width) != request.width || f.Rows() != request.rows))
            continue;
        if (!request.width && f.Portrait())
            continue;
        // Of equal sizes the first range wins (a top-down portrait before its
        // bottom-up twin); without a size, the largest.
        if (!best || (!request.width && f.width * f.Rows() > best->width * best->Rows()))
            best = &f;
    }
    std::ostringstream offers;
    std::vector<std::string> seen;
    for (const OfferedFormat& f : offered) {
        const std::string d = Describe(f, 1);
        if (std::find(seen.begin(), seen.end(), d) == seen.end()) {
            seen.push_back(d);
            offers << "\n  " << d;
        }
    }
    if (!best) {
        *error = "the channel does not offer \"" + request.text + "\"; it offers (each also at " +
                 "1/2, 1/3 and 1/5 of the rate):" + offers.str();
        return std::nullopt;
    }
    ChosenFormat chosen{*best, 1};
    if (request.fps > 0) {
        chosen.decimation = DecimationFor(best->pal, request.fps);
        if (!chosen.decimation) {
            std::string rates;
            for (int d : kDecimations)
                rates += (rates.empty() ? "" : ", ") + Rate(FramesPerSecond(best->pal, d));
            *error = "the channel does not offer " + Rate(request.fps) + " frames per second for " +
                     SubtypeName(best->subtype) + ":" + std::to_string(best->width) + "x" +
                     std::to_string(best->Rows()) + "; it offers " + rates;
            return std::nullopt;
        }
    }
    return chosen;
}

NTSTATUS IntersectFormat(HANDLE filter, ULONG pin, const ChosenFormat& chosen,
                         std::vector<LONGLONG>* format) {
    KS_DATARANGE_VIDEO range = chosen.offered.range;
    range.VideoInfoHeader.AvgTimePerFrame = FrameInterval(chosen.offered.pal, chosen.decimation);
    ULONG size = 0;
    NTSTATUS status =
        host::ks::IntersectDataRange(filter, pin, &range.DataRange, nullptr, 0, &size);
    if (status != STATUS_BUFFER_OVERFLOW && !NT_SUCCESS(status))
        return status;
    if (size < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER))
        size = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
    format->assign(size / sizeof(LONGLONG) + 1, 0);
    return host::ks::IntersectDataRange(filter, pin, &range.DataRange, format->data(), size, &size);
}

} // namespace m4350::cap
