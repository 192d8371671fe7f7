// The channel filters under the streaming class: published as a device start
// publishes them, opened and asked for formats the way applications do.
#include <gtest/gtest.h>

#include <host/ks_client.h>
#include <host/ks_pnp.h>
#include <kernel_test.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "capture/filter_descriptors.h"
#include "capture/format_catalogue.h"
#include "device/capture_device.h"

namespace {

const wchar_t* const ReferenceStrings[ChannelFilterCount] = {L"m4350av_chan1", L"m4350av_chan2",
                                                             L"m4350av_chan3", L"m4350av_chan4"};

// The device whose descriptor copies the minidriver below publishes.
CaptureDevice* PublishedDevice = nullptr;

// A minidriver that does only what device start does with the descriptors:
// one free-on-stop factory per channel, in channel order, from the device's
// own copies. Filter creation proper needs a board; these filters open with
// the class's default behaviour, which is all intersection needs.
NTSTATUS StartChannels(PKSDEVICE device, PIRP irp, struct _CM_RESOURCE_LIST* translated,
                       struct _CM_RESOURCE_LIST* untranslated) {
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG n = 0; n < ChannelFilterCount && NT_SUCCESS(status); ++n) {
        KSFILTER_DESCRIPTOR* filter = &PublishedDevice->descriptors.filter[n];
        filter->Dispatch = nullptr;
        status = KsCreateFilterFactory(device->FunctionalDeviceObject, filter,
                                       const_cast<PWSTR>(ReferenceStrings[n]), nullptr,
                                       KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
    }
    return status;
}

const KSDEVICE_DISPATCH ChannelsDispatch = {nullptr, StartChannels};
const KSDEVICE_DESCRIPTOR ChannelsDescriptor = {&ChannelsDispatch, 0, nullptr, 0};

NTSTATUS ChannelsDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    return KsInitializeDriver(driverObject, registryPath, &ChannelsDescriptor);
}

const KS_DATARANGE_VIDEO& Range(const DataRangeList& list, ULONG row) {
    return *reinterpret_cast<const KS_DATARANGE_VIDEO*>(list.Ranges[row]);
}

class ChannelFiltersUnderTheClass : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        captureDevice_ = std::make_unique<CaptureDevice>();
        InitializeChannelDescriptors(&captureDevice_->descriptors);
        PublishedDevice = captureDevice_.get();
        lowerDriver_.Type = IO_TYPE_DRIVER;
        ASSERT_EQ(IoCreateDevice(&lowerDriver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower_),
                  STATUS_SUCCESS);
        ASSERT_EQ(host::ks::LoadDriver(ChannelsDriverEntry,
                                       L"\\Registry\\Machine\\System\\CurrentControlSet"
                                       L"\\Services\\m4350channels",
                                       &driver_),
                  STATUS_SUCCESS);
        ASSERT_EQ(host::ks::AddDevice(driver_, lower_, &device_), STATUS_SUCCESS);
        ASSERT_EQ(host::ks::StartDevice(device_), STATUS_SUCCESS);
    }

    void TearDown() override {
        for (HANDLE handle : handles_) {
            host::ks::CloseHandle(handle);
        }
        if (device_) {
            host::ks::RemoveDevice(device_);
        }
        if (driver_) {
            host::ks::UnloadDriver(driver_);
        }
        if (lower_) {
            IoDeleteDevice(lower_);
        }
        PublishedDevice = nullptr;
        KernelTest::TearDown();
    }

    HANDLE OpenChannel(ULONG channel) {
        HANDLE filter = nullptr;
        EXPECT_EQ(
            host::ks::OpenFilterByReference(KSCATEGORY_CAPTURE, ReferenceStrings[channel], &filter),
            STATUS_SUCCESS);
        if (filter) {
            handles_.push_back(filter);
        }
        return filter;
    }

    struct Answer {
        NTSTATUS status;
        ULONG size;
        KS_DATAFORMAT_VIDEOINFOHEADER format;
    };

    Answer Intersect(HANDLE filter, const KS_DATARANGE_VIDEO& range,
                     ULONG length = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        Answer answer{};
        answer.status = host::ks::IntersectDataRange(filter, 0, &range.DataRange, &answer.format,
                                                     length, &answer.size);
        return answer;
    }

    void SelectRangeList(ULONG channel, ULONG isPal) {
        SelectChannelRangeList(captureDevice_.get(), channel, isPal);
    }

private:
    std::unique_ptr<CaptureDevice> captureDevice_;
    DRIVER_OBJECT lowerDriver_{};
    PDEVICE_OBJECT lower_ = nullptr;
    host::ks::Driver* driver_ = nullptr;
    host::ks::DeviceNode* device_ = nullptr;
    std::vector<HANDLE> handles_;
};

// Every catalogue entry is reachable: asked for a row, the pin answers with
// that row's format and with no other.
TEST_F(ChannelFiltersUnderTheClass, EachRowIntersectsToItsOwnFormat) {
    struct ListCase {
        const char* name;
        const DataRangeList& list;
        ULONG isPal;
    };
    for (const ListCase& c :
         {ListCase{"NTSC", NtscRangeList, 0}, ListCase{"PAL", PalRangeList, 1}}) {
        SCOPED_TRACE(c.name);
        SelectRangeList(0, c.isPal);
        HANDLE filter = OpenChannel(0);
        for (ULONG row = 0; row < RangeListCount; ++row) {
            SCOPED_TRACE("row " + std::to_string(row));
            const KS_DATARANGE_VIDEO& range = Range(c.list, row);
            const Answer answer = Intersect(filter, range);
            ASSERT_EQ(answer.status, STATUS_SUCCESS);
            EXPECT_EQ(answer.size, 152u);
            EXPECT_TRUE(IsEqualGUID(answer.format.DataFormat.SubFormat, range.DataRange.SubFormat));
            EXPECT_EQ(answer.format.DataFormat.SampleSize, range.DataRange.SampleSize);
            EXPECT_EQ(std::memcmp(&answer.format.VideoInfoHeader.bmiHeader,
                                  &range.VideoInfoHeader.bmiHeader, sizeof(KS_BITMAPINFOHEADER)),
                      0);
        }
    }
}

TEST_F(ChannelFiltersUnderTheClass, ChannelSwitchedToPalNoLongerOffersNtscFormats) {
    SelectRangeList(1, 1);
    const KS_DATARANGE_VIDEO& ntsc = Range(NtscRangeList, 0);
    const KS_DATARANGE_VIDEO& pal = Range(PalRangeList, 0);
    for (ULONG channel = 0; channel < ChannelFilterCount; ++channel) {
        SCOPED_TRACE(channel);
        HANDLE filter = OpenChannel(channel);
        const bool isPal = channel == 1;
        EXPECT_EQ(Intersect(filter, ntsc).status, isPal ? STATUS_NO_MATCH : STATUS_SUCCESS);
        EXPECT_EQ(Intersect(filter, pal).status, isPal ? STATUS_SUCCESS : STATUS_NO_MATCH);
    }
}

} // namespace
