// The board model on the bus, driven the way the driver drives it: vendor
// requests, the firmware image and command packets on pipe 0, answers and
// frames read in 16384-byte blocks from pipe 1.
#include "usb_client.h"

#include <host/usb_bus.h>
#include <kernel_test.h>
#include <sim/board.h>
#include <sim/jpeg_codec.h>
#include <sim/protocol.h>
#include <sim/test_pattern.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <host/services.h>
#include <optional>

using namespace m4350::sim;
using namespace m4350::test;

namespace {

BoardConfig WithFaults(std::vector<FaultRule> faults) {
    BoardConfig c;
    c.faults = std::move(faults);
    return c;
}

struct AnswerBlock {
    uint32_t channel, type, status, version;
};

struct Frame {
    std::vector<uint8_t> bytes; // header, image, padding: the whole transfer
    uint32_t Word(size_t offset) const { return LoadLe32(&bytes[offset]); }
};

class BoardTest : public KernelTest {
protected:
    void TearDown() override {
        bus.reset();
        board.reset();
        KernelTest::TearDown();
    }

    void Plug(BoardConfig config = {}) {
        board = std::make_shared<Board>(std::move(config));
        bus = std::make_unique<host::usb::Bus>(board);
        ASSERT_EQ(SelectConfiguration(Pdo(), &pipes), STATUS_SUCCESS);
        ASSERT_EQ(pipes.pipes.size(), 2u);
    }
    PDEVICE_OBJECT Pdo() { return bus->Pdo(); }
    USBD_PIPE_HANDLE CommandPipe() { return pipes.pipes[0].PipeHandle; }
    USBD_PIPE_HANDLE StreamPipe() { return pipes.pipes[1].PipeHandle; }

    NTSTATUS Vendor(UCHAR request, USHORT value = 0) {
        return VendorRequest(Pdo(), request, value, 0, nullptr, 0, false);
    }
    // The power cycle and the image, as the firmware download sends them.
    NTSTATUS Boot(std::vector<uint8_t> image = BuildFirmwareImage()) {
        Vendor(kVendorHoldReset, 1);
        Vendor(kVendorPowerCycle);
        Vendor(kVendorReleaseReset);
        image.resize((image.size() + 512) & ~size_t(511), 0);
        return BulkWrite(Pdo(), CommandPipe(), image.data(), ULONG(image.size()));
    }
    NTSTATUS Command(uint32_t channel, uint32_t code, const ModeSettings* mode = nullptr) {
        uint8_t packet[kCommandPacketSize] = {};
        StoreLe32(packet, kCommandMagic);
        StoreLe32(packet + 4, channel);
        StoreLe32(packet + 8, code);
        if (mode)
            std::memcpy(packet + kModeOffset, mode, sizeof(ModeSettings));
        return BulkWrite(Pdo(), CommandPipe(), packet, sizeof(packet));
    }
    // One stream block; empty when the read failed.
    std::vector<uint8_t> ReadBlock(NTSTATUS* status = nullptr) {
        std::vector<uint8_t> block(kStreamBlockSize);
        ULONG got = 0;
        const NTSTATUS s = BulkRead(Pdo(), StreamPipe(), block.data(), kStreamBlockSize, &got);
        if (status)
            *status = s;
        block.resize(NT_SUCCESS(s) ? got : 0);
        return block;
    }
    std::optional<AnswerBlock> ReadAnswer() {
        std::vector<uint8_t> b = ReadBlock();
        if (b.size() != kStreamBlockSize || LoadLe32(b.data()) != kResponseMarker)
            return std::nullopt;
        return AnswerBlock{LoadLe32(&b[4]), LoadLe32(&b[8]), LoadLe32(&b[12]), LoadLe32(&b[16])};
    }
    // Reads blocks up to the next frame header and then the whole frame.
    std::optional<Frame> ReadFrame(const FrameGeometry& g) {
        for (int skipped = 0; skipped < 64; ++skipped) {
            std::vector<uint8_t> b = ReadBlock();
            if (b.size() != kStreamBlockSize)
                return std::nullopt;
            if (LoadLe32(b.data()) != kFrameMarker)
                continue;
            Frame f;
            f.bytes = std::move(b);
            while (f.bytes.size() < g.transferBytes) {
                std::vector<uint8_t> more = ReadBlock();
                if (more.size() != kStreamBlockSize)
                    return std::nullopt;
                f.bytes.insert(f.bytes.end(), more.begin(), more.end());
            }
            return f;
        }
        return std::nullopt;
    }
    void BootAndCollectReady() {
        ASSERT_EQ(Boot(), STATUS_SUCCESS);
        for (uint32_t b = 0; b < 4; ++b) {
            auto a = ReadAnswer();
            ASSERT_TRUE(a);
            EXPECT_EQ(a->type, kResponseChannelReady);
            EXPECT_EQ(a->channel, b);
        }
    }
    ModeSettings StartChannel(uint32_t channel, uint32_t format, uint32_t scale, uint32_t color) {
        ModeSettings m;
        m.format = format;
        m.scale = scale;
        m.color = color;
        m.restart = 1;
        m.usbblock = 0x4000;
        EXPECT_EQ(Command(channel, CMD_SET_MODE, &m), STATUS_SUCCESS);
        auto ack = ReadAnswer();
        EXPECT_TRUE(ack && ack->type == kResponseModeAck && ack->channel == channel);
        EXPECT_EQ(Command(channel, CMD_START), STATUS_SUCCESS);
        return m;
    }

