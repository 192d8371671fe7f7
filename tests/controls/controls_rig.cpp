#include "controls_rig.h"

#include <host/kernel.h>

#include <gtest/gtest.h>

namespace m4350test {

namespace {

const wchar_t* const References[4] = {L"m4350av_chan1", L"m4350av_chan2", L"m4350av_chan3",
                                      L"m4350av_chan4"};

} // namespace

void Wire::Put32(size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes_.at(offset + i) = uint8_t(value >> (8 * i));
    }
}

uint32_t Wire::Get32(size_t offset) const {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value |= uint32_t(bytes_.at(offset + i)) << (8 * i);
    }
    return value;
}

uint64_t Wire::Get64(size_t offset) const {
    return uint64_t(Get32(offset)) | uint64_t(Get32(offset + 4)) << 32;
}

void Wire::PutGuid(size_t offset, const GUID& guid) {
    Put32(offset, guid.Data1);
    bytes_.at(offset + 4) = uint8_t(guid.Data2);
    bytes_.at(offset + 5) = uint8_t(guid.Data2 >> 8);
    bytes_.at(offset + 6) = uint8_t(guid.Data3);
    bytes_.at(offset + 7) = uint8_t(guid.Data3 >> 8);
    for (int i = 0; i < 8; ++i) {
        bytes_.at(offset + 8 + i) = guid.Data4[i];
    }
}

Wire PropertyBuffer(const GUID& set, ULONG id, ULONG flags, size_t size) {
    Wire wire(size);
    wire.PutGuid(0, set);
    wire.Put32(16, id);
    wire.Put32(20, flags);
    return wire;
}

Wire MethodBuffer(ULONG id, size_t size) {
    // The device method set as the plug-in spells it, byte by byte.
    static const uint8_t set[16] = {0x1F, 0x12, 0xC5, 0xC9, 0x7F, 0x0B, 0x94, 0x46,
                                    0x90, 0x90, 0x21, 0x77, 0xD0, 0x3A, 0x07, 0x20};
    Wire wire(size);
    std::copy(set, set + 16, wire.bytes().begin());
    wire.Put32(16, id);
    wire.Put32(20, KSMETHOD_TYPE_MODIFY);
    return wire;
}

std::vector<ControlRecord> RecordingBoard::Controls(uint8_t request) const {
    std::lock_guard lk(m_);
    std::vector<ControlRecord> out;
    for (const ControlRecord& r : controls_) {
        if (r.request == request) {
            out.push_back(r);
        }
    }
    return out;
}

void RecordingBoard::ClearControls() {
    std::lock_guard lk(m_);
    controls_.clear();
}

void RecordingBoard::Attach(host::usb::Port* port, host::usb::Speed speed) {
    board_->Attach(port, speed);
}

std::vector<uint8_t> RecordingBoard::Descriptor(uint8_t type, uint8_t index, uint16_t language,
                                                host::usb::Speed speed) {
    return board_->Descriptor(type, index, language, speed);
}

host::usb::TransferResult RecordingBoard::Control(const host::usb::SetupPacket& setup,
                                                  uint8_t* data) {
    ControlRecord record{
        setup.request, setup.value, setup.index, setup.length, (setup.requestType & 0x80) != 0, 0};
    if (!record.in && setup.length >= 2) {
        record.address = uint16_t(data[0] << 8 | data[1]);
    }
    {
        std::lock_guard lk(m_);
        controls_.push_back(record);
    }
    return board_->Control(setup, data);
}

host::usb::TransferResult RecordingBoard::BulkOut(uint8_t endpoint, const uint8_t* data,
                                                  uint32_t length) {
    return board_->BulkOut(endpoint, data, length);
}

host::usb::TransferResult RecordingBoard::BulkIn(uint8_t endpoint, uint8_t* data,
                                                 uint32_t capacity) {
    return board_->BulkIn(endpoint, data, capacity);
}

void ControlsTest::SetUp() {
    DriverTest::SetUp();
    host::SetTimeScale(timeScale_);
    DriverSystem::InstallFirmware();
    Bring();
}

