// Devices, factories, filters and object bags of the streaming class.
#include "ks_test.h"

#include <algorithm>
#include <cstring>

using ktest::TheJournal;

namespace {

std::vector<std::string> Without(std::vector<std::string> events, const std::string& drop) {
    events.erase(std::remove(events.begin(), events.end(), drop), events.end());
    return events;
}

} // namespace

TEST_F(KsTest, LifecycleCallsDispatchInOrderAndFreesTheBag) {
    const size_t baseline = host::PoolLiveCount(); // the bus's device
    StartDevice();
    PKSDEVICE ks = host::ks::KsDeviceOf(device_);
    EXPECT_TRUE(ks->Started);
    EXPECT_EQ(ks->Context, TheJournal().deviceContext);
    EXPECT_EQ(ks->PhysicalDeviceObject, pdo_);
    EXPECT_EQ(ks->NextDeviceObject, pdo_);
    EXPECT_EQ(KsGetDeviceForDeviceObject(ks->FunctionalDeviceObject), ks);
    EXPECT_GT(host::PoolLiveCount(), baseline);

    ASSERT_EQ(host::ks::StopDevice(device_), STATUS_SUCCESS);
    EXPECT_FALSE(ks->Started);
    ASSERT_EQ(host::ks::RemoveDevice(device_), STATUS_SUCCESS);
    device_ = nullptr;

    EXPECT_EQ(TheJournal().Events(),
              (std::vector<std::string>{"DriverEntry", "Add", "Start started=0", "Stop started=1",
                                        "Remove", "free device context"}));
    // Device context, device object: all gone with the removal.
    EXPECT_EQ(host::PoolLiveCount(), baseline) << host::PoolLeakReport();
}

struct FailingStep {
    const char* name;
    NTSTATUS ktest::Journal::*knob;
};

class KsFailingPnpTest : public KsTest, public ::testing::WithParamInterface<FailingStep> {};

TEST_P(KsFailingPnpTest, FailureIsReturnedAndLeavesNothingStarted) {
    TheJournal().*(GetParam().knob) = STATUS_DEVICE_DATA_ERROR;
    LoadDriver();
    NTSTATUS status = host::ks::AddDevice(driver_, pdo_, &device_);
    if (GetParam().knob == &ktest::Journal::addStatus) {
        EXPECT_EQ(status, STATUS_DEVICE_DATA_ERROR);
        device_ = nullptr;
        EXPECT_EQ(host::ks::LiveObjectCounts().devices, 0);
        return;
    }
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(host::ks::StartDevice(device_), STATUS_DEVICE_DATA_ERROR);
    EXPECT_FALSE(host::ks::KsDeviceOf(device_)->Started);
    EXPECT_TRUE(host::ks::EnumerateFilters(KSCATEGORY_VIDEO).empty());
}

