// The controls end to end over the simulated board: what the method set
// writes is what the board's EEPROM holds, the board's identity comes back,
// settings outlive a device restart, and the picture controls change the
// frames a running stream delivers.
#include "controls_rig.h"

#include "pin_stream.h"

#include "board/board.h"

#include <host/services.h>
#include <sim/test_pattern.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <thread>

namespace m4350test {
namespace {

class ControlsSystemTest : public ControlsTest {
protected:
    Wire EepromRequest(ULONG method, const std::vector<uint8_t>& data) {
        Wire wire = MethodBuffer(method, method == kMethodUpdateEeprom ? 8224 : 8232);
        wire.Put32(24, kEepromMagic);
        std::copy(data.begin(), data.end(), wire.bytes().begin() + 28);
        wire.Put32(8220, uint32_t(data.size()));
        return wire;
    }

    int32_t VerifyResult(ULONG channel, const std::vector<uint8_t>& data) {
        Wire verify = EepromRequest(kMethodVerifyEeprom, data);
        EXPECT_EQ(Send(channel, IOCTL_KS_METHOD, verify), STATUS_SUCCESS);
        return verify.GetSigned(8224);
    }
};

TEST_F(ControlsSystemTest, AWholeEepromImageIsWrittenAndVerifiedThroughTheMethodSet) {
    std::mt19937 random(4350);
    std::vector<uint8_t> image(8192);
    for (uint8_t& byte : image) {
        byte = uint8_t(random());
    }
    Wire update = EepromRequest(kMethodUpdateEeprom, image);
    ULONG returned = 0;
    ASSERT_EQ(Send(2, IOCTL_KS_METHOD, update, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 8224u);
    // The whole image, the serial record at its top included.
    EXPECT_EQ(sim().Eeprom(), image);
    EXPECT_EQ(sim().Counters().eepromWrites, 1024u);

    EXPECT_EQ(VerifyResult(1, image), 0);
    ASSERT_TRUE(sim().SetEepromByte(5000, uint8_t(image[5000] ^ 0x40)));
    EXPECT_EQ(VerifyResult(1, image), -1);
}

TEST_F(ControlsSystemTest, TheBoardsSerialNumberAndVersionsComeBack) {
    m4350::sim::BoardConfig config;
    config.serial = 0x4350ABCD;
    config.controllerVersion = {0x07, 0x03};
    Bring(config);
    Wire serial = MethodBuffer(kMethodGetSerial, 32);
    ASSERT_EQ(Send(0, IOCTL_KS_METHOD, serial), STATUS_SUCCESS);
    EXPECT_EQ(serial.Get32(24), 0x4350ABCDu);
    EXPECT_EQ(host::DebugLogCount("m4350: serial number 4350abcd"), 1u);

    const uint32_t expected[] = {0x0307, sim().FirmwareVersion()};
    for (uint32_t selector = 0; selector < 2; ++selector) {
        Wire version = MethodBuffer(kMethodGetVersion, 32);
        version.Put32(24, selector);
        ASSERT_EQ(Send(3, IOCTL_KS_METHOD, version), STATUS_SUCCESS);
        EXPECT_EQ(version.Get32(28), expected[selector]) << "selector " << selector;
    }
}

// After a power-down a brightness set reloads the firmware before it sends.
// A pin created beside it, through another filter of the channel, reads the
// channel's mode only once the set is through: the new brightness is on the
// board and in the stored mode that the next settings save writes.
TEST_F(ControlsSystemTest, ABrightnessSetBesideAPinsCreationTakesEffect) {
    ASSERT_EQ(system_->SetPower(*board_, PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_EQ(system_->SetPower(*board_, PowerDeviceD0), STATUS_SUCCESS);
    host::ClearDebugLog();
    NTSTATUS set = STATUS_PENDING;
    std::thread brightness([&] { set = SetProcAmp(1, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 57); });
    const bool reloading = host::WaitForDebugLog(
        "m4350: board powered down or sleep mode, reloading firmware", 1, std::chrono::seconds(10));
    PinStream pin;
    NTSTATUS opened = pin.Open(ChannelLink(0, 1));
    NTSTATUS created = NT_SUCCESS(opened) ? pin.Connect(CatalogueRange(1, 0)) : opened;
    brightness.join();
    ASSERT_TRUE(reloading);
    ASSERT_EQ(created, STATUS_SUCCESS);
    EXPECT_EQ(set, STATUS_SUCCESS);
    ModeSettings stored{};
    getMode(device()->board, 1, &stored);
    EXPECT_EQ(stored.bright, 57u);
    EXPECT_EQ(WireMode(1).bright, 57u);
}

TEST_F(ControlsSystemTest, PictureSettingsOutliveADeviceRestart) {
    ASSERT_EQ(SetProcAmp(1, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, -40), STATUS_SUCCESS);
    ASSERT_EQ(SetProcAmp(1, KSPROPERTY_VIDEOPROCAMP_HUE, 12), STATUS_SUCCESS);
    ASSERT_EQ(SetAttribute(4, 5, 180), 0); // contrast of channel 3
    ASSERT_EQ(SetAttribute(1, 6, 40), 0);  // saturation of channel 0

    CloseFilters();
    ASSERT_EQ(system_->Stop(*board_), STATUS_SUCCESS);
    ASSERT_EQ(system_->Start(*board_), STATUS_SUCCESS);
    OpenFilters();

    struct {
        ULONG channel, id;
        LONG value;
    } const expected[] = {
        {1, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, -40}, {1, KSPROPERTY_VIDEOPROCAMP_HUE, 12},
        {3, KSPROPERTY_VIDEOPROCAMP_CONTRAST, 180},   {0, KSPROPERTY_VIDEOPROCAMP_SATURATION, 40},
        {2, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 0},
    };
    for (const auto& e : expected) {
        LONG value = 0;
        ASSERT_EQ(GetProcAmp(e.channel, e.id, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, e.value) << "channel " << e.channel << " id " << e.id;
    }
}

// ---------------------------------------------------------------------------
// A running stream.

constexpr ULONG Uyvy = 0x59565955;
constexpr uint32_t Width = 640, Height = 480;
// Rows that hold nothing but the colour bars whichever way up the picture
// is delivered: below the band and the code strip, above the moving box,
// clear of the frame digits.
constexpr uint32_t FirstBarRow = 40, LastBarRow = 180;

const KS_DATARANGE_VIDEO& UyvyFullFrame() {
    for (ULONG row = 0; row < 39; ++row) {
        const KS_DATARANGE_VIDEO& range = CatalogueRange(1, row);
        const KS_BITMAPINFOHEADER& b = range.VideoInfoHeader.bmiHeader;
        if (b.biCompression == Uyvy && b.biWidth == LONG(Width) && b.biHeight == LONG(Height) &&
            range.VideoInfoHeader.AvgTimePerFrame == 333667) {
            return range;
        }
    }
    ADD_FAILURE() << "no UYVY 640 x 480 range";
    return CatalogueRange(1, 0);
}

// The bar rows of a delivered UYVY frame: luma and chroma bytes apart.
struct Bars {
    std::vector<uint8_t> luma, chroma;
    double MeanLuma() const {
        return std::accumulate(luma.begin(), luma.end(), 0.0) / double(luma.size());
    }
    bool NeutralChroma() const {
        return std::all_of(chroma.begin(), chroma.end(), [](uint8_t c) { return c == 128; });
    }
};

Bars BarsOf(const ReceivedFrame& frame) {
    Bars bars;
    for (uint32_t row = FirstBarRow; row < LastBarRow; ++row) {
        const uint8_t* line = frame.data.data() + size_t(row) * Width * 2;
        for (uint32_t x = 0; x < Width * 2; x += 2) {
            bars.chroma.push_back(line[x]);
            bars.luma.push_back(line[x + 1]);
        }
    }
    return bars;
}

class ControlsStreamTest : public ControlsSystemTest {
protected:
    ControlsStreamTest() {
        // Half real time, as the pins' own system tests stream: frames come
        // twice as fast and a sanitized consumer still keeps up.
        timeScale_ = 0.5;
    }

    void StartStream(ULONG channel) {
        stream_ = std::make_unique<PinStream>();
        ASSERT_EQ(stream_->Open(ChannelLink(0, channel)), STATUS_SUCCESS);
        ASSERT_EQ(stream_->Connect(UyvyFullFrame()), STATUS_SUCCESS);
        stream_->MakeBuffers(6);
        ASSERT_EQ(stream_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(stream_->QueueAll(), STATUS_SUCCESS);
        ASSERT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }

    void TearDown() override {
        if (stream_) {
            stream_->SetState(KSSTATE_STOP);
            stream_.reset();
        }
        ControlsSystemTest::TearDown();
    }

    // The bars of the next frame; the buffer goes straight back.
    Bars NextBars() {
        ReceivedFrame frame;
        EXPECT_EQ(stream_->Next(&frame), STATUS_SUCCESS);
        EXPECT_EQ(frame.data.size(), size_t(Width) * Height * 2);
        Bars bars = frame.data.size() == size_t(Width) * Height * 2 ? BarsOf(frame) : Bars{};
        EXPECT_EQ(stream_->Queue(frame.buffer), STATUS_SUCCESS);
        return bars;
    }

    // Frames already captured or on their way still show the old settings:
    // takes frames (at most `bound`) until one satisfies `wanted`.
    template <typename Pred>
    std::optional<Bars> FirstFrameWith(Pred wanted, int bound = 40) {
        for (int k = 0; k < bound; ++k) {
            Bars bars = NextBars();
            if (!bars.luma.empty() && wanted(bars)) {
                return bars;
            }
        }
        return std::nullopt;
    }

    std::unique_ptr<PinStream> stream_;
};

// What the board's mapping makes of the neutral bars.
std::vector<uint8_t> Predicted(const Bars& neutral, int32_t brightness) {
    m4350::sim::PictureControls controls;
    controls.brightness = brightness;
    std::vector<uint8_t> luma(neutral.luma.size());
    std::transform(neutral.luma.begin(), neutral.luma.end(), luma.begin(),
                   [&](uint8_t y) { return m4350::sim::AdjustLuma(y, controls); });
    return luma;
}

TEST_F(ControlsStreamTest, BrightnessMovesTheMeanLumaOfTheDeliveredFrames) {
    StartStream(1);
    const Bars neutral = NextBars();
    ASSERT_FALSE(neutral.luma.empty());
    const double base = neutral.MeanLuma();

    struct {
        LONG brightness;
        double lowest, highest; // the change of the mean the mapping allows
    } const steps[] = {{40, 30, 40}, {-40, -40, -25}, {0, 0, 0}};
    for (const auto& step : steps) {
        SCOPED_TRACE(testing::Message() << "brightness " << step.brightness);
        ASSERT_EQ(SetProcAmp(1, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, step.brightness),
                  STATUS_SUCCESS);
        const std::vector<uint8_t> expected = Predicted(neutral, step.brightness);
        auto bars = FirstFrameWith([&](const Bars& b) { return b.luma == expected; });
        ASSERT_TRUE(bars) << "no frame with the new brightness";
        const double change = bars->MeanLuma() - base;
        EXPECT_GE(change, step.lowest);
        EXPECT_LE(change, step.highest);
        EXPECT_EQ(bars->chroma, neutral.chroma) << "brightness leaves the colours";
        EXPECT_EQ(NextBars().luma, expected) << "and stays";
    }
}

TEST_F(ControlsStreamTest, ColourOffDeliversNeutralChromaAndOnRestoresIt) {
    StartStream(2);
    const Bars colour = NextBars();
    ASSERT_FALSE(colour.NeutralChroma()) << "the bars are coloured";

    ASSERT_EQ(SetProcAmp(2, KSPROPERTY_VIDEOPROCAMP_COLORENABLE, 0), STATUS_SUCCESS);
    EXPECT_EQ(WireMode(2).color & 0xFF, 4u);
    auto grey = FirstFrameWith([](const Bars& b) { return b.NeutralChroma(); });
    ASSERT_TRUE(grey) << "no monochrome frame";
    EXPECT_EQ(grey->luma, colour.luma) << "the luma is the picture's";
    EXPECT_TRUE(NextBars().NeutralChroma());

    ASSERT_EQ(SetProcAmp(2, KSPROPERTY_VIDEOPROCAMP_COLORENABLE, 1), STATUS_SUCCESS);
    EXPECT_EQ(WireMode(2).color & 0xFF, 2u);
    auto back = FirstFrameWith([](const Bars& b) { return !b.NeutralChroma(); });
    ASSERT_TRUE(back) << "colour did not come back";
    EXPECT_EQ(back->chroma, colour.chroma);
    EXPECT_EQ(back->luma, colour.luma);
}

TEST_F(ControlsStreamTest, SettingsMadeWhileStreamingOutliveTheStreamsStopAndRestart) {
    StartStream(0);
    const Bars neutral = NextBars();
    ASSERT_EQ(SetProcAmp(0, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 30), STATUS_SUCCESS);
    const std::vector<uint8_t> expected = Predicted(neutral, 30);
    ASSERT_TRUE(FirstFrameWith([&](const Bars& b) { return b.luma == expected; }));

    ASSERT_EQ(stream_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    // Frames completed before the stop and the buffers it cancelled.
    while (host::ks::CompletedFrameCount(stream_->pin()) > 0) {
        ReceivedFrame left;
        ASSERT_EQ(stream_->Next(&left), STATUS_SUCCESS);
        EXPECT_TRUE(left.status == STATUS_SUCCESS || left.status == STATUS_CANCELLED);
    }
    // The stop saved the board's modes: channel 0 is board channel 3, the
    // last record, and brightness is its fifth word.
    std::ifstream file(host::SystemRoot() / "system32" / "drivers" / "m4350dev0.bin",
                       std::ios::binary);
    std::vector<uint8_t> saved{std::istreambuf_iterator<char>(file),
                               std::istreambuf_iterator<char>()};
    ASSERT_EQ(saved.size(), 336u);
    EXPECT_EQ(saved[3 * 84 + 16], 30);

    stream_->MakeBuffers(6);
    ASSERT_EQ(stream_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(stream_->QueueAll(), STATUS_SUCCESS);
    ASSERT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(NextBars().luma, expected) << "the new stream starts bright";
}

} // namespace
} // namespace m4350test
