// m4350cap's own pieces: how it reads the formats people write, and how it
// turns what a pin delivers into pictures, finds the board's stamp in them
// and lays out the mosaic.
#include "formats.h"
#include "picture.h"

#include <gtest/gtest.h>

#include <libyuv.h>
#include <sim/test_pattern.h>

using namespace m4350::cap;

namespace {

TEST(FormatText, ReadsWhatPeopleWrite) {
    struct Case {
        const char* text;
        Subtype subtype;
        uint32_t width, rows;
        double fps;
    };
    const Case cases[] = {
        {"uyvy:640x480@29.97", Subtype::Uyvy, 640, 480, 29.97},
        {"RGB24:352x288@25", Subtype::Rgb24, 352, 288, 25},
        {"mjpg:704x576@12.5", Subtype::Mjpg, 704, 576, 12.5},
        {"y800:480x640", Subtype::Y800, 480, 640, 0},
        {"yuy2", Subtype::Yuy2, 0, 0, 0},
        {"yv16@15", Subtype::Yv16, 0, 0, 15},
        {"mjpeg:320x240", Subtype::Mjpg, 320, 240, 0},
        {"grey:240x320", Subtype::Y800, 240, 320, 0},
        {"rgb32:640x240", Subtype::Rgb32, 640, 240, 0},
    };
    for (const Case& c : cases) {
        std::string error;
        auto r = ParseFormat(c.text, &error);
        ASSERT_TRUE(r) << c.text << ": " << error;
        EXPECT_EQ(r->subtype, c.subtype) << c.text;
        EXPECT_EQ(r->width, c.width) << c.text;
        EXPECT_EQ(r->rows, c.rows) << c.text;
        EXPECT_DOUBLE_EQ(r->fps, c.fps) << c.text;
    }
}

TEST(FormatText, SaysWhatIsWrong) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"nv12:640x480", "unknown pixel format \"nv12\""},
        {"uyvy:640", "WIDTHxHEIGHT"},
        {"uyvy:640x480x2", "WIDTHxHEIGHT"},
        {"uyvy:0x480", "WIDTHxHEIGHT"},
        {"uyvy:640x480@", "frame rate"},
        {"uyvy:@25", "WIDTHxHEIGHT"},
        {"uyvy:640x480@fast", "frame rate"},
        {"uyvy:640x480@-5", "frame rate"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(ParseFormat(c.text, &error)) << c.text;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.text << ": " << error;
    }
}

TEST(FrameRates, DecimationsAndTheIntervalsThePinTakes) {
    struct Case {
        bool pal;
        double fps;
        int decimation;
    };
    const Case cases[] = {
        {false, 29.97, 1}, {false, 30, 1}, {false, 14.985, 2}, {false, 15, 2},
        {false, 9.99, 3},  {false, 10, 3}, {false, 5.994, 5},  {false, 6, 5},
        {false, 7, 0},     {false, 25, 0}, {true, 25, 1},      {true, 12.5, 2},
        {true, 8.333, 3},  {true, 5, 5},   {true, 29.97, 0},   {true, 24, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DecimationFor(c.pal, c.fps), c.decimation) << c.fps << (c.pal ? " PAL" : "");
    const int64_t ntsc[] = {333667, 667334, 1001001, 1668335};
    const int64_t pal[] = {400000, 800000, 1200000, 2000000};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(FrameInterval(false, kDecimations[i]), ntsc[i]);
        EXPECT_EQ(FrameInterval(true, kDecimations[i]), pal[i]);
    }
}

// The board's picture of one frame, planar 4:2:2.
struct BoardPicture {
    uint32_t width, height;
    std::vector<uint8_t> y, u, v;
    BoardPicture(uint32_t w, uint32_t h, uint32_t channel, uint32_t frame)
        : width(w), height(h), y(w * h), u(w / 2 * h), v(w / 2 * h) {
        m4350::sim::PlanarImage image{y.data(), u.data(), v.data(), w, h};
        std::vector<uint8_t> by(w * h), bu(w / 2 * h), bv(w / 2 * h);
        m4350::sim::PlanarImage background{by.data(), bu.data(), bv.data(), w, h};
        m4350::sim::PaintBackground(background, channel);
        m4350::sim::PaintBackground(image, channel);
        m4350::sim::StampFrame(image, background, channel, frame, 0);
    }
};