INSTANTIATE_TEST_SUITE_P(Steps, KsFailingPnpTest,
                         ::testing::Values(FailingStep{"Add", &ktest::Journal::addStatus},
                                           FailingStep{"Start", &ktest::Journal::startStatus}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(KsTest, FreeOnStopFactoryIsGoneAfterStopAndTheOtherStays) {
    StartDevice();
    auto links = host::ks::EnumerateFilters(KSCATEGORY_CAPTURE);
    ASSERT_EQ(links.size(), 2u);
    EXPECT_NE(links[0].find(L"\\freeonstop"), std::wstring::npos);
    EXPECT_NE(links[1].find(L"\\keeper"), std::wstring::npos);
    PKSFILTERFACTORY freeOnStop = TheJournal().freeOnStopFactory;
    PKSFILTERFACTORY keeper = TheJournal().keeperFactory;
    EXPECT_EQ(KsGetParent(freeOnStop), host::ks::KsDeviceOf(device_));

    ASSERT_EQ(host::ks::StopDevice(device_), STATUS_SUCCESS);
    EXPECT_EQ(KsGetParent(freeOnStop), nullptr) << "the free-on-stop factory outlived the stop";
    EXPECT_EQ(KsGetParent(keeper), host::ks::KsDeviceOf(device_));
    EXPECT_TRUE(host::ks::EnumerateFilters(KSCATEGORY_CAPTURE).empty());
    HANDLE filter = nullptr;
    EXPECT_EQ(host::ks::OpenFilter(links[0].c_str(), &filter), STATUS_OBJECT_NAME_NOT_FOUND);

    // A restart creates the free-on-stop factory again beside the kept one.
    ASSERT_EQ(host::ks::StartDevice(device_), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::EnumerateFilters(KSCATEGORY_CAPTURE).size(), 2u);
}

TEST_F(KsTest, FilterOpensByLinkAndByReferenceString) {
    StartDevice();
    auto links = host::ks::EnumerateFilters(KSCATEGORY_VIDEO);
    ASSERT_EQ(links.size(), 2u);
    HANDLE byLink = nullptr;
    ASSERT_EQ(host::ks::OpenFilter(links[1].c_str(), &byLink), STATUS_SUCCESS);
    handles_.push_back(byLink);
    HANDLE missing = nullptr;
    EXPECT_EQ(host::ks::OpenFilterByReference(KSCATEGORY_VIDEO, L"nosuch", &missing),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(host::ks::OpenFilterByReference(KSCATEGORY_RENDER, L"keeper", &missing),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(KsTest, PowerTransitionsReachSetPowerWithToAndFrom) {
    StartDevice();
    const struct {
        DEVICE_POWER_STATE to;
        const char* event; // nullptr: no call expected
    } steps[] = {
        {PowerDeviceD3, "SetPower 4 1"}, {PowerDeviceD3, nullptr},
        {PowerDeviceD0, "SetPower 1 4"}, {PowerDeviceD2, "SetPower 3 1"},
        {PowerDeviceD1, "SetPower 2 3"},
    };
    for (const auto& step : steps) {
        size_t before = TheJournal().Events().size();
        ASSERT_EQ(host::ks::SetDevicePowerState(device_, step.to), STATUS_SUCCESS);
        auto events = TheJournal().Events();
        if (step.event == nullptr) {
            EXPECT_EQ(events.size(), before);
        } else {
            ASSERT_EQ(events.size(), before + 1);
            EXPECT_EQ(events.back(), step.event);
        }
        EXPECT_EQ(host::ks::KsDeviceOf(device_)->DevicePowerState, step.to);
    }
}

TEST_F(KsTest, FilterContextStartsAsTheDeviceContext) {
    StartDevice();
    OpenFilter();
    EXPECT_NE(TheJournal().deviceContext, nullptr);
    EXPECT_EQ(TheJournal().freeOnStopFactory->Context, TheJournal().deviceContext);
    EXPECT_EQ(TheJournal().filterContextAtCreate, TheJournal().deviceContext);
}

// The chain is device -> factory -> filter: a factory given a context of its
// own hands that to its filters.
TEST_F(KsTest, FilterContextStartsAsItsFactorysContext) {
    StartDevice();
    int factoryContext = 0;
    TheJournal().freeOnStopFactory->Context = &factoryContext;
    OpenFilter();
    EXPECT_EQ(TheJournal().filterContextAtCreate, &factoryContext);
}

TEST_F(KsTest, FailingFilterCreateFailsTheOpenAndFreesItsBag) {
    StartDevice();
    TheJournal().filterCreateStatus = STATUS_INSUFFICIENT_RESOURCES;
    size_t poolBefore = host::PoolLiveCount();
    HANDLE filter = nullptr;
    EXPECT_EQ(host::ks::OpenFilterByReference(KSCATEGORY_VIDEO, L"keeper", &filter),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(filter, nullptr);
    EXPECT_EQ(host::ks::LiveObjectCounts().filters, 0);
    EXPECT_EQ(host::PoolLiveCount(), poolBefore);
}

TEST_F(KsTest, ClosingAFilterCallsCloseAndFreesItsContext) {
    StartDevice();
    size_t poolBefore = host::PoolLiveCount();
    HANDLE filter = OpenFilter();
    EXPECT_EQ(host::PoolLiveCount(), poolBefore + 1);
    Close(filter);
    EXPECT_EQ(Without(TheJournal().Events(), "DriverEntry").back(), "FilterClose");
    EXPECT_EQ(host::PoolLiveCount(), poolBefore);
}

TEST_F(KsTest, StopIsRefusedWhileAFilterIsOpen) {
    StartDevice();
    OpenFilter();
    EXPECT_EQ(host::ks::StopDevice(device_), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(host::ks::KsDeviceOf(device_)->Started);
}

TEST_F(KsTest, SurpriseRemovalHidesTheDeviceAndRemovalClosesWhatIsOpen) {
    StartDevice();
    HANDLE filter = OpenFilter();
    HANDLE pin = nullptr;
    ASSERT_EQ(CreatePin(filter, ktest::RangeUyvy(), &pin), STATUS_SUCCESS);
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);

    ASSERT_EQ(host::ks::SurpriseRemoveDevice(device_), STATUS_SUCCESS);
    EXPECT_TRUE(host::ks::EnumerateFilters(KSCATEGORY_VIDEO).empty());
    HANDLE another = nullptr;
    EXPECT_EQ(host::ks::OpenFilterByReference(KSCATEGORY_VIDEO, L"keeper", &another),
              STATUS_OBJECT_NAME_NOT_FOUND);

    ASSERT_EQ(host::ks::RemoveDevice(device_), STATUS_SUCCESS);
    device_ = nullptr;
    // The pin was walked down to Stop and closed before the device went.
    auto events = TheJournal().Events();
    auto at = [&](const char* e) { return std::find(events.begin(), events.end(), e); };
    EXPECT_LT(at("SurpriseRemoval"), at("SetDeviceState 0 1"));
    EXPECT_LT(at("SetDeviceState 0 1"), at("PinClose"));
    EXPECT_LT(at("PinClose"), at("FilterClose"));
    EXPECT_LT(at("FilterClose"), at("Stop started=1"));
    EXPECT_LT(at("Stop started=1"), at("Remove"));
    KSSTATE state;
    EXPECT_EQ(host::ks::GetPinState(pin, &state), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(host::ks::LiveObjectCounts().pins, 0);
}

// ---------------------------------------------------------------------------
// Object bags

namespace {
int g_freed = 0;
void CountingFree(PVOID p) {
    ++g_freed;
    ExFreePool(p);
}
} // namespace

TEST_F(KsTest, BagFreesItsItemsOnceWithTheirRoutines) {
    AddDevice();
    g_freed = 0;
    KSOBJECT_BAG bag = host::ks::KsDeviceOf(device_)->Bag;
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 8, 'aBsK');
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 8, 'bBsK');
    ASSERT_EQ(KsAddItemToObjectBag(bag, a, CountingFree), STATUS_SUCCESS);
    ASSERT_EQ(KsAddItemToObjectBag(bag, a, CountingFree), STATUS_SUCCESS); // no second entry
    ASSERT_EQ(KsAddItemToObjectBag(bag, b, nullptr), STATUS_SUCCESS);      // freed to pool
    KsRemoveItemFromObjectBag(bag, b, TRUE);
    EXPECT_EQ(host::PoolLiveCount(host::PoolTag("KsBb")), 0u);
    ASSERT_EQ(host::ks::RemoveDevice(device_), STATUS_SUCCESS);
    device_ = nullptr;
    EXPECT_EQ(g_freed, 1);
}

TEST_F(KsTest, KsEditCopiesIntoTheBagAndReplacesWhatItOwned) {
    AddDevice();
    KSOBJECT_BAG bag = host::ks::KsDeviceOf(device_)->Bag;
    const ULONG tag = 'tEsK';
    static const unsigned char original[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    PVOID item = const_cast<unsigned char*>(original);

    // Static memory is copied, never freed.
    ASSERT_EQ(_KsEdit(bag, &item, 8, 8, tag), STATUS_SUCCESS);
    ASSERT_NE(item, original);
    EXPECT_EQ(std::memcmp(item, original, 8), 0);
    EXPECT_EQ(host::PoolLiveCount(tag), 1u);

    // Editing an owned item at the same size keeps it where it is.
    PVOID same = item;
    ASSERT_EQ(_KsEdit(bag, &item, 8, 8, tag), STATUS_SUCCESS);
    EXPECT_EQ(item, same);

    // Growing copies the old bytes, zeroes the rest and frees the old copy.
    ASSERT_EQ(_KsEdit(bag, &item, 16, 8, tag), STATUS_SUCCESS);
    EXPECT_NE(item, same);
    auto* bytes = static_cast<unsigned char*>(item);
    EXPECT_EQ(std::memcmp(bytes, original, 8), 0);
    EXPECT_EQ(std::count(bytes + 8, bytes + 16, 0), 8);
    EXPECT_EQ(host::PoolLiveCount(tag), 1u);
    EXPECT_EQ(host::PoolLiveBytes(tag), 16u);

    host::FailAllocationsWithTag(tag);
    PVOID before = item;
    EXPECT_EQ(_KsEdit(bag, &item, 32, 16, tag), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(item, before);
    host::ClearPoolFaults();
}

TEST_F(KsTest, BagCallsOnForeignPointersAreRefused) {
    host::ScopedVerifierTestMode testMode;
    int notABag = 0;
    EXPECT_EQ(KsAddItemToObjectBag(&notABag, &notABag, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host::TakeViolations().size(), 1u);
}

// The lower device as a bus driver's PDO: it notes the device power states
// passed down to it.
NTSTATUS NoteLowerPower(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    TheJournal().Record("lower power " + std::to_string(stack->Parameters.Power.State.DeviceState));
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

struct SleepOrder {
    const char* name;
    host::ks::WakeOrder order;
    std::vector<std::string> wake;
};

class KsSleepTest : public KsTest, public ::testing::WithParamInterface<SleepOrder> {};

// A sleep pauses the running pin before SetPower and the bus hears last; the
// wake resumes the bus first, then SetPower and Run in the order asked. The
// pin a client left in Pause is not touched.
TEST_P(KsSleepTest, PausesRunningPinsAndWakesInTheOrderAsked) {
    bus_.MajorFunction[IRP_MJ_POWER] = NoteLowerPower;
    StartDevice();
    HANDLE running = nullptr;
    HANDLE paused = nullptr;
    ASSERT_EQ(CreatePin(OpenFilter(), ktest::RangeUyvy(), &running), STATUS_SUCCESS);
    HANDLE keeper = nullptr;
    ASSERT_EQ(host::ks::OpenFilterByReference(KSCATEGORY_VIDEO, L"keeper", &keeper),
              STATUS_SUCCESS);
    handles_.push_back(keeper);
    ASSERT_EQ(CreatePin(keeper, ktest::RangeUyvy(), &paused), STATUS_SUCCESS);
    ASSERT_EQ(host::ks::SetPinState(running, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(host::ks::SetPinState(paused, KSSTATE_PAUSE), STATUS_SUCCESS);

    size_t before = TheJournal().Events().size();
    ASSERT_EQ(host::ks::SleepDevice(device_), STATUS_SUCCESS);
    auto events = TheJournal().Events();
    EXPECT_EQ(std::vector<std::string>(events.begin() + long(before), events.end()),
              (std::vector<std::string>{"SetDeviceState 2 3", "SetPower 4 1", "lower power 4"}));

    before = events.size();
    ASSERT_EQ(host::ks::WakeDevice(device_, GetParam().order), STATUS_SUCCESS);
    events = TheJournal().Events();
    EXPECT_EQ(std::vector<std::string>(events.begin() + long(before), events.end()),
              GetParam().wake);
    EXPECT_EQ(host::ks::KsDeviceOf(device_)->DevicePowerState, PowerDeviceD0);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, KsSleepTest,
    ::testing::Values(SleepOrder{"PowerFirst",
                                 host::ks::WakeOrder::PowerFirst,
                                 {"lower power 1", "SetPower 1 4", "SetDeviceState 3 2"}},
                      SleepOrder{"RunFirst",
                                 host::ks::WakeOrder::RunFirst,
                                 {"lower power 1", "SetDeviceState 3 2", "SetPower 1 4"}}),
    [](const auto& info) { return std::string(info.param.name); });
