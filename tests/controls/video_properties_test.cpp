// The video decoder, proc-amp and dropped-frames property sets of the channel
// filters, through filter handles as applications send them, checked on what
// the board receives.
#include "controls_rig.h"
#include "pin_stream.h"

#include <host/services.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "capture/format_catalogue.h"
#include "device/capture_device.h"

namespace m4350test {
namespace {

constexpr ULONG kBrightness = KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS;
constexpr ULONG kContrast = KSPROPERTY_VIDEOPROCAMP_CONTRAST;
constexpr ULONG kHue = KSPROPERTY_VIDEOPROCAMP_HUE;
constexpr ULONG kSaturation = KSPROPERTY_VIDEOPROCAMP_SATURATION;
constexpr ULONG kColorEnable = KSPROPERTY_VIDEOPROCAMP_COLORENABLE;

void SetFixedStandard(uint32_t value) {
    host::SetServiceDword(L"m4350av\\Parameters", L"FixedStandard", value);
}

uint32_t WireField(const m4350::sim::ModeSettings& mode, ULONG id) {
    switch (id) {
    case kBrightness:
        return mode.bright;
    case kContrast:
        return mode.contrast;
    case kHue:
        return mode.hue;
    default:
        return mode.saturation;
    }
}

class VideoPropertiesTest : public ControlsTest {
protected:
    // The ranges the channel's pin factory offers now.
    std::vector<uint8_t> OfferedRanges(ULONG channel) {
        Wire request = PropertyBuffer(KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES,
                                      KSPROPERTY_TYPE_GET, sizeof(KSP_PIN));
        std::vector<uint8_t> data(64 * 1024);
        ULONG returned = 0;
        EXPECT_EQ(host::ks::DeviceIoControl(filter(channel), IOCTL_KS_PROPERTY, request.data(),
                                            request.size(), data.data(), ULONG(data.size()),
                                            &returned),
                  STATUS_SUCCESS);
        data.resize(returned);
        return data;
    }

    static std::vector<uint8_t> Expected(const DataRangeList& list) {
        std::vector<uint8_t> bytes(sizeof(KSMULTIPLE_ITEM));
        for (PKSDATARANGE range : list.Ranges) {
            size_t at = bytes.size();
            bytes.resize(at + ((range->FormatSize + 7) & ~7u));
            std::memcpy(bytes.data() + at, range, range->FormatSize);
        }
        auto* head = reinterpret_cast<KSMULTIPLE_ITEM*>(bytes.data());
        head->Size = ULONG(bytes.size());
        head->Count = RangeListCount;
        return bytes;
    }

    // A capture pin on the channel, connected to the first format of the
    // list with this FourCC, as an application creates it.
    void ConnectPin(ULONG channel, ULONG fourCc) {
        const KS_DATARANGE_VIDEO* range = nullptr;
        for (ULONG row = 0; row < RangeListCount && !range; ++row) {
            if (CatalogueRange(1, row).VideoInfoHeader.bmiHeader.biCompression == fourCc) {
                range = &CatalogueRange(1, row);
            }
        }
        ASSERT_NE(range, nullptr);
        pin_ = std::make_unique<PinStream>();
        ASSERT_EQ(pin_->Open(ChannelLink(0, channel)), STATUS_SUCCESS);
        ASSERT_EQ(pin_->Connect(*range), STATUS_SUCCESS);
    }

    void TearDown() override {
        pin_.reset();
        ControlsTest::TearDown();
    }