    std::shared_ptr<Board> board;
    std::unique_ptr<host::usb::Bus> bus;
    BoardPipes pipes;
};

TEST_F(BoardTest, DescribesOneInterfaceWithTwoBulkPipes) {
    Plug();
    USB_DEVICE_DESCRIPTOR dd{};
    ASSERT_EQ(GetDescriptor(Pdo(), USB_DEVICE_DESCRIPTOR_TYPE, &dd, sizeof(dd)), STATUS_SUCCESS);
    EXPECT_EQ(dd.bNumConfigurations, 1);
    EXPECT_EQ(dd.bcdUSB, 0x200);
    const auto& p = pipes.pipes;
    EXPECT_EQ(p[0].EndpointAddress, kCommandEndpoint);
    EXPECT_EQ(p[1].EndpointAddress, kStreamEndpoint);
    for (const auto& pipe : p) {
        EXPECT_EQ(pipe.PipeType, UsbdPipeTypeBulk);
        EXPECT_EQ(pipe.MaximumPacketSize, 512);
    }
}

TEST_F(BoardTest, FullSpeedBoardReports64BytePackets) {
    BoardConfig config;
    config.fullSpeed = true;
    Plug(config);
    EXPECT_EQ(pipes.pipes[0].MaximumPacketSize, 64);
    EXPECT_EQ(bus->CurrentSpeed(), host::usb::Speed::Full);
}

TEST_F(BoardTest, ValidImageBootsWithFourReadyBlocks) {
    Plug();
    EXPECT_EQ(board->State(), BoardState::Loader);
    BootAndCollectReady();
    EXPECT_EQ(board->State(), BoardState::Running);
    EXPECT_EQ(board->FirmwareVersion(), kDefaultFirmwareVersion);
    const BoardCounters c = board->Counters();
    EXPECT_EQ(c.firmwareLoads, 1u);
    EXPECT_EQ(c.readyBlocks, 4u);
    EXPECT_EQ(c.powerCycles, 3u);
}

TEST_F(BoardTest, InstalledFirmwareFileBoots) {
    std::string error;
    const std::string path = InstallFirmwareFile(&error, 0x00030001);
    ASSERT_FALSE(path.empty()) << error;
    EXPECT_EQ(std::filesystem::path(path), host::SystemRoot() / "system32/drivers/f4350usb.bin");
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    Plug();
    ASSERT_EQ(Boot(image), STATUS_SUCCESS);
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(ReadAnswer());
    EXPECT_EQ(board->FirmwareVersion(), 0x00030001u);
}

TEST_F(BoardTest, DamagedImageDoesNotBoot) {
    Plug();
    std::vector<uint8_t> image = BuildFirmwareImage();
    image[100] ^= 1;
    ASSERT_EQ(Boot(image), STATUS_SUCCESS) << "the transfer itself succeeds";
    EXPECT_EQ(board->State(), BoardState::Loader);
    EXPECT_EQ(board->Counters().firmwareRejected, 1u);
    EXPECT_EQ(board->Counters().lastFirmwareCheck, FirmwareCheck::BadPayloadCrc);
    // The next good image boots; only its four ready blocks ever arrive.
    BootAndCollectReady();
    EXPECT_EQ(board->Counters().readyBlocks, 4u);
}

TEST_F(BoardTest, PowerCycleDropsTheFirmware) {
    Plug();
    BootAndCollectReady();
    ASSERT_EQ(Vendor(kVendorHoldReset, 1), STATUS_SUCCESS);
    EXPECT_EQ(board->State(), BoardState::Reset);
    std::vector<uint8_t> image = BuildFirmwareImage();
    image.resize(image.size() + 512 - image.size() % 512);
    ASSERT_EQ(BulkWrite(Pdo(), CommandPipe(), image.data(), ULONG(image.size())), STATUS_SUCCESS);
    EXPECT_EQ(board->State(), BoardState::Reset) << "held in reset, the image is dropped";
    EXPECT_EQ(board->Counters().droppedWrites, 1u);
    BootAndCollectReady();
    EXPECT_EQ(board->Counters().firmwareLoads, 2u);
}

TEST_F(BoardTest, SetModeIsAcknowledgedOnlyWithRestart) {
    Plug();
    BootAndCollectReady();
    ModeSettings m;
    m.restart = 0;
    m.bright = 40;
    ASSERT_EQ(Command(1, CMD_SET_MODE, &m), STATUS_SUCCESS);
    m.restart = 1;
    ASSERT_EQ(Command(2, CMD_SET_MODE, &m), STATUS_SUCCESS);
    auto a = ReadAnswer(); // the first answer is channel 2's: channel 1 got none
    ASSERT_TRUE(a);
    EXPECT_EQ(a->type, kResponseModeAck);
    EXPECT_EQ(a->channel, 2u);
    EXPECT_EQ(board->Mode(1).bright, 40u);
    EXPECT_EQ(board->Counters().setMode, 2u);
}

TEST_F(BoardTest, StatusAnswerCarriesStateAndFirmwareVersion) {
    Plug();
    ASSERT_EQ(Boot(BuildFirmwareImage(0x00020005)), STATUS_SUCCESS);
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(ReadAnswer());
    ASSERT_EQ(Command(3, CMD_START), STATUS_SUCCESS);
    ASSERT_EQ(Command(3, CMD_STOP), STATUS_SUCCESS);
    ASSERT_EQ(Command(0, CMD_START), STATUS_SUCCESS);
    ASSERT_EQ(Command(3, CMD_STATUS), STATUS_SUCCESS);
    std::optional<AnswerBlock> a;
    do // frames of channel 0 may already be on their way
        a = ReadAnswer();
    while (!a && board->Counters().statusAnswers == 0);
    a = a ? a : ReadAnswer();
    ASSERT_TRUE(a);
    EXPECT_EQ(a->type, kResponseStatus);
    EXPECT_EQ(a->channel, kStatusChannel);
    EXPECT_EQ(a->status, 0x11u) << "firmware running, board channel 0 acquiring";
    EXPECT_EQ(a->version, 0x00020005u);
}

TEST_F(BoardTest, FramesHaveHeaderSizeAndPaddingOfTheirMode) {
    struct Case {
        const char* what;
        uint32_t format, scale, color, channel;
    } cases[] = {{"NTSC 640x480 packed YUV", 1, 1, 2, 3},
                 {"PAL 352x288 luma", 2, 3, 4, 1},
                 {"NTSC 320x240 JPEG", 1, 3, kColorJpegWord, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Plug();
        BootAndCollectReady();
        const ModeSettings m = StartChannel(c.channel, c.format, c.scale, c.color);
        const FrameGeometry g = GeometryOf(m);
        uint32_t previous = 0;
        for (int i = 0; i < 2; ++i) {
            auto f = ReadFrame(g);
            ASSERT_TRUE(f);
            ASSERT_EQ(f->bytes.size(), g.transferBytes);
            EXPECT_EQ(f->Word(kHeaderChannel), c.channel);
            EXPECT_EQ(f->Word(kHeaderFrameSize), g.frameSize);
            const uint32_t compressed = f->Word(kHeaderCompressedSize);
            const uint8_t* image = &f->bytes[kFrameHeaderSize];
            StampReading r;
            if (g.layout == RawLayout::Jpeg) {
                ASSERT_GT(compressed, 0u);
                DecodedLuma d;
                ASSERT_TRUE(DecodeJpegLuma(image, compressed, &d));
                EXPECT_EQ(d.width, g.width);
                r = ReadStamp(d.luma.data(), d.width, d.height);
            } else {
                EXPECT_EQ(compressed, 0u);
                EXPECT_TRUE(std::all_of(f->bytes.begin() + g.frameSize, f->bytes.end(),
                                        [](uint8_t b) { return b == 0; }));
                r = ReadStamp(image, g.width, g.height);
            }
            ASSERT_TRUE(r.valid);
            EXPECT_EQ(r.channel, c.channel);
            EXPECT_EQ(r.frameNumber, f->Word(kHeaderFrameNumber));
            EXPECT_GT(r.frameNumber, previous) << "frames arrive in order";
            previous = r.frameNumber;
        }
        EXPECT_EQ(Command(c.channel, CMD_STOP), STATUS_SUCCESS);
        EXPECT_FALSE(board->Acquiring(c.channel));
        bus.reset();
        board.reset();
    }
}

TEST_F(BoardTest, EepromWritesReadBackAndHoldTheSerialRecord) {
    BoardConfig config;
    config.serial = 0x00ABCDEF;
    Plug(config);
    uint8_t record[16] = {};
    ASSERT_EQ(VendorRequest(Pdo(), kVendorEepromRead, kEepromDeviceValue, kSerialRecordAddress,
                            record, sizeof(record), true),
              STATUS_SUCCESS);
    EXPECT_EQ(record[0], 0xAA);
    EXPECT_EQ(record[3], 0xDD);
    EXPECT_EQ(uint32_t(record[12] << 24 | record[13] << 16 | record[14] << 8 | record[15]),
              0x00ABCDEFu);

    // 20 bytes in chunks of 8, 8 and 4, each packet led by its address.
    uint8_t data[20];
    for (int i = 0; i < 20; ++i)
        data[i] = uint8_t(0x40 + i);
    for (uint32_t off = 0; off < 20; off += 8) {
        const uint32_t n = std::min(8u, 20 - off);
        uint8_t packet[10] = {uint8_t(off >> 8), uint8_t(off)};
        std::memcpy(packet + 2, data + off, n);
        ASSERT_EQ(VendorRequest(Pdo(), kVendorEepromWrite, kEepromDeviceValue, kEepromDeviceValue,
                                packet, n + 2, false),
                  STATUS_SUCCESS);
    }
    uint8_t back[20] = {};
    for (uint32_t off = 0; off < 20; off += 8)
        ASSERT_EQ(VendorRequest(Pdo(), kVendorEepromRead, kEepromDeviceValue, USHORT(off),
                                back + off, std::min(8u, 20 - off), true),
                  STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(back, data, 20), 0);
    EXPECT_EQ(board->Counters().eepromWrites, 3u);

    uint8_t version[2] = {};
    ASSERT_EQ(VendorRequest(Pdo(), kVendorControllerVersion, 0, 0, version, 2, true),
              STATUS_SUCCESS);
    EXPECT_EQ(version[0], 5);
    EXPECT_EQ(version[1], 2);

    // Reads and writes past the end of the EEPROM stall.
    USBD_STATUS urb = 0;
    EXPECT_EQ(
        VendorRequest(Pdo(), kVendorEepromRead, kEepromDeviceValue, 8190, back, 4, true, &urb),
        STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb, USBD_STATUS_STALL_PID);
    uint8_t late[5] = {0x1F, 0xFE, 1, 2, 3};
    EXPECT_EQ(VendorRequest(Pdo(), kVendorEepromWrite, kEepromDeviceValue, kEepromDeviceValue, late,
                            sizeof(late), false),
              STATUS_UNSUCCESSFUL);
}

TEST_F(BoardTest, AbortEndsPendingReadsAsCancelled) {
    Plug();
    std::vector<std::unique_ptr<UrbRequest>> reads;
    std::vector<std::vector<uint8_t>> buffers(4, std::vector<uint8_t>(kStreamBlockSize));
    for (auto& buffer : buffers) {
        reads.push_back(std::make_unique<UrbRequest>(Pdo()));
        BuildBulk(reads.back()->Urb(), StreamPipe(), buffer.data(), kStreamBlockSize, true);
        ASSERT_EQ(reads.back()->Send(), STATUS_PENDING);
    }
    ASSERT_TRUE(bus->WaitForPending(4, 10s));
    EXPECT_EQ(PipeRequest(Pdo(), URB_FUNCTION_ABORT_PIPE, StreamPipe()), STATUS_SUCCESS);
    for (auto& r : reads) {
        ASSERT_TRUE(r->Wait());
        EXPECT_EQ(r->Status(), STATUS_CANCELLED);
        EXPECT_EQ(r->Urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
        EXPECT_EQ(r->CompletionIrql(), DISPATCH_LEVEL);
    }
}

TEST_F(BoardTest, UnplugFailsPendingReadsAndTheBoardLosesPower) {
    Plug();
    BootAndCollectReady();
    std::vector<uint8_t> buffer(kStreamBlockSize);
    UrbRequest read(Pdo());
    BuildBulk(read.Urb(), StreamPipe(), buffer.data(), kStreamBlockSize, true);
    ASSERT_EQ(read.Send(), STATUS_PENDING);
    ASSERT_TRUE(bus->WaitForPending(1, 10s));
    bus->Unplug();
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(read.Status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(board->State(), BoardState::Unpowered);
    EXPECT_EQ(Command(0, CMD_STATUS), STATUS_DEVICE_NOT_CONNECTED);
    bus->Replug();
    EXPECT_EQ(board->State(), BoardState::Loader) << "power came back without firmware";
}

// A suspended port cuts the board's power: back, it is a board without
// firmware, modes or acquisitions, in its loader.
TEST_F(BoardTest, SuspendedPortCutsThePowerAndTheBoardComesBackInItsLoader) {
    Plug();
    BootAndCollectReady();
    StartChannel(2, 1, 3, 3);
    ASSERT_TRUE(board->Acquiring(2));
    bus->Suspend();
    EXPECT_EQ(board->State(), BoardState::Unpowered);
    EXPECT_EQ(board->Counters().powerLosses, 1u);
    bus->Resume();
    EXPECT_EQ(board->State(), BoardState::Loader);
    EXPECT_FALSE(board->Acquiring(2));
    EXPECT_EQ(board->Mode(2).format, ModeSettings{}.format);
    EXPECT_EQ(board->FirmwareVersion(), 0u);
}

TEST_F(BoardTest, MalformedPacketsAreIgnoredAndCounted) {
    Plug();
    BootAndCollectReady();
    uint8_t packet[kCommandPacketSize] = {};
    StoreLe32(packet, 0x12345678); // wrong magic
    EXPECT_EQ(BulkWrite(Pdo(), CommandPipe(), packet, sizeof(packet)), STATUS_SUCCESS);
    StoreLe32(packet, kCommandMagic);
    StoreLe32(packet + 4, 4); // no such channel
    StoreLe32(packet + 8, CMD_STATUS);
    EXPECT_EQ(BulkWrite(Pdo(), CommandPipe(), packet, sizeof(packet)), STATUS_SUCCESS);
    StoreLe32(packet + 4, 0);
    StoreLe32(packet + 8, 0xC4350099); // no such command
    EXPECT_EQ(BulkWrite(Pdo(), CommandPipe(), packet, sizeof(packet)), STATUS_SUCCESS);
    EXPECT_EQ(BulkWrite(Pdo(), CommandPipe(), packet, 100), STATUS_SUCCESS); // short packet
    const BoardCounters c = board->Counters();
    EXPECT_EQ(c.malformedPackets, 4u);
    EXPECT_EQ(c.status, 0u);
}

// Faults, each checked through what the host sees.
TEST_F(BoardTest, WithheldAnswersNeverArrive) {
    Plug(WithFaults({{.fault = Fault::WithholdReady, .match = 2},
                     {.fault = Fault::WithholdAck},
                     {.fault = Fault::WithholdStatus}}));
    ASSERT_EQ(Boot(), STATUS_SUCCESS);
    for (uint32_t b : {0u, 1u, 3u}) {
        auto a = ReadAnswer();
        ASSERT_TRUE(a);
        EXPECT_EQ(a->channel, b);
    }
    ModeSettings m;
    m.restart = 1;
    ASSERT_EQ(Command(0, CMD_SET_MODE, &m), STATUS_SUCCESS); // withheld
    ASSERT_EQ(Command(0, CMD_STATUS), STATUS_SUCCESS);       // withheld
    ASSERT_EQ(Command(1, CMD_SET_MODE, &m), STATUS_SUCCESS);
    ASSERT_EQ(Command(3, CMD_STATUS), STATUS_SUCCESS);
    auto ack = ReadAnswer();
    auto status = ReadAnswer();
    ASSERT_TRUE(ack && status);
    EXPECT_EQ(ack->type, kResponseModeAck);
    EXPECT_EQ(ack->channel, 1u);
    EXPECT_EQ(status->type, kResponseStatus);
    const BoardCounters c = board->Counters();
    EXPECT_EQ(c.faultsFired[size_t(Fault::WithholdReady)], 1u);
    EXPECT_EQ(c.faultsFired[size_t(Fault::WithholdAck)], 1u);
    EXPECT_EQ(c.faultsFired[size_t(Fault::WithholdStatus)], 1u);
}

TEST_F(BoardTest, TransferFaultsFailStallOrHangRequests) {
    Plug(WithFaults({{.fault = Fault::StallVendor, .match = kVendorControllerVersion},
                     {.fault = Fault::FailStreamRead, .count = 3},
                     {.fault = Fault::HangCommandWrite, .skip = 1}}));
    uint8_t version[2];
    USBD_STATUS urb = 0;
    EXPECT_EQ(VendorRequest(Pdo(), kVendorControllerVersion, 0, 0, version, 2, true, &urb),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb, USBD_STATUS_STALL_PID);
    EXPECT_EQ(VendorRequest(Pdo(), kVendorControllerVersion, 0, 0, version, 2, true),
              STATUS_SUCCESS);

    ASSERT_EQ(Boot(), STATUS_SUCCESS); // the first write passes
    for (int i = 0; i < 3; ++i) {
        NTSTATUS s;
        EXPECT_TRUE(ReadBlock(&s).empty());
        EXPECT_EQ(s, STATUS_UNSUCCESSFUL) << "a burst of three read errors";
    }
    auto ready = ReadAnswer();
    ASSERT_TRUE(ready) << "the data is still there after the burst";
    EXPECT_EQ(ready->channel, 0u);

    uint8_t packet[kCommandPacketSize] = {};
    UrbRequest hung(Pdo());
    BuildBulk(hung.Urb(), CommandPipe(), packet, sizeof(packet), false);
    EXPECT_EQ(hung.Send(), STATUS_PENDING);
    EXPECT_FALSE(hung.Completed());
    EXPECT_TRUE(hung.Cancel());
    ASSERT_TRUE(hung.Wait());
    EXPECT_EQ(hung.Status(), STATUS_CANCELLED);
}

TEST_F(BoardTest, CorruptHeadersAndGarbageReachTheHost) {
    enum class Size { AsMode, AboveTransfer, Exact };
    struct Case {
        const char* what;
        FaultRule rule;
        uint32_t channelWord; // expected in the first frame's header
        Size size;
        uint32_t exact;
    } cases[] = {
        {"bad channel", {.fault = Fault::BadFrameChannel, .value = 7}, 7, Size::AsMode, 0},
        {"size above the mode", {.fault = Fault::OversizeFrame}, 1, Size::AboveTransfer, 0},
        {"size below a header",
         {.fault = Fault::UndersizeFrame, .value = 100},
         1,
         Size::Exact,
         100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Plug(WithFaults({c.rule}));
        BootAndCollectReady();
        const FrameGeometry g = GeometryOf(StartChannel(1, 2, 3, 4));
        auto f = ReadFrame(g);
        ASSERT_TRUE(f);
        EXPECT_EQ(f->Word(kHeaderChannel), c.channelWord);
        const uint32_t expected = c.size == Size::AsMode          ? g.frameSize
                                  : c.size == Size::AboveTransfer ? g.transferBytes + 16384
                                                                  : c.exact;
        EXPECT_EQ(f->Word(kHeaderFrameSize), expected);
        auto next = ReadFrame(g);
        ASSERT_TRUE(next);
        EXPECT_EQ(next->Word(kHeaderChannel), 1u) << "only one frame is damaged";
        EXPECT_EQ(next->Word(kHeaderFrameSize), g.frameSize);
        bus.reset();
        board.reset();
    }

    Plug(WithFaults({{.fault = Fault::GarbageBetweenFrames, .value = 2}}));
    BootAndCollectReady();
    StartChannel(0, 2, 3, 4);
    for (int i = 0; i < 2; ++i) {
        std::vector<uint8_t> junk = ReadBlock();
        ASSERT_EQ(junk.size(), kStreamBlockSize);
        for (size_t p = 0; p + 4 <= junk.size(); ++p) {
            const uint32_t w = LoadLe32(&junk[p]);
            ASSERT_NE(w, kFrameMarker);
            ASSERT_NE(w, kResponseMarker);
        }
    }
    EXPECT_EQ(LoadLe32(ReadBlock().data()), kFrameMarker);
    EXPECT_EQ(board->Counters().garbageBlocks, 2u);
}

TEST_F(BoardTest, UnplugAtAChosenFrame) {
    Plug(WithFaults({{.fault = Fault::UnplugAtFrame, .skip = 2}}));
    BootAndCollectReady();
    const FrameGeometry g = GeometryOf(StartChannel(2, 2, 3, 4));
    ASSERT_TRUE(ReadFrame(g));
    ASSERT_TRUE(ReadFrame(g));
    NTSTATUS s = STATUS_SUCCESS;
    EXPECT_TRUE(ReadBlock(&s).empty());
    EXPECT_EQ(s, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(bus->Connected());
    EXPECT_EQ(board->Counters().frames[2], 2u);
}

// A bus slower than the stream: the board's queue fills, newer frames are
// dropped, and every drop shows as a gap in the frame numbers that arrive.
TEST_F(BoardTest, SlowBusFillsTheQueueAndNewerFramesAreDropped) {
    // Four times faster on both sides, so the same ratios take a quarter of
    // the time: full-size PAL planar needs 20.5 MB/s, the bus carries 5.12.
    host::SetTimeScale(0.25);
    host::usb::SetDefaultBulkBytesPerMicroframe(640);
    Plug();
    host::usb::SetDefaultBulkBytesPerMicroframe(0);
    BootAndCollectReady();
    const FrameGeometry g = GeometryOf(StartChannel(0, 2, 1, kColorPlanarYuv));
    std::vector<uint32_t> numbers;
    // The first eight come from the queue the board filled at once.
    for (int i = 0; i < 16; ++i) {
        auto f = ReadFrame(g);
        ASSERT_TRUE(f);
        const uint32_t number = f->Word(kHeaderFrameNumber);
        numbers.push_back(number);
        auto left = board->FrameLeft(0, number);
        ASSERT_TRUE(left) << "frame " << number;
        EXPECT_LE(*left, std::chrono::steady_clock::now());
    }
    const BoardCounters c = board->Counters();
    ASSERT_EQ(Command(0, CMD_STOP), STATUS_SUCCESS);
    uint64_t gaps = 0;
    for (size_t i = 1; i < numbers.size(); ++i) {
        ASSERT_GT(numbers[i], numbers[i - 1]);
        gaps += numbers[i] - numbers[i - 1] - 1;
    }
    EXPECT_EQ(c.maxQueuedFrames, BoardConfig{}.maxQueuedFrames) << "the queue filled up";
    // About three of every four frames cannot go out; those dropped after the
    // last frame read are not gaps yet.
    EXPECT_GE(gaps, 8u);
    EXPECT_GE(c.framesDropped[0], gaps);
    EXPECT_EQ(board->FrameLeft(0, numbers.back() + 1), std::nullopt);
    // Every gap is exactly the frames the board dropped in it.
    for (size_t i = 1; i < numbers.size(); ++i)
        EXPECT_EQ(board->DroppedBetween(0, numbers[i - 1], numbers[i]),
                  numbers[i] - numbers[i - 1] - 1)
            << "between " << numbers[i - 1] << " and " << numbers[i];
    EXPECT_EQ(board->DroppedBetween(0, numbers.front(), numbers.back()), gaps);
    EXPECT_EQ(board->DroppedBetween(0, numbers.back(), numbers.back() + 1), 0u);
    EXPECT_EQ(board->DroppedBetween(1, 0, numbers.back()), 0u) << "a channel that never ran";
}

} // namespace
