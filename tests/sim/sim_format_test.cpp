// The board's formats on their own: mode geometry, firmware images, the
// picture and its stamp, frames as they go out, the fault plan.
#include <sim/fault_plan.h>
#include <sim/firmware_image.h>
#include <sim/frame_builder.h>
#include <sim/jpeg_codec.h>
#include <sim/mode.h>
#include <sim/protocol.h>
#include <sim/test_pattern.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

using namespace m4350::sim;

namespace {

ModeSettings Mode(uint32_t format, uint32_t scale, uint32_t color, uint32_t fdec = 1) {
    ModeSettings m;
    m.format = format;
    m.scale = scale;
    m.color = color;
    m.fdec = fdec;
    return m;
}

TEST(ModeGeometry, MatchesTheDriversFrameSizes) {
    struct Case {
        uint32_t format, scale, color;
        uint32_t width, height, transfer;
        RawLayout layout;
    } cases[] = {
        {1, 1, 2, 640, 480, 622592, RawLayout::Planar422},
        {1, 4, 4, 640, 480, 311296, RawLayout::Luma},
        {1, 2, 3, 640, 240, 311296, RawLayout::Planar422},
        {1, 2, 4, 640, 240, 163840, RawLayout::Luma},
        {1, 3, 15, 320, 240, 163840, RawLayout::Planar422},
        {1, 3, 4, 320, 240, 81920, RawLayout::Luma},
        {2, 1, 1, 704, 576, 819200, RawLayout::Planar422},
        {2, 1, 4, 704, 576, 409600, RawLayout::Luma},
        {2, 2, 2, 704, 288, 409600, RawLayout::Planar422},
        {2, 2, 4, 704, 288, 212992, RawLayout::Luma},
        {2, 3, 2, 352, 288, 212992, RawLayout::Planar422},
        {2, 3, 4, 352, 288, 114688, RawLayout::Luma},
        {1, 1, kColorJpegWord, 640, 480, 622592, RawLayout::Jpeg},
        {7, 1, 2, 640, 240, 311296, RawLayout::Planar422}, // unknown standard
        {1, 9, 2, 640, 240, 311296, RawLayout::Planar422}, // unknown scale
        {1, 1, 0x104, 640, 480, 311296, RawLayout::Luma},  // only the low byte counts
    };
    for (const Case& c : cases) {
        const FrameGeometry g = GeometryOf(Mode(c.format, c.scale, c.color));
        SCOPED_TRACE(testing::Message() << c.format << "/" << c.scale << "/" << c.color);
        EXPECT_EQ(g.width, c.width);
        EXPECT_EQ(g.height, c.height);
        EXPECT_EQ(g.transferBytes, c.transfer);
        EXPECT_EQ(g.layout, c.layout);
        EXPECT_EQ(g.frameSize, g.imageBytes + 512);
        EXPECT_EQ(g.transferBytes % kStreamBlockSize, 0u);
        EXPECT_LT(g.transferBytes - g.frameSize, kStreamBlockSize);
    }
}

TEST(ModeGeometry, FramePeriodFollowsStandardAndDecimation) {
    struct Case {
        uint32_t format, fdec;
        double seconds;
    } cases[] = {{1, 1, 1001.0 / 30000},
                 {1, 5, 5 * 1001.0 / 30000},
                 {2, 1, 0.04},
                 {2, 3, 0.12},
                 {2, 0, 0.04}};
    for (const Case& c : cases) {
        const FramePeriod p = PeriodOf(Mode(c.format, 1, 2, c.fdec));
        EXPECT_NEAR(double(p.numeratorNs) / p.denominator / 1e9, c.seconds, 1e-12);
    }
}

TEST(FirmwareImage, ValidImageBootsAndDamageIsNamed) {
    const std::vector<uint8_t> good = BuildFirmwareImage(0xA1B2C3D4, 1000);
    FirmwareInfo info;
    ASSERT_EQ(CheckFirmwareImage(good.data(), good.size(), &info), FirmwareCheck::Ok);
    EXPECT_EQ(info.version, 0xA1B2C3D4u);
    EXPECT_EQ(info.payloadSize, 1000u);

    // What the driver sends: the image padded up to the next 512 bytes.
    std::vector<uint8_t> padded = good;
    padded.resize((good.size() + 512) & ~size_t(511), 0xEE);
    EXPECT_EQ(CheckFirmwareImage(padded.data(), padded.size()), FirmwareCheck::Ok);

    struct Case {
        const char* what;
        size_t offset; // byte to flip; SIZE_MAX: truncate instead
        size_t keep;
        FirmwareCheck expected;
    } cases[] = {
        {"magic", 0, 0, FirmwareCheck::BadMagic},
        {"format version", 4, 0, FirmwareCheck::BadFormatVersion},
        {"payload size", 8, 0, FirmwareCheck::BadHeaderCrc},
        {"version", 12, 0, FirmwareCheck::BadHeaderCrc},
        {"payload", 32 + 500, 0, FirmwareCheck::BadPayloadCrc},
        {"last payload byte", 32 + 999, 0, FirmwareCheck::BadPayloadCrc},
        {"cut inside the payload", SIZE_MAX, 600, FirmwareCheck::Truncated},
        {"cut inside the header", SIZE_MAX, 20, FirmwareCheck::TooShort},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bad = good;
        if (c.offset == SIZE_MAX)
            bad.resize(c.keep);
        else
            bad[c.offset] ^= 0x40;
        EXPECT_EQ(CheckFirmwareImage(bad.data(), bad.size()), c.expected) << c.what;
    }
}

TEST(FirmwareImage, WrittenFileBootsAndUnwritableOneIsReported) {
    const std::string dir = testing::TempDir();
    const std::string path = dir + "/f4350usb.bin";
    std::string error;
    ASSERT_TRUE(WriteFirmwareFile(path, &error, 0x01020304, 2048)) << error;
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> bytes(4096);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
    std::fclose(f);
    std::remove(path.c_str());
    FirmwareInfo info;
    EXPECT_EQ(bytes.size(), 32u + 2048u);
    EXPECT_EQ(CheckFirmwareImage(bytes.data(), bytes.size(), &info), FirmwareCheck::Ok);
    EXPECT_EQ(info.version, 0x01020304u);

    EXPECT_FALSE(WriteFirmwareFile(dir + "/no/such/folder/f.bin", &error));
    EXPECT_NE(error.find("no/such/folder"), std::string::npos) << error;
}

TEST(FirmwareImage, Crc32MatchesTheStandardCheckValue) {
    const char* text = "123456789";
    EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>(text), 9), 0xCBF43926u);
}

