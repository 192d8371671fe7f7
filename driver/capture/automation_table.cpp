// The channel filters' automation table.
//
// Enumeration returns the items in the order they are listed here; the
// proc-amp items are listed brightness, contrast, saturation, hue, colour
// enable, which is not the order of their ids.
#include "capture/automation_table.h"

#include <ksmedia.h>

#include "controls/control_ranges.h"
#include "controls/device_methods.h"
#include "controls/video_properties.h"
#include "shared/device_method_set.h"

namespace {

// A property item with the fields this table uses: no relations, no support
// handler, no serialisation.
constexpr KSPROPERTY_ITEM PropertyItem(ULONG id, PFNKSHANDLER get, PFNKSHANDLER set,
                                       ULONG minProperty, ULONG minData,
                                       const KSPROPERTY_VALUES* values) {
    return KSPROPERTY_ITEM{id, {get}, minProperty, minData, {set}, values, 0, nullptr, nullptr, 0};
}

const KSPROPERTY_ITEM VideoDecoderItems[] = {
    PropertyItem(KSPROPERTY_VIDEODECODER_CAPS, VideoDecoderGet, nullptr,
                 sizeof(KSPROPERTY_VIDEODECODER_CAPS_S), sizeof(KSPROPERTY_VIDEODECODER_CAPS_S),
                 nullptr),
    PropertyItem(KSPROPERTY_VIDEODECODER_STANDARD, VideoDecoderGet, VideoDecoderSet,
                 sizeof(KSPROPERTY_VIDEODECODER_S), sizeof(KSPROPERTY_VIDEODECODER_S), nullptr),
    PropertyItem(KSPROPERTY_VIDEODECODER_STATUS, VideoDecoderGet, nullptr,
                 sizeof(KSPROPERTY_VIDEODECODER_STATUS_S), sizeof(KSPROPERTY_VIDEODECODER_STATUS_S),
                 nullptr),
    // Listed so that applications see the whole set; neither is supported.
    PropertyItem(KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE, nullptr, nullptr,
                 sizeof(KSPROPERTY_VIDEODECODER_S), sizeof(KSPROPERTY_VIDEODECODER_S), nullptr),
    PropertyItem(KSPROPERTY_VIDEODECODER_VCR_TIMING, nullptr, nullptr,
                 sizeof(KSPROPERTY_VIDEODECODER_S), sizeof(KSPROPERTY_VIDEODECODER_S), nullptr),
};

// Each proc-amp value is a signed 32-bit stepped range with a default.
#define PROCAMP_VALUES(name, limits)                                                               \
    const KSPROPERTY_STEPPING_LONG name##Stepping = {1, 0, {{limits.minimum, limits.maximum}}};    \
    const LONG name##Default = limits.defaultValue;                                                \
    const KSPROPERTY_MEMBERSLIST name##Members[] = {                                               \
        {{KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &name##Stepping},     \
        {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT},              \
         &name##Default},                                                                          \
    };                                                                                             \
    const KSPROPERTY_VALUES name##Values = {                                                       \
        {{{{STATICGUIDOF(KSPROPTYPESETID_General)}, VT_I4, 0}}},                                   \
        RTL_NUMBER_OF(name##Members),                                                              \
        name##Members}

PROCAMP_VALUES(Brightness, BrightnessRange);
PROCAMP_VALUES(Contrast, ContrastRange);
PROCAMP_VALUES(Hue, HueRange);
PROCAMP_VALUES(Saturation, SaturationRange);
PROCAMP_VALUES(ColorEnable, ColorEnableRange);

#undef PROCAMP_VALUES

constexpr ULONG ProcAmpSize = sizeof(KSPROPERTY_VIDEOPROCAMP_S);

const KSPROPERTY_ITEM ProcAmpItems[] = {
    PropertyItem(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, ProcAmpGet, ProcAmpSet, ProcAmpSize,
                 ProcAmpSize, &BrightnessValues),
    PropertyItem(KSPROPERTY_VIDEOPROCAMP_CONTRAST, ProcAmpGet, ProcAmpSet, ProcAmpSize, ProcAmpSize,
                 &ContrastValues),
    PropertyItem(KSPROPERTY_VIDEOPROCAMP_SATURATION, ProcAmpGet, ProcAmpSet, ProcAmpSize,
                 ProcAmpSize, &SaturationValues),
    PropertyItem(KSPROPERTY_VIDEOPROCAMP_HUE, ProcAmpGet, ProcAmpSet, ProcAmpSize, ProcAmpSize,
                 &HueValues),
    PropertyItem(KSPROPERTY_VIDEOPROCAMP_COLORENABLE, ProcAmpGet, ProcAmpSet, ProcAmpSize,
                 ProcAmpSize, &ColorEnableValues),
};

const KSPROPERTY_ITEM DroppedFramesItems[] = {
    PropertyItem(KSPROPERTY_DROPPEDFRAMES_CURRENT, DroppedFramesGet, nullptr,
                 sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
                 sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), nullptr),
};

const KSPROPERTY_SET PropertySets[] = {
    {&PROPSETID_VIDCAP_VIDEODECODER, RTL_NUMBER_OF(VideoDecoderItems), VideoDecoderItems, 0,
     nullptr},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, RTL_NUMBER_OF(ProcAmpItems), ProcAmpItems, 0, nullptr},
    {&PROPSETID_VIDCAP_DROPPEDFRAMES, RTL_NUMBER_OF(DroppedFramesItems), DroppedFramesItems, 0,
     nullptr},
};

// Every method request carries one caller structure that is both the method
// buffer and the data buffer; the minimum data sizes are those structures'.
// The handlers read and write the data buffer in place.
constexpr KSMETHOD_ITEM MethodItem(ULONG id, PFNKSHANDLER handler, ULONG minData) {
    return KSMETHOD_ITEM{id, {handler}, sizeof(KSMETHOD), minData, nullptr, KSMETHOD_TYPE_MODIFY};
}

const KSMETHOD_ITEM DeviceMethodItems[] = {
    MethodItem(DEVICE_METHOD_SET_ATTRIBUTE, SetAttributeMethod, sizeof(DEVICE_ATTRIBUTE_REQUEST)),
    MethodItem(DEVICE_METHOD_GET_ATTRIBUTE, GetAttributeMethod, sizeof(DEVICE_ATTRIBUTE_REQUEST)),
    MethodItem(DEVICE_METHOD_UPDATE_EEPROM, UpdateEepromMethod,
               sizeof(DEVICE_EEPROM_UPDATE_REQUEST)),
    MethodItem(DEVICE_METHOD_VERIFY_EEPROM, VerifyEepromMethod,
               sizeof(DEVICE_EEPROM_VERIFY_REQUEST)),
    MethodItem(DEVICE_METHOD_GET_VERSION, GetVersionMethod, sizeof(DEVICE_VERSION_REQUEST)),
    MethodItem(DEVICE_METHOD_GET_SERIAL, GetSerialMethod, sizeof(DEVICE_SERIAL_REQUEST)),
};

const KSMETHOD_SET MethodSets[] = {
    {&DeviceMethodSet, RTL_NUMBER_OF(DeviceMethodItems), DeviceMethodItems, 0, nullptr},
};

} // namespace

const KSAUTOMATION_TABLE ChannelFilterAutomationTable = {
    RTL_NUMBER_OF(PropertySets),
    sizeof(KSPROPERTY_ITEM),
    PropertySets,
    RTL_NUMBER_OF(MethodSets),
    sizeof(KSMETHOD_ITEM),
    MethodSets,
    0,
    sizeof(KSEVENT_ITEM),
    nullptr,
};
