#include "controls/video_properties.h"

#include <ksmedia.h>

#include "board/board.h"
#include "controls/control_ranges.h"
#include "controls/control_request.h"
#include "device/capture_device.h"
#include "device/settings.h"

namespace {

// "FixedStandard": 0 the standard follows the format, 1 NTSC, else PAL.
// Read anew on every request that uses it.
ULONG FixedStandard() {
    return QueryParameter(L"FixedStandard");
}

ULONG ColorCode(ULONG color) {
    return color & 0xFF;
}

ModeSettings ChannelMode(const ControlRequest& target) {
    ModeSettings mode = {};
    getMode(target.device->board, target.channel, &mode);
    return mode;
}

// The four picture controls: the mode word each is kept in and the values
// a set accepts. Contrast and saturation are tested unsigned, so a negative
// value counts as a huge one.
struct PictureControl {
    ULONG id;
    ULONG ModeSettings::*field;
    LONG minimum, maximum;
};

const PictureControl PictureControls[] = {
    {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &ModeSettings::bright, BrightnessRange.minimum,
     BrightnessRange.maximum},
    {KSPROPERTY_VIDEOPROCAMP_CONTRAST, &ModeSettings::contrast, ContrastRange.minimum,
     ContrastRange.maximum},
    {KSPROPERTY_VIDEOPROCAMP_HUE, &ModeSettings::hue, HueRange.minimum, HueRange.maximum},
    {KSPROPERTY_VIDEOPROCAMP_SATURATION, &ModeSettings::saturation, SaturationRange.minimum,
     SaturationRange.maximum},
};

const PictureControl* FindPictureControl(ULONG id) {
    for (const PictureControl& control : PictureControls) {
        if (control.id == id) {
            return &control;
        }
    }
    return nullptr;
}

bool Accepts(const PictureControl& control, LONG value) {
    if (control.minimum >= 0) {
        return ULONG(value) <= ULONG(control.maximum);
    }
    return value >= control.minimum && value <= control.maximum;
}

// Colour on or off; called with controlsMutex held. Off forces the board to
// luminance only while a pin exists; on brings back the colour code of the connected format.
// Without a pin only the flag changes, and the next stream applies it. FALSE when nothing is to be
// sent.
bool SwitchColor(const ControlRequest& target, LONG enable, ModeSettings* mode) {
    CaptureDevice* device = target.device;
    ULONG channel = target.channel;
    bool pin = InterlockedCompareExchange(&device->pinCount[channel], 0, 0) != 0;
    ULONG code = ColorCode(mode->color);
    if (!enable) {
        WriteChannelWord(&device->m_bColor[channel], 0);
        if (!pin || code == ColorMono) {
            return false;
        }
        mode->color = (mode->color & ~0xFFu) | ColorMono;
        DbgPrint("changing to Y8\n");
        return true;
    }
    WriteChannelWord(&device->m_bColor[channel], 1);
    ULONG connected = ReadChannelWord(&device->connectedColor[channel]);
    if (!pin || code == ColorCode(connected)) {
        return false;
    }
    mode->color = (mode->color & ~0xFFu) | ColorCode(connected);
    DbgPrint("changing back to color %d [y8 is %d]\n", mode->color, ColorMono);
    return true;
}

} // namespace

NTSTATUS VideoDecoderGet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    ControlRequest target;
    if (!ResolveControlRequest(irp, &target)) {
        return STATUS_NOT_SUPPORTED;
    }
    ULONG fixed = FixedStandard();
    switch (request->Id) {
    case KSPROPERTY_VIDEODECODER_CAPS: {
        auto* caps = static_cast<PKSPROPERTY_VIDEODECODER_CAPS_S>(data);
        caps->StandardsSupported = fixed == 2   ? KS_AnalogVideo_PAL_B
                                   : fixed == 1 ? KS_AnalogVideo_NTSC_M
                                                : KS_AnalogVideo_NTSC_M | KS_AnalogVideo_PAL_B;
        return STATUS_SUCCESS;
    }
    case KSPROPERTY_VIDEODECODER_STANDARD: {
        auto* standard = static_cast<PKSPROPERTY_VIDEODECODER_S>(data);
        if (fixed == 1) {
            standard->Value = KS_AnalogVideo_NTSC_M;
        } else if (fixed == 0) {
            standard->Value = ChannelMode(target).format == FormatNtsc ? KS_AnalogVideo_NTSC_M
                                                                       : KS_AnalogVideo_PAL_B;
        } else {
            standard->Value = KS_AnalogVideo_PAL_B;
        }
        return STATUS_SUCCESS;
    }
    case KSPROPERTY_VIDEODECODER_STATUS: {
        auto* status = static_cast<PKSPROPERTY_VIDEODECODER_STATUS_S>(data);
        status->NumberOfLines = ChannelMode(target).format == FormatNtsc ? 525 : 625;
        status->SignalLocked = 0;
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_NOT_SUPPORTED;
    }
}

