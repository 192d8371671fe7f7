// The board model's side of the controls: the picture controls of a mode
// change the picture it renders as its documented mapping says, the code
// strip stays readable whatever they are, and the EEPROM can outlive the
// board in a file.
#include <sim/eeprom.h>
#include <sim/frame_builder.h>
#include <sim/protocol.h>
#include <sim/test_pattern.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace m4350test {
namespace {

using m4350::sim::AdjustChroma;
using m4350::sim::AdjustLuma;
using m4350::sim::FrameBuilder;
using m4350::sim::ModeSettings;
using m4350::sim::PictureControls;

// One raw frame of a 640 x 480 planar mode with these controls.
struct Rendered {
    std::vector<uint8_t> y, cb, cr;
    uint32_t width = 640, height = 480;

    explicit Rendered(ModeSettings mode, uint32_t frame = 7) {
        mode.scale = 1;
        mode.color = 2;
        FrameBuilder builder(1, mode);
        std::span<const uint8_t> bytes = builder.Build(frame);
        const uint8_t* image = bytes.data() + m4350::sim::kFrameHeaderSize;
        const size_t n = size_t(width) * height;
        y.assign(image, image + n);
        cb.assign(image + n, image + n + n / 2);
        cr.assign(image + n + n / 2, image + 2 * n);
    }
    uint8_t Y(uint32_t x, uint32_t row) const { return y[size_t(row) * width + x]; }
    uint8_t Cb(uint32_t x, uint32_t row) const { return cb[size_t(row) * width / 2 + x / 2]; }
    uint8_t Cr(uint32_t x, uint32_t row) const { return cr[size_t(row) * width / 2 + x / 2]; }
};

ModeSettings WithControls(int32_t bright, uint32_t contrast, uint32_t saturation, int32_t hue) {
    ModeSettings mode;
    mode.bright = uint32_t(bright);
    mode.contrast = contrast;
    mode.saturation = saturation;
    mode.hue = uint32_t(hue);
    return mode;
}

struct ControlCase {
    const char* name;
    int32_t bright;
    uint32_t contrast, saturation;
    int32_t hue;
};

const ControlCase ControlCases[] = {
    {"neutral", 0, 92, 128, 0},
    {"brighter", 40, 92, 128, 0},
    {"darkest", -127, 92, 128, 0},
    {"double contrast", 0, 184, 128, 0},
    {"no contrast", 20, 0, 128, 0},
    {"no colour", 0, 92, 0, 0},
    {"hue +90 degrees", 0, 92, 128, 64},
    {"everything at once", 30, 150, 200, -40},
    {"words beyond the ranges", 500, 0xFFFFFFFF, 0xFFFFFFFF, -300},
};

// Every pixel of the picture below the code strip is the neutral picture's
// pixel through the mapping, and stays in studio range.
TEST(BoardPicture, ControlsApplyTheDocumentedMappingToEveryPixel) {
    const Rendered neutral(ModeSettings{});
    for (const ControlCase& c : ControlCases) {
        SCOPED_TRACE(c.name);
        const ModeSettings mode = WithControls(c.bright, c.contrast, c.saturation, c.hue);
        const PictureControls controls = PictureControls::Of(mode);
        const Rendered adjusted(mode);
        size_t wrong = 0;
        for (uint32_t row = 24; row < adjusted.height; ++row) {
            for (uint32_t x = 0; x < adjusted.width; ++x) {
                uint8_t cb = neutral.Cb(x, row), cr = neutral.Cr(x, row);
                AdjustChroma(&cb, &cr, controls);
                wrong += adjusted.Y(x, row) != AdjustLuma(neutral.Y(x, row), controls);
                wrong += adjusted.Cb(x, row) != cb || adjusted.Cr(x, row) != cr;
                EXPECT_TRUE(adjusted.Y(x, row) >= 16 && adjusted.Y(x, row) <= 235);
                EXPECT_TRUE(adjusted.Cb(x, row) >= 16 && adjusted.Cb(x, row) <= 240);
            }
        }
        EXPECT_EQ(wrong, 0u);
        const auto stamp = m4350::sim::ReadStamp(adjusted.y.data(), 640, 480);
        EXPECT_TRUE(stamp.valid) << "the code strip is not a part of the picture";
        EXPECT_EQ(stamp.frameNumber, 7u);
    }
}

TEST(BoardPicture, TheMappingMovesLevelsAsDocumented) {
    PictureControls k;
    EXPECT_TRUE(k.Neutral());
    for (int y = 16; y <= 235; ++y) {
        EXPECT_EQ(AdjustLuma(uint8_t(y), k), y) << "neutral leaves every level";
    }
    k.brightness = 40;
    EXPECT_EQ(AdjustLuma(100, k), 140);
    EXPECT_EQ(AdjustLuma(220, k), 235) << "clipped to studio white";
    k = {};
    k.contrast = 184;
    EXPECT_EQ(AdjustLuma(16, k), 16) << "contrast pivots on black";
    EXPECT_EQ(AdjustLuma(66, k), 116);
    k = {};
    k.saturation = 64;
    uint8_t cb = 200, cr = 60;
    AdjustChroma(&cb, &cr, k);
    EXPECT_EQ(cb, 164);
    EXPECT_EQ(cr, 94);
    k = {};
    k.hue = 64; // a quarter turn: (u, v) becomes (-v, u)
    cb = 178;
    cr = 128;
    AdjustChroma(&cb, &cr, k);
    EXPECT_EQ(cb, 128);
    EXPECT_EQ(cr, 178);
    EXPECT_DOUBLE_EQ(m4350::sim::kHueDegreesPerStep * 64, 90.0);
}

TEST(BoardPicture, LumaOnlyModesTakeTheLumaControls) {
    ModeSettings mode = WithControls(-50, 92, 128, 0);
    mode.color = 4;
    FrameBuilder dark(0, mode);
    mode.bright = 0;
    FrameBuilder plain(0, mode);
    const uint8_t* a = dark.Build(3).data() + m4350::sim::kFrameHeaderSize;
    const uint8_t* b = plain.Build(3).data() + m4350::sim::kFrameHeaderSize;
    const PictureControls controls = PictureControls::Of(WithControls(-50, 92, 128, 0));
    for (uint32_t i = 640 * 100; i < 640 * 101; ++i) {
        ASSERT_EQ(a[i], AdjustLuma(b[i], controls)) << i;
    }
}

class BoardEepromFile : public testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("m4350-eeprom-" + std::to_string(::getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    static std::vector<uint8_t> FileBytes(const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::filesystem::path dir_;
};

TEST_F(BoardEepromFile, WhatWasWrittenIsThereForTheNextBoard) {
    const auto file = m4350::sim::EepromFileFor(dir_, 2);
    EXPECT_EQ(file, dir_ / "m4350sim" / "eeprom2.bin");
    {
        m4350::sim::ControllerEeprom eeprom(0x00ABCDEF, file);
        ASSERT_TRUE(eeprom.FileOk());
        std::vector<uint8_t> bytes = FileBytes(file);
        ASSERT_EQ(bytes.size(), 8192u);
        EXPECT_EQ(bytes[0x1FF0], 0xAA);
        EXPECT_EQ(bytes[0x1FFD], 0xAB);
        EXPECT_EQ(bytes[0], 0xFF);
        const uint8_t data[3] = {1, 2, 3};
        ASSERT_TRUE(eeprom.Write(100, data, 3));
        EXPECT_FALSE(eeprom.Write(8190, data, 3)) << "beyond the 8 KiB";
        EXPECT_EQ(FileBytes(file), eeprom.Bytes());
    }
    // Another serial in the config does not replace the record on the chip.
    m4350::sim::ControllerEeprom again(0x11111111, file);
    const std::vector<uint8_t> bytes = again.Bytes();
    EXPECT_EQ(bytes[101], 2);
    EXPECT_EQ(bytes[0x1FFF], 0xEF);
}

TEST_F(BoardEepromFile, AFileOfAnotherSizeIsReplacedByAFreshImage) {
    const auto file = m4350::sim::EepromFileFor(dir_, 0);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << "short";
    m4350::sim::ControllerEeprom eeprom(0x01020304, file);
    EXPECT_EQ(FileBytes(file).size(), 8192u);
    EXPECT_EQ(eeprom.Bytes()[0x1FFC], 0x01);
    // In memory only, nothing is written anywhere.
    m4350::sim::ControllerEeprom memory(5);
    EXPECT_TRUE(memory.File().empty());
    EXPECT_EQ(memory.Bytes()[0x1FFF], 5);
}

} // namespace
} // namespace m4350test