TEST(TestPattern, StampReadsBackForEveryChannelAndSize) {
    const uint32_t sizes[][2] = {{640, 480}, {320, 240}, {704, 288}, {352, 288}};
    for (const auto& s : sizes) {
        for (uint32_t ch = 0; ch < 4; ++ch) {
            std::vector<uint8_t> planes(size_t(s[0]) * s[1] * 2), background(planes.size());
            PlanarImage im{planes.data(), planes.data() + s[0] * s[1],
                           planes.data() + s[0] * s[1] * 3 / 2, s[0], s[1]};
            PlanarImage bg{background.data(), background.data() + s[0] * s[1],
                           background.data() + s[0] * s[1] * 3 / 2, s[0], s[1]};
            PaintBackground(bg, ch);
            planes = background;
            for (uint32_t frame : {1u, 2u, 77u, 0xFFFFFFu, 0x1000001u}) {
                StampFrame(im, bg, ch, frame, frame - 1);
                const StampReading r = ReadStamp(planes.data(), s[0], s[1]);
                ASSERT_TRUE(r.valid) << s[0] << "x" << s[1] << " ch " << ch << " frame " << frame;
                EXPECT_EQ(r.channel, ch);
                EXPECT_EQ(r.frameNumber, frame & 0xFFFFFF);
            }
        }
    }
}