// Each delivered layout, made from the board's picture the way a pin's
// conversion makes it, reads back as the same picture and stamp.
TEST(DeliveredFrames, EveryLayoutGivesThePictureAndItsStamp) {
    const uint32_t w = 320, h = 240;
    const BoardPicture board(w, h, 2, 1234);
    const int iw = int(w), ih = int(h);
    std::vector<uint8_t> argb(w * h * 4);
    libyuv::I422ToARGB(board.y.data(), iw, board.u.data(), iw / 2, board.v.data(), iw / 2,
                       argb.data(), iw * 4, iw, ih);
    struct Case {
        Subtype subtype;
        bool bottomUp;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases;
    std::vector<uint8_t> packed(w * h * 2);
    libyuv::I422ToUYVY(board.y.data(), iw, board.u.data(), iw / 2, board.v.data(), iw / 2,
                       packed.data(), iw * 2, iw, ih);
    cases.push_back({Subtype::Uyvy, false, packed});
    libyuv::I422ToYUY2(board.y.data(), iw, board.u.data(), iw / 2, board.v.data(), iw / 2,
                       packed.data(), iw * 2, iw, ih);
    cases.push_back({Subtype::Yuy2, false, packed});
    std::vector<uint8_t> yv16 = board.y;
    yv16.insert(yv16.end(), board.v.begin(), board.v.end());
    yv16.insert(yv16.end(), board.u.begin(), board.u.end());
    cases.push_back({Subtype::Yv16, false, yv16});
    cases.push_back({Subtype::Y800, false, board.y});
    // RGB as DIBs: bottom-up, the last row first.
    std::vector<uint8_t> flipped(w * h * 4), rgb24(w * h * 3);
    libyuv::ARGBCopy(argb.data(), iw * 4, flipped.data(), iw * 4, iw, -ih);
    cases.push_back({Subtype::Rgb32, true, flipped});
    libyuv::ARGBToRGB24(flipped.data(), iw * 4, rgb24.data(), iw * 3, iw, ih);
    cases.push_back({Subtype::Rgb24, true, rgb24});

    for (const Case& c : cases) {
        SCOPED_TRACE(SubtypeName(c.subtype));
        FrameFormat format;
        format.subtype = c.subtype;
        format.width = w;
        format.rows = h;
        format.bottomUp = c.bottomUp;
        Picture picture;
        ASSERT_TRUE(ToPicture(format, c.bytes.data(), c.bytes.size(), &picture));
        EXPECT_EQ(picture.width, w);
        EXPECT_EQ(picture.height, h);
        EXPECT_EQ(picture.mono, c.subtype == Subtype::Y800);
        int orientation = 0;
        const auto stamp = ReadPictureStamp(picture, &orientation);
        EXPECT_TRUE(stamp.valid);
        EXPECT_EQ(stamp.channel, 2u);
        EXPECT_EQ(stamp.frameNumber, 1234u);
        EXPECT_EQ(orientation, 0);
        // Through RGB and back the luma stays within a step or two.
        int far = 0;
        for (size_t i = 0; i < picture.y.size(); ++i)
            far += std::abs(int(picture.y[i]) - int(board.y[i])) > 3;
        EXPECT_EQ(far, 0);
        EXPECT_FALSE(ToPicture(format, c.bytes.data(), c.bytes.size() / 2, &picture))
            << "a short frame is no picture";
    }
}

TEST(DeliveredFrames, PortraitStampsAreFoundTurnedAndRemembered) {
    const BoardPicture board(320, 240, 1, 77);
    const libyuv::RotationMode turns[] = {libyuv::kRotate90, libyuv::kRotate270};
    for (libyuv::RotationMode turn : turns) {
        Picture portrait;
        portrait.width = 240;
        portrait.height = 320;
        portrait.mono = true;
        portrait.y.resize(240 * 320);
        libyuv::RotatePlane(board.y.data(), 320, portrait.y.data(), 240, 320, 240, turn);
        int orientation = 0;
        auto stamp = ReadPictureStamp(portrait, &orientation);
        ASSERT_TRUE(stamp.valid) << turn;
        EXPECT_EQ(stamp.frameNumber, 77u);
        EXPECT_NE(orientation, 0);
        // The next frame is tried the found way first, and found the same.
        const int found = orientation;
        stamp = ReadPictureStamp(portrait, &orientation);
        EXPECT_TRUE(stamp.valid);
        EXPECT_EQ(orientation, found);
    }
    Picture blank;
    blank.width = 64;
    blank.height = 64;
    blank.mono = true;
    blank.y.assign(64 * 64, 16);
    int orientation = 0;
    EXPECT_FALSE(ReadPictureStamp(blank, &orientation).valid);
}

TEST(Mosaic, CellsKeepTheirShapeInsideTheirQuarter) {
    Picture landscape, portrait;
    for (Picture* p : {&landscape, &portrait}) {
        const bool tall = p == &portrait;
        p->width = tall ? 240 : 704;
        p->height = tall ? 320 : 576;
        p->y.assign(size_t(p->width) * p->height, 200);
        p->u.assign(size_t(p->width / 2) * p->height, 128);
        p->v.assign(size_t(p->width / 2) * p->height, 128);
    }
    MosaicCell cells[4];
    cells[0] = {&landscape, "ch1"};
    cells[3] = {&portrait, "ch4"};
    Picture mosaic;
    ComposeMosaic(cells, &mosaic);
    ASSERT_EQ(mosaic.width, kMosaicWidth);
    ASSERT_EQ(mosaic.height, kMosaicHeight);
    EXPECT_EQ(mosaic.u.size(), size_t(kMosaicWidth / 2) * kMosaicHeight);
    auto at = [&](uint32_t x, uint32_t y) { return mosaic.y[size_t(y) * kMosaicWidth + x]; };
    // A full-size PAL picture fills its cell exactly.
    EXPECT_EQ(at(0, 0), 200);
    EXPECT_EQ(at(kCellWidth - 1, kCellHeight - 1), 200);
    EXPECT_EQ(at(kCellWidth, 0), 16) << "cell 2 has no picture";
    // A portrait picture stands in the middle of its cell, black beside it.
    const uint32_t top = kCellHeight + kCaptionHeight;
    EXPECT_EQ(at(kCellWidth + kCellWidth / 2, top + kCellHeight / 2), 200);
    EXPECT_EQ(at(kCellWidth + 4, top + kCellHeight / 2), 16);
    EXPECT_EQ(at(kMosaicWidth - 4, top + kCellHeight / 2), 16);
    // The captions are drawn in the strips.
    int lit = 0;
    for (uint32_t y = kCellHeight; y < kCellHeight + kCaptionHeight; ++y)
        for (uint32_t x = 0; x < kCellWidth; ++x)
            lit += at(x, y) == 235;
    EXPECT_GT(lit, 10);
}

} // namespace