    std::unique_ptr<PinStream> pin_;
};

constexpr ULONG Uyvy = 0x59565955, Mjpg = 0x47504A4D;

struct RangeCase {
    ULONG id;
    LONG value;
    bool accepted;
};

// The limits of each control, and one step beyond them.
const RangeCase RangeCases[] = {
    {kBrightness, -127, true}, {kBrightness, 127, true},  {kBrightness, -128, false},
    {kBrightness, 128, false}, {kContrast, 0, true},      {kContrast, 255, true},
    {kContrast, 256, false},   {kContrast, -1, false},    {kHue, -64, true},
    {kHue, 64, true},          {kHue, 65, false},         {kHue, -65, false},
    {kSaturation, 255, true},  {kSaturation, 256, false}, {kSaturation, -1, false},
};

TEST_F(VideoPropertiesTest, ProcAmpValuesWithinTheirRangesReachTheBoardWithoutRestart) {
    for (const RangeCase& c : RangeCases) {
        SCOPED_TRACE(testing::Message() << "id " << c.id << " value " << c.value);
        const ULONG channel = 1;
        const uint32_t before = WireField(WireMode(channel), c.id);
        const uint64_t sent = SetModes(), acks = sim().Counters().acks;

        EXPECT_EQ(SetProcAmp(channel, c.id, c.value),
                  c.accepted ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        EXPECT_EQ(SetModes(), sent + (c.accepted ? 1 : 0));
        EXPECT_EQ(sim().Counters().acks, acks) << "picture controls are not acknowledged";
        EXPECT_EQ(WireMode(channel).restart, 0u);
        EXPECT_EQ(WireField(WireMode(channel), c.id), c.accepted ? uint32_t(c.value) : before);

        LONG value = 0;
        ULONG flags = 0, capabilities = 0;
        ASSERT_EQ(GetProcAmp(channel, c.id, &value, &flags, &capabilities), STATUS_SUCCESS);
        EXPECT_EQ(value, LONG(WireField(WireMode(channel), c.id)));
        EXPECT_EQ(flags, ULONG(KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL));
        EXPECT_EQ(capabilities, ULONG(KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL));
    }
}

TEST_F(VideoPropertiesTest, EachFilterControlsItsOwnChannel) {
    for (ULONG n = 0; n < 4; ++n) {
        ASSERT_EQ(SetProcAmp(n, kBrightness, LONG(10 * n + 5)), STATUS_SUCCESS);
    }
    for (ULONG n = 0; n < 4; ++n) {
        EXPECT_EQ(WireMode(n).bright, 10 * n + 5) << "channel " << n;
        LONG value = 0;
        ASSERT_EQ(GetProcAmp(n, kBrightness, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, LONG(10 * n + 5));
    }
}

// Two applications adjusting one channel at once, each through a filter of
// its own: both changes survive, neither is undone by the other's send. After
// a power-down the first change reloads the firmware before it sends, which
// holds the other change's copy of the mode open long enough to tell.
TEST_F(VideoPropertiesTest, ConcurrentChangesOfOneChannelAllTakeEffect) {
    ASSERT_EQ(system_->SetPower(*board_, PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_EQ(system_->SetPower(*board_, PowerDeviceD0), STATUS_SUCCESS);
    HANDLE second = nullptr;
    ASSERT_EQ(host::ks::OpenFilterByReference(KSCATEGORY_CAPTURE, L"m4350av_chan2", &second),
              STATUS_SUCCESS);
    const uint64_t loads = sim().Counters().firmwareLoads;
    std::atomic<int> ready{0};
    auto adjust = [&](HANDLE filter, ULONG id, LONG value) {
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        Wire wire = PropertyBuffer(PROPSETID_VIDCAP_VIDEOPROCAMP, id, KSPROPERTY_TYPE_SET, 40);
        wire.Put32(24, uint32_t(value));
        ULONG returned = 0;
        EXPECT_EQ(host::ks::DeviceIoControl(filter, IOCTL_KS_PROPERTY, wire.data(), 40, wire.data(),
                                            40, &returned),
                  STATUS_SUCCESS);
    };
    std::thread brightness(adjust, filter(1), kBrightness, 33);
    std::thread contrast(adjust, second, kContrast, 140);
    brightness.join();
    contrast.join();
    host::ks::CloseHandle(second);
    EXPECT_EQ(sim().Counters().firmwareLoads, loads + 1) << "one reload for both";
    EXPECT_EQ(WireMode(1).bright, 33u);
    EXPECT_EQ(WireMode(1).contrast, 140u);
    LONG value = 0;
    ASSERT_EQ(GetProcAmp(1, kBrightness, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 33);
    ASSERT_EQ(GetProcAmp(1, kContrast, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 140);
}

struct StandardCase {
    uint32_t fixed;
    uint32_t format; // the channel's
    ULONG supported, standard, lines;
};

TEST_F(VideoPropertiesTest, DecoderAnswersFollowTheFixedStandardAndTheChannelsFormat) {
    const StandardCase cases[] = {
        {0, 1, 0x11, 0x01, 525}, {0, 2, 0x11, 0x10, 625}, {1, 2, 0x01, 0x01, 625},
        {2, 1, 0x10, 0x10, 525}, {3, 1, 0x11, 0x10, 525},
    };
    for (const StandardCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "fixed " << c.fixed << " format " << c.format);
        SetFixedStandard(c.fixed);
        ASSERT_EQ(SetAttribute(3, 0, int32_t(c.format)), 0);

        Wire caps = PropertyBuffer(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_CAPS,
                                   KSPROPERTY_TYPE_GET, 40);
        caps.Put32(28, 0xA5A5A5A5);
        ASSERT_EQ(Send(2, IOCTL_KS_PROPERTY, caps), STATUS_SUCCESS);
        EXPECT_EQ(caps.Get32(24), c.supported);
        EXPECT_EQ(caps.Get32(28), 0xA5A5A5A5u) << "only the standards are answered";

        Wire standard = PropertyBuffer(PROPSETID_VIDCAP_VIDEODECODER,
                                       KSPROPERTY_VIDEODECODER_STANDARD, KSPROPERTY_TYPE_GET, 32);
        ASSERT_EQ(Send(2, IOCTL_KS_PROPERTY, standard), STATUS_SUCCESS);
        EXPECT_EQ(standard.Get32(24), c.standard);

        Wire status = PropertyBuffer(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STATUS,
                                     KSPROPERTY_TYPE_GET, 32);
        status.Put32(28, 1);
        ASSERT_EQ(Send(2, IOCTL_KS_PROPERTY, status), STATUS_SUCCESS);
        EXPECT_EQ(status.Get32(24), c.lines);
        EXPECT_EQ(status.Get32(28), 0u) << "never reported locked";
    }
}

struct StandardSetCase {
    uint32_t fixed;
    ULONG value;
    uint32_t format;
};

TEST_F(VideoPropertiesTest, StandardSetProgramsTheChannelAndItsNextPinsFormats) {
    const StandardSetCase cases[] = {
        {0, KS_AnalogVideo_PAL_B, 2},
        {0, KS_AnalogVideo_NTSC_M, 1},
        {2, KS_AnalogVideo_NTSC_M, 2}, // the fixed standard wins
        {1, KS_AnalogVideo_PAL_B, 1},
    };
    for (const StandardSetCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "fixed " << c.fixed << " value " << c.value);
        SetFixedStandard(c.fixed);
        const uint64_t acks = sim().Counters().acks;
        Wire set = PropertyBuffer(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD,
                                  KSPROPERTY_TYPE_SET, 32);
        set.Put32(24, c.value);
        ASSERT_EQ(Send(0, IOCTL_KS_PROPERTY, set), STATUS_SUCCESS);
        EXPECT_EQ(WireMode(0).format, c.format);
        EXPECT_EQ(WireMode(0).restart, 1u);
        EXPECT_EQ(sim().Counters().acks, acks + 1);
        EXPECT_EQ(OfferedRanges(0), Expected(c.format == 2 ? PalRangeList : NtscRangeList));
        EXPECT_EQ(OfferedRanges(1), Expected(NtscRangeList)) << "other channels keep theirs";
    }
}

TEST_F(VideoPropertiesTest, StandardCannotChangeUnderAPin) {
    ConnectPin(0, Uyvy);
    const uint64_t sent = SetModes();
    Wire set = PropertyBuffer(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD,
                              KSPROPERTY_TYPE_SET, 32);
    set.Put32(24, KS_AnalogVideo_PAL_B);
    EXPECT_EQ(Send(0, IOCTL_KS_PROPERTY, set), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(SetModes(), sent);
    EXPECT_EQ(WireMode(0).format, 1u);
    EXPECT_EQ(OfferedRanges(0), Expected(NtscRangeList));
}

TEST_F(VideoPropertiesTest, ColourOffAndOnUnderAPinSwitchTheBoardsColourCode) {
    ConnectPin(2, Uyvy);
    ASSERT_EQ(WireMode(2).color, 2u);
    const uint64_t sent = SetModes();
    ASSERT_EQ(SetProcAmp(2, kColorEnable, 0), STATUS_SUCCESS);
    EXPECT_EQ(WireMode(2).color, 4u);
    EXPECT_EQ(WireMode(2).restart, 0u);
    EXPECT_EQ(host::DebugLogCount("changing to Y8"), 1u);
    EXPECT_EQ(device()->m_bColor[2], 0u);
    LONG value = -1;
    ASSERT_EQ(GetProcAmp(2, kColorEnable, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(host::DebugLogCount("color Off "), 1u);

    // Already monochrome: nothing more to send.
    ASSERT_EQ(SetProcAmp(2, kColorEnable, 0), STATUS_SUCCESS);
    EXPECT_EQ(SetModes(), sent + 1);

    ASSERT_EQ(SetProcAmp(2, kColorEnable, 1), STATUS_SUCCESS);
    EXPECT_EQ(WireMode(2).color, 2u);
    EXPECT_EQ(host::DebugLogCount("changing back to color 2 [y8 is 4]"), 1u);
    EXPECT_EQ(device()->m_bColor[2], 1u);
    EXPECT_EQ(SetModes(), sent + 2);
    ASSERT_EQ(GetProcAmp(2, kColorEnable, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(host::DebugLogCount("color On "), 1u);
}

TEST_F(VideoPropertiesTest, ColourSwitchWithoutAPinOnlyRecordsTheChoice) {
    const uint64_t sent = SetModes();
    const uint32_t color = WireMode(3).color;
    for (LONG enable : {0, 1, 0}) {
        ASSERT_EQ(SetProcAmp(3, kColorEnable, enable), STATUS_SUCCESS);
        EXPECT_EQ(device()->m_bColor[3], ULONG(enable));
        LONG value = -1;
        ASSERT_EQ(GetProcAmp(3, kColorEnable, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, enable);
    }
    EXPECT_EQ(SetModes(), sent);
    EXPECT_EQ(WireMode(3).color, color);
}

TEST_F(VideoPropertiesTest, JpegChannelsAreAlwaysInColour) {
    ConnectPin(1, Mjpg);
    ASSERT_EQ(WireMode(1).color, 0x3205u);
    const uint64_t sent = SetModes();
    EXPECT_EQ(SetProcAmp(1, kColorEnable, 0), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(host::DebugLogCount("jpeg not supported"), 1u);
    EXPECT_EQ(SetModes(), sent);
    EXPECT_EQ(device()->m_bColor[1], 1u);
    device()->m_bColor[1] = 0;
    LONG value = -1;
    ASSERT_EQ(GetProcAmp(1, kColorEnable, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1);
}

TEST_F(VideoPropertiesTest, DroppedFramesReportTheLastDeliveryCountsUnsigned) {
    Wire wire = PropertyBuffer(PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT,
                               KSPROPERTY_TYPE_GET, 48);
    wire.Put32(40, 77);
    ULONG returned = 0;
    ASSERT_EQ(Send(1, IOCTL_KS_PROPERTY, wire, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 48u);
    EXPECT_EQ(wire.Get64(24), 0u);
    EXPECT_EQ(wire.Get64(32), 0u);
    EXPECT_EQ(wire.Get32(40), 0u);

    device()->lastFrameNumber[1] = 0xFFFFFFF0;
    device()->droppedFrameCount[1] = 0x80000001;
    ASSERT_EQ(Send(1, IOCTL_KS_PROPERTY, wire), STATUS_SUCCESS);
    EXPECT_EQ(wire.Get64(24), 0xFFFFFFF0ull);
    EXPECT_EQ(wire.Get64(32), 0x80000001ull);
    Wire other = PropertyBuffer(PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT,
                                KSPROPERTY_TYPE_GET, 48);
    ASSERT_EQ(Send(0, IOCTL_KS_PROPERTY, other), STATUS_SUCCESS);
    EXPECT_EQ(other.Get64(24), 0u) << "per channel";
}

struct ShortCase {
    const char* name;
    const GUID* set;
    ULONG id;
    ULONG flags;
    ULONG length; // both buffers
};

TEST_F(VideoPropertiesTest, RequestsShorterThanTheirItemsAreRefusedBeforeAnyHandler) {
    const ShortCase cases[] = {
        {"brightness set", &PROPSETID_VIDCAP_VIDEOPROCAMP, kBrightness, KSPROPERTY_TYPE_SET, 39},
        {"colour set", &PROPSETID_VIDCAP_VIDEOPROCAMP, kColorEnable, KSPROPERTY_TYPE_SET, 36},
        {"standard set", &PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD,
         KSPROPERTY_TYPE_SET, 31},
        {"caps get", &PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_CAPS,
         KSPROPERTY_TYPE_GET, 39},
        {"dropped frames get", &PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT,
         KSPROPERTY_TYPE_GET, 47},
    };
    for (const ShortCase& c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t sent = SetModes();
        Wire wire = PropertyBuffer(*c.set, c.id, c.flags, 48);
        wire.Put32(24, KS_AnalogVideo_PAL_B);
        ULONG returned = 7;
        EXPECT_EQ(Send(0, IOCTL_KS_PROPERTY, wire, &returned, c.length), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(returned, 0u);
        EXPECT_EQ(wire.Get32(24), ULONG(KS_AnalogVideo_PAL_B)) << "nothing written back";
        EXPECT_EQ(SetModes(), sent);
    }
    EXPECT_EQ(WireMode(0).format, 1u);
}

} // namespace
} // namespace m4350test