TEST(TestPattern, ChannelsDifferAndTheBoxMoves) {
    const uint32_t w = 320, h = 240;
    std::vector<uint8_t> a(w * h), b(w * h);
    PaintBackground({a.data(), nullptr, nullptr, w, h}, 0);
    PaintBackground({b.data(), nullptr, nullptr, w, h}, 1);
    EXPECT_NE(a, b);
    EXPECT_NE(MovingBoxX(1, w), MovingBoxX(2, w));
    EXPECT_LE(MovingBoxX(12345, w) + PatternLayout::kBoxSize, w);
    std::vector<uint8_t> bg = a;
    PlanarImage im{a.data(), nullptr, nullptr, w, h}, back{bg.data(), nullptr, nullptr, w, h};
    StampFrame(im, back, 0, 5, 4);
    StampFrame(im, back, 0, 6, 5);
    const size_t row = size_t(MovingBoxY(h) + 4) * w;
    EXPECT_EQ(a[row + MovingBoxX(6, w) + 4], 235) << "the box is drawn where frame 6 puts it";
    EXPECT_EQ(a[row + MovingBoxX(5, w) + 4], bg[row + MovingBoxX(5, w) + 4])
        << "where frame 5 had it, the background is back";
}

TEST(TestPattern, DamagedStripIsNotRead) {
    const uint32_t w = 320, h = 240;
    std::vector<uint8_t> y(w * h), bg(w * h);
    PlanarImage im{y.data(), nullptr, nullptr, w, h}, back{bg.data(), nullptr, nullptr, w, h};
    PaintBackground(back, 2);
    y = bg;
    StampFrame(im, back, 2, 1234, 1233);
    ASSERT_TRUE(ReadStamp(y.data(), w, h).valid);
    // Flip one frame bit: the parity no longer holds.
    const size_t at = size_t(PatternLayout::kStripTop + 4) * w + PatternLayout::kStripLeft +
                      10 * PatternLayout::kBlock + 4;
    y[at] = y[at] > 128 ? 16 : 235;
    EXPECT_FALSE(ReadStamp(y.data(), w, h).valid);
    EXPECT_FALSE(ReadStamp(y.data(), 100, h).valid) << "too narrow for a strip";
}

TEST(FrameBuilder, RawFramesCarryHeaderPictureAndZeroPadding) {
    struct Case {
        uint32_t format, scale, color, channel;
    } cases[] = {{1, 1, 2, 3}, {2, 3, 4, 0}, {1, 2, 1, 1}};
    for (const Case& c : cases) {
        FrameBuilder builder(c.channel, Mode(c.format, c.scale, c.color));
        const FrameGeometry& g = builder.geometry();
        for (uint32_t n : {1u, 2u}) {
            std::span<const uint8_t> t = builder.Build(n);
            ASSERT_EQ(t.size(), g.transferBytes);
            EXPECT_EQ(LoadLe32(&t[kHeaderMarker]), kFrameMarker);
            EXPECT_EQ(LoadLe32(&t[kHeaderChannel]), c.channel);
            EXPECT_EQ(LoadLe32(&t[kHeaderFrameNumber]), n);
            EXPECT_EQ(LoadLe32(&t[kHeaderFrameSize]), g.frameSize);
            EXPECT_EQ(LoadLe32(&t[kHeaderCompressedSize]), 0u);
            EXPECT_TRUE(
                std::all_of(t.begin() + g.frameSize, t.end(), [](uint8_t b) { return !b; }));
            const StampReading r = ReadStamp(&t[kFrameHeaderSize], g.width, g.height);
            EXPECT_TRUE(r.valid);
            EXPECT_EQ(r.channel, c.channel);
            EXPECT_EQ(r.frameNumber, n);
        }
    }
}