NTSTATUS VideoDecoderSet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    ControlRequest target;
    if (!ResolveControlRequest(irp, &target) || request->Id != KSPROPERTY_VIDEODECODER_STANDARD) {
        return STATUS_NOT_SUPPORTED;
    }
    Board* board = target.device->board;
    if (!board) {
        return STATUS_NOT_SUPPORTED;
    }
    auto* standard = static_cast<PKSPROPERTY_VIDEODECODER_S>(data);
    // The pin's format list and its connected format belong to one standard.
    // A pin's creation raises the count under the same mutex before it sends
    // anything, so a pin being created counts.
    ModeChange change(board);
    if (InterlockedCompareExchange(&target.device->pinCount[target.channel], 0, 0) != 0) {
        return STATUS_NOT_SUPPORTED;
    }
    ModeSettings mode = ChannelMode(target);
    mode.format = standard->Value == KS_AnalogVideo_PAL_B ? FormatPal : FormatNtsc;
    ULONG fixed = FixedStandard();
    if (fixed) {
        mode.format = fixed == 1 ? FormatNtsc : FormatPal;
    }
    // The next pin on this channel of this board offers the new standard.
    SelectChannelRangeList(target.device, target.channel, mode.format == FormatPal);
    mode.restart = 1;
    setMode(board, target.channel, &mode);
    return STATUS_SUCCESS;
}

NTSTATUS ProcAmpGet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    ControlRequest target;
    if (!ResolveControlRequest(irp, &target) || !target.device->board) {
        return STATUS_NOT_SUPPORTED;
    }
    auto* procAmp = static_cast<PKSPROPERTY_VIDEOPROCAMP_S>(data);
    ModeSettings mode = ChannelMode(target);
    LONG value;
    if (const PictureControl* control = FindPictureControl(request->Id)) {
        value = LONG(mode.*control->field);
    } else if (request->Id == KSPROPERTY_VIDEOPROCAMP_COLORENABLE) {
        // A JPEG channel is always in colour.
        if (ColorCode(mode.color) == ColorJpeg) {
            value = 1;
        } else {
            value = LONG(ReadChannelWord(&target.device->m_bColor[target.channel]));
            DbgPrint("color %s \n", value ? "On" : "Off");
        }
    } else {
        return STATUS_NOT_SUPPORTED;
    }
    procAmp->Value = value;
    procAmp->Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    procAmp->Capabilities = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    return STATUS_SUCCESS;
}

NTSTATUS ProcAmpSet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    ControlRequest target;
    if (!ResolveControlRequest(irp, &target) || !target.device->board) {
        return STATUS_NOT_SUPPORTED;
    }
    LONG value = static_cast<PKSPROPERTY_VIDEOPROCAMP_S>(data)->Value;
    ModeChange change(target.device->board);
    ModeSettings mode = ChannelMode(target);
    mode.restart = 0;
    if (const PictureControl* control = FindPictureControl(request->Id)) {
        if (!Accepts(*control, value)) {
            return STATUS_INVALID_PARAMETER;
        }
        mode.*control->field = ULONG(value);
    } else if (request->Id == KSPROPERTY_VIDEOPROCAMP_COLORENABLE) {
        if (ColorCode(mode.color) == ColorJpeg) {
            DbgPrint("jpeg not supported\n");
            return STATUS_NOT_SUPPORTED;
        }
        if (!SwitchColor(target, value, &mode)) {
            return STATUS_SUCCESS;
        }
    } else {
        return STATUS_NOT_SUPPORTED;
    }
    // A failed send is logged by setMode; the setting is stored either way.
    setMode(target.device->board, target.channel, &mode);
    return STATUS_SUCCESS;
}

NTSTATUS DroppedFramesGet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    ControlRequest target;
    if (!ResolveControlRequest(irp, &target) || request->Id != KSPROPERTY_DROPPEDFRAMES_CURRENT) {
        return STATUS_NOT_SUPPORTED;
    }
    auto* dropped = static_cast<PKSPROPERTY_DROPPEDFRAMES_CURRENT_S>(data);
    CaptureDevice* device = target.device;
    dropped->PictureNumber = LONGLONG(ReadChannelWord(&device->lastFrameNumber[target.channel]));
    dropped->DropCount = LONGLONG(ReadChannelWord(&device->droppedFrameCount[target.channel]));
    dropped->AverageFrameSize = 0;
    return STATUS_SUCCESS;
}
