// Fixture for the streaming-class tests: a bus device to add over, the test
// minidriver loaded, and helpers that bring it to the state a test needs.
// TearDown removes whatever is left, then checks (beyond the kernel fixture's
// pool, IRP and thread checks) that no streaming object outlived the test.
#pragma once

#include "test_minidriver.h"

#include <host/ks_client.h>
#include <host/ks_pnp.h>
#include <kernel_test.h>

#include <vector>

class KsTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ktest::ResetJournal();
        ASSERT_EQ(IoCreateDevice(&bus_, 0, nullptr, 0x22, 0, FALSE, &pdo_), STATUS_SUCCESS);
        pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    void TearDown() override {
        for (auto it = handles_.rbegin(); it != handles_.rend(); ++it) {
            host::ks::CloseHandle(*it);
        }
        handles_.clear();
        if (device_ != nullptr) {
            host::ks::RemoveDevice(device_);
            device_ = nullptr;
        }
        if (driver_ != nullptr) {
            host::ks::UnloadDriver(driver_);
            driver_ = nullptr;
        }
        IoDeleteDevice(pdo_);
        auto live = host::ks::LiveObjectCounts();
        EXPECT_EQ(live.devices, 0);
        EXPECT_EQ(live.filters, 0);
        EXPECT_EQ(live.pins, 0);
        EXPECT_EQ(live.clocks, 0);
        KernelTest::TearDown();
    }

    void LoadDriver() {
        ASSERT_EQ(host::ks::LoadDriver(ktest::DriverEntry, kRegistryPath, &driver_),
                  STATUS_SUCCESS);
    }

    void AddDevice() {
        LoadDriver();
        ASSERT_EQ(host::ks::AddDevice(driver_, pdo_, &device_), STATUS_SUCCESS);
    }

    void StartDevice() {
        AddDevice();
        ASSERT_EQ(host::ks::StartDevice(device_), STATUS_SUCCESS);
    }

    // Started device with one filter open on the free-on-stop factory.
    HANDLE OpenFilter() {
        HANDLE filter = nullptr;
        EXPECT_EQ(host::ks::OpenFilterByReference(KSCATEGORY_VIDEO, L"freeonstop", &filter),
                  STATUS_SUCCESS);
        if (filter != nullptr) {
            handles_.push_back(filter);
        }
        return filter;
    }

    static KS_DATAFORMAT_VIDEOINFOHEADER FormatOf(const KS_DATARANGE_VIDEO& range) {
        KS_DATAFORMAT_VIDEOINFOHEADER format{};
        format.DataFormat = range.DataRange;
        format.DataFormat.FormatSize = sizeof(format);
        format.VideoInfoHeader = range.VideoInfoHeader;
        return format;
    }

    NTSTATUS CreatePin(HANDLE filter, const KS_DATARANGE_VIDEO& range, HANDLE* pin) {
        KS_DATAFORMAT_VIDEOINFOHEADER format = FormatOf(range);
        NTSTATUS status = host::ks::CreatePin(filter, 0, &format.DataFormat, pin);
        if (NT_SUCCESS(status)) {
            handles_.push_back(*pin);
        }
        return status;
    }

    void Close(HANDLE handle) {
        EXPECT_EQ(host::ks::CloseHandle(handle), STATUS_SUCCESS);
        std::erase(handles_, handle);
    }

    static constexpr const wchar_t* kRegistryPath =
        L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kstest";

    DRIVER_OBJECT bus_{};
    PDEVICE_OBJECT pdo_ = nullptr;
    host::ks::Driver* driver_ = nullptr;
    host::ks::DeviceNode* device_ = nullptr;
    std::vector<HANDLE> handles_;
};