TEST(FrameBuilder, JpegFramesDecodeToTheStampedPicture) {
    FrameBuilder builder(2, Mode(1, 3, kColorJpegWord));
    const FrameGeometry& g = builder.geometry();
    for (uint32_t n : {1u, 9u}) {
        std::span<const uint8_t> t = builder.Build(n);
        const uint32_t size = LoadLe32(&t[kHeaderCompressedSize]);
        ASSERT_GT(size, 0u);
        ASSERT_LE(size, g.imageBytes);
        EXPECT_EQ(LoadLe32(&t[kHeaderFrameSize]), g.frameSize);
        EXPECT_EQ(t[kFrameHeaderSize], 0xFF); // SOI
        EXPECT_EQ(t[kFrameHeaderSize + 1], 0xD8);
        DecodedLuma d;
        ASSERT_TRUE(DecodeJpegLuma(&t[kFrameHeaderSize], size, &d));
        EXPECT_EQ(d.width, g.width);
        EXPECT_EQ(d.height, g.height);
        const StampReading r = ReadStamp(d.luma.data(), d.width, d.height);
        EXPECT_TRUE(r.valid);
        EXPECT_EQ(r.channel, 2u);
        EXPECT_EQ(r.frameNumber, n);
        EXPECT_TRUE(std::all_of(t.begin() + kFrameHeaderSize + size, t.end(),
                                [](uint8_t b) { return !b; }));
    }
    DecodedLuma d;
    const uint8_t junk[64] = {1, 2, 3};
    EXPECT_FALSE(DecodeJpegLuma(junk, sizeof(junk), &d));
}

TEST(TestPattern, TheDigitIsTheInputNumber) {
    // Board channel b is input 4 - b; the digit at the top right shows the
    // input. Three segments tell 1 to 4 apart: top, middle, bottom left.
    struct Case {
        uint32_t boardChannel, input;
        bool top, middle, bottomLeft;
    } cases[] = {{3, 1, false, false, false},
                 {2, 2, true, true, true},
                 {1, 3, true, true, false},
                 {0, 4, false, true, false}};
    const uint32_t w = 320, h = 240;
    std::vector<uint8_t> planes(size_t(w) * h * 2);
    PlanarImage im{planes.data(), planes.data() + w * h, planes.data() + w * h * 3 / 2, w, h};
    for (const Case& c : cases) {
        PaintBackground(im, c.boardChannel);
        const uint32_t x = w - 20, y = 2; // the digit's cell: 12 x 20
        auto lit = [&](uint32_t dx, uint32_t dy) { return im.y[(y + dy) * w + x + dx] > 128; };
        EXPECT_EQ(InputNumber(c.boardChannel), c.input);
        EXPECT_EQ(lit(6, 1), c.top) << "input " << c.input;
        EXPECT_EQ(lit(6, 9), c.middle) << "input " << c.input;
        EXPECT_EQ(lit(1, 15), c.bottomLeft) << "input " << c.input;
    }
}

TEST(FrameBuilder, JpegIsFullRangeWhereTheRawPictureIsStudioRange) {
    // The same channel, size and frame as raw 4:2:2 (what Y4M carries) and
    // as JPEG: a JFIF decoder must see the raw picture's levels stretched
    // from 16..235 to 0..255, so black is 0 and the 75 % white bar 191.
    FrameBuilder raw(1, Mode(1, 3, 2)), jpeg(1, Mode(1, 3, kColorJpegWord));
    const FrameGeometry& g = raw.geometry();
    const std::span<const uint8_t> r = raw.Build(7), j = jpeg.Build(7);
    DecodedLuma d;
    ASSERT_TRUE(DecodeJpegLuma(&j[kFrameHeaderSize], LoadLe32(&j[kHeaderCompressedSize]), &d));
    ASSERT_EQ(d.width, g.width);
    const uint8_t* y = &r[kFrameHeaderSize];
    // The band above the bars, then the middle of every bar below the box.
    std::vector<std::pair<uint32_t, uint32_t>> points = {{200, 20}};
    for (uint32_t bar = 0; bar < 8; ++bar)
        points.push_back({bar * g.width / 8 + g.width / 16, g.height * 3 / 4});
    bool sawBlack = false, sawWhite = false;
    for (auto [px, py] : points) {
        const int studio = y[size_t(py) * g.width + px];
        const int expected = std::clamp((studio - 16) * 255 / 219, 0, 255);
        const int got = d.luma[size_t(py) * d.width + px];
        EXPECT_NEAR(got, expected, 2) << "at " << px << "," << py << " raw " << studio;
        sawBlack |= studio == 16;
        sawWhite |= studio == 180;
    }
    EXPECT_TRUE(sawBlack && sawWhite) << "the points cover black and the white bar";
}