void ControlsTest::TearDown() {
    TakeDown();
    DriverSystem::RemoveFirmware();
    host::SetTimeScale(1.0);
    DriverTest::TearDown();
}

void ControlsTest::Bring(m4350::sim::BoardConfig config) {
    TakeDown();
    system_.emplace();
    ASSERT_EQ(system_->loadStatus(), STATUS_SUCCESS);
    recorder_ = std::make_shared<RecordingBoard>(MakeSimulatedBoard(config));
    board_ = &system_->Plug(recorder_);
    ASSERT_EQ(system_->addStatus(), STATUS_SUCCESS);
    ASSERT_EQ(system_->Start(*board_), STATUS_SUCCESS);
    // The firmware runs: the board's word, which holds under either driver.
    ASSERT_EQ(sim().State(), m4350::sim::BoardState::Running);
    OpenFilters();
    recorder_->ClearControls();
}

void ControlsTest::TakeDown() {
    CloseFilters();
    system_.reset();
    board_ = nullptr;
    recorder_.reset();
}

void ControlsTest::OpenFilters() {
    for (ULONG n = 0; n < 4; ++n) {
        ASSERT_EQ(host::ks::OpenFilterByReference(KSCATEGORY_CAPTURE, References[n], &filters_[n]),
                  STATUS_SUCCESS)
            << "channel " << n;
    }
}

void ControlsTest::CloseFilters() {
    for (HANDLE& handle : filters_) {
        if (handle) {
            host::ks::CloseHandle(handle);
            handle = nullptr;
        }
    }
}

NTSTATUS ControlsTest::Send(ULONG channel, ULONG ioctl, Wire& wire, ULONG* returned,
                            std::optional<ULONG> length) {
    ULONG bytes = length.value_or(wire.size());
    ULONG ignored = 0;
    return host::ks::DeviceIoControl(filters_[channel], ioctl, wire.data(), bytes, wire.data(),
                                     bytes, returned ? returned : &ignored);
}

NTSTATUS ControlsTest::SetProcAmp(ULONG channel, ULONG id, LONG value) {
    Wire wire = PropertyBuffer(PROPSETID_VIDCAP_VIDEOPROCAMP, id, KSPROPERTY_TYPE_SET, 40);
    wire.Put32(24, uint32_t(value));
    wire.Put32(28, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
    return Send(channel, IOCTL_KS_PROPERTY, wire);
}

NTSTATUS ControlsTest::GetProcAmp(ULONG channel, ULONG id, LONG* value, ULONG* flags,
                                  ULONG* capabilities) {
    Wire wire = PropertyBuffer(PROPSETID_VIDCAP_VIDEOPROCAMP, id, KSPROPERTY_TYPE_GET, 40);
    NTSTATUS status = Send(channel, IOCTL_KS_PROPERTY, wire);
    *value = wire.GetSigned(24);
    if (flags) {
        *flags = wire.Get32(28);
    }
    if (capabilities) {
        *capabilities = wire.Get32(32);
    }
    return status;
}

std::optional<int32_t> ControlsTest::SetAttribute(ULONG channelPlusOne, ULONG attribute,
                                                  int32_t value) {
    Wire wire = MethodBuffer(kMethodSetAttribute, 40);
    wire.Put32(24, channelPlusOne);
    wire.Put32(28, attribute);
    wire.Put32(32, uint32_t(value));
    if (Send(0, IOCTL_KS_METHOD, wire) != STATUS_SUCCESS) {
        return std::nullopt;
    }
    return wire.GetSigned(36);
}

std::optional<int32_t> ControlsTest::GetAttribute(ULONG channelPlusOne, ULONG attribute,
                                                  int32_t* result) {
    Wire wire = MethodBuffer(kMethodGetAttribute, 40);
    wire.Put32(24, channelPlusOne);
    wire.Put32(28, attribute);
    wire.Put32(32, 205); // what the plug-in presets
    if (Send(0, IOCTL_KS_METHOD, wire) != STATUS_SUCCESS) {
        return std::nullopt;
    }
    if (result) {
        *result = wire.GetSigned(36);
    }
    return wire.GetSigned(32);
}

} // namespace m4350test