TEST(FrameBuilder, SplicedJpegIsTheWholePictureEncodedAtOnce) {
    // The builder re-encodes only the stamped rows; the result must be the
    // very bytes a full encode of the stamped picture gives.
    struct Case {
        uint32_t format, scale, channel;
    } cases[] = {{1, 3, 1}, {2, 1, 3}, {1, 2, 0}};
    for (const Case& c : cases) {
        FrameBuilder builder(c.channel, Mode(c.format, c.scale, kColorJpegWord));
        const FrameGeometry& g = builder.geometry();
        const size_t n = size_t(g.width) * g.height;
        std::vector<uint8_t> bg(n * 2), picture;
        PlanarImage back{bg.data(), bg.data() + n, bg.data() + n + n / 2, g.width, g.height};
        PaintBackground(back, c.channel);
        picture = bg;
        PlanarImage im{picture.data(), picture.data() + n, picture.data() + n + n / 2, g.width,
                       g.height};
        uint32_t previous = 0;
        for (uint32_t frame : {1u, 2u, 50u}) {
            std::span<const uint8_t> t = builder.Build(frame);
            StampFrame(im, back, c.channel, frame, previous);
            previous = frame;
            std::vector<uint8_t> whole(g.imageBytes);
            const size_t size = EncodeJpeg422(im, whole.data(), whole.size(), kJpegQuality, true);
            ASSERT_GT(size, 0u);
            ASSERT_EQ(LoadLe32(&t[kHeaderCompressedSize]), size) << g.width << "x" << g.height;
            EXPECT_TRUE(
                std::equal(whole.begin(), whole.begin() + size, t.begin() + kFrameHeaderSize))
                << g.width << "x" << g.height << " frame " << frame;
        }
    }
}

TEST(FaultPlan, SkipCountAndMatchSelectTheEvents) {
    FaultPlan plan;
    plan.Add({.fault = Fault::WithholdAck, .skip = 2, .count = 2});
    plan.Add({.fault = Fault::StallVendor, .count = 0, .match = 0x30});
    std::vector<bool> acks;
    for (int i = 0; i < 6; ++i)
        acks.push_back(plan.Fire(Fault::WithholdAck) != nullptr);
    EXPECT_EQ(acks, std::vector<bool>({false, false, true, true, false, false}));
    EXPECT_FALSE(plan.Fire(Fault::StallVendor, 0x22));
    EXPECT_TRUE(plan.Fire(Fault::StallVendor, 0x30));
    EXPECT_TRUE(plan.Fire(Fault::StallVendor, 0x30)) << "count 0 fires every time";
    EXPECT_FALSE(plan.Fire(Fault::WithholdReady));
    EXPECT_EQ(plan.Fired(Fault::WithholdAck), 2u);
    EXPECT_EQ(plan.Fired(Fault::StallVendor), 2u);
}

TEST(FaultPlan, RandomShareIsReproducibleFromTheSeed) {
    auto run = [](uint64_t seed) {
        FaultPlan plan(seed);
        plan.Add({.fault = Fault::FailStreamRead, .count = 0, .probability = 0.25});
        std::vector<bool> fired;
        for (int i = 0; i < 400; ++i)
            fired.push_back(plan.Fire(Fault::FailStreamRead) != nullptr);
        return fired;
    };
    const auto a = run(7), b = run(7), c = run(8);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    const auto hits = std::count(a.begin(), a.end(), true);
    EXPECT_GT(hits, 60);
    EXPECT_LT(hits, 140);
}

} // namespace
