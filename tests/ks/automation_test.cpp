// Property and method requests and data intersection through a filter handle.
#include "ks_test.h"

#include <algorithm>
#include <string>

using ktest::TheJournal;

class KsAutomationTest : public KsTest {
protected:
    void SetUp() override {
        KsTest::SetUp();
        StartDevice();
        filter_ = OpenFilter();
    }

    NTSTATUS Property(ULONG id, ULONG flags, ULONG requestLength, void* data, ULONG dataLength,
                      ULONG* returned, const GUID& set = ktest::PROPSETID_KsTest) {
        struct {
            KSPROPERTY property;
            LONGLONG tail[4];
        } request{};
        request.property.Set = set;
        request.property.Id = id;
        request.property.Flags = flags;
        return host::ks::DeviceIoControl(filter_, IOCTL_KS_PROPERTY, &request, requestLength, data,
                                         dataLength, returned);
    }

    HANDLE filter_ = nullptr;
};

struct PropertyCase {
    const char* name;
    ULONG id;
    ULONG flags;
    ULONG requestLength;
    ULONG dataLength;
    NTSTATUS status;
    ULONG returned;
    bool setKnown = true;
};

class KsPropertyTest : public KsAutomationTest,
                       public ::testing::WithParamInterface<PropertyCase> {};

TEST_P(KsPropertyTest, RoutesBySetAndIdWithSizesCheckedFirst) {
    const PropertyCase& c = GetParam();
    LONGLONG data[8] = {};
    ULONG returned = 0xFFFF;
    auto unknownSet = GUID{0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    NTSTATUS status = Property(c.id, c.flags, c.requestLength, data, c.dataLength, &returned,
                               c.setKnown ? ktest::PROPSETID_KsTest : unknownSet);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(returned, c.returned);
    auto events = TheJournal().Events();
    bool handlerRan = std::find(events.begin(), events.end(), "GetOnly") != events.end();
    EXPECT_EQ(handlerRan, c.id == ktest::kPropGetOnly && c.status == STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, KsPropertyTest,
    ::testing::Values(
        PropertyCase{"Get", ktest::kPropGetOnly, KSPROPERTY_TYPE_GET, 24, 8, STATUS_SUCCESS, 8},
        PropertyCase{"GetLargerBuffer", ktest::kPropGetOnly, KSPROPERTY_TYPE_GET, 24, 64,
                     STATUS_SUCCESS, 8},
        PropertyCase{"ShortData", ktest::kPropGetOnly, KSPROPERTY_TYPE_GET, 24, 7,
                     STATUS_BUFFER_TOO_SMALL, 0},
        PropertyCase{"SizeQuery", ktest::kPropGetOnly, KSPROPERTY_TYPE_GET, 24, 0,
                     STATUS_BUFFER_OVERFLOW, 8},
        PropertyCase{"ShortRequest", ktest::kPropGetOnly, KSPROPERTY_TYPE_GET, 23, 8,
                     STATUS_BUFFER_TOO_SMALL, 0},
        PropertyCase{"SetOnGetOnly", ktest::kPropGetOnly, KSPROPERTY_TYPE_SET, 24, 8,
                     STATUS_NOT_FOUND, 0},
        PropertyCase{"UnknownId", 77, KSPROPERTY_TYPE_GET, 24, 8, STATUS_NOT_FOUND, 0},
        PropertyCase{"UnknownSet", 0, KSPROPERTY_TYPE_GET, 24, 8, STATUS_PROPSET_NOT_FOUND, 0,
                     false},
        PropertyCase{"SetSupport", 0, KSPROPERTY_TYPE_SETSUPPORT, 24, 0, STATUS_SUCCESS, 0},
        PropertyCase{"NoOperation", ktest::kPropGetOnly, 0, 24, 8, STATUS_INVALID_PARAMETER, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(KsAutomationTest, GetAndSetReachTheirHandlersAndErrorsComeBack) {
    LONG value = 0;
    ULONG returned = 0;
    ASSERT_EQ(host::ks::GetProperty(filter_, ktest::PROPSETID_KsTest, ktest::kPropValue, &value,
                                    sizeof(value), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(value, ktest::kValueDefault);
    EXPECT_EQ(returned, sizeof(LONG));
    for (LONG v : {ktest::kValueMin, ktest::kValueMax}) {
        EXPECT_EQ(host::ks::SetProperty(filter_, ktest::PROPSETID_KsTest, ktest::kPropValue, &v,
                                        sizeof(v)),
                  STATUS_SUCCESS);
        EXPECT_EQ(TheJournal().value, v);
    }
    LONG outside = ktest::kValueMax + 1;
    EXPECT_EQ(host::ks::SetProperty(filter_, ktest::PROPSETID_KsTest, ktest::kPropValue, &outside,
                                    sizeof(outside)),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TheJournal().value, ktest::kValueMax);
}

TEST_F(KsAutomationTest, BasicSupportIsAnsweredFromTheValuesTable) {
    ULONG returned = 0;
    EXPECT_EQ(Property(ktest::kPropValue, KSPROPERTY_TYPE_BASICSUPPORT, 24, nullptr, 0, &returned),
              STATUS_BUFFER_OVERFLOW);
    const ULONG total = sizeof(KSPROPERTY_DESCRIPTION) + 2 * sizeof(KSPROPERTY_MEMBERSHEADER) +
                        sizeof(KSPROPERTY_STEPPING_LONG) + sizeof(LONG);
    EXPECT_EQ(returned, total);

    ULONG access = 0;
    ASSERT_EQ(Property(ktest::kPropValue, KSPROPERTY_TYPE_BASICSUPPORT, 24, &access, 4, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(access,
              ULONG(KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));

    LONGLONG storage[16] = {};
    ASSERT_EQ(
        Property(ktest::kPropValue, KSPROPERTY_TYPE_BASICSUPPORT, 24, storage, total, &returned),
        STATUS_SUCCESS);
    EXPECT_EQ(returned, total);
    auto* description = reinterpret_cast<KSPROPERTY_DESCRIPTION*>(storage);
    EXPECT_EQ(description->DescriptionSize, total);
    EXPECT_EQ(description->PropTypeSet.Set, KSPROPTYPESETID_General);
    EXPECT_EQ(description->PropTypeSet.Id, ULONG(VT_I4));
    EXPECT_EQ(description->MembersListCount, 2u);
    auto* ranges = reinterpret_cast<KSPROPERTY_MEMBERSHEADER*>(description + 1);
    EXPECT_EQ(ranges->MembersFlags, ULONG(KSPROPERTY_MEMBER_RANGES));
    auto* stepping = reinterpret_cast<KSPROPERTY_STEPPING_LONG*>(ranges + 1);
    EXPECT_EQ(stepping->Bounds.SignedMinimum, ktest::kValueMin);
    EXPECT_EQ(stepping->Bounds.SignedMaximum, ktest::kValueMax);
    auto* defaults = reinterpret_cast<KSPROPERTY_MEMBERSHEADER*>(stepping + 1);
    EXPECT_EQ(defaults->Flags, ULONG(KSPROPERTY_MEMBER_FLAG_DEFAULT));
    EXPECT_EQ(*reinterpret_cast<LONG*>(defaults + 1), ktest::kValueDefault);
}

TEST_F(KsAutomationTest, SetEnumerationListsTheDriversAndTheClasssSets) {
    ULONG returned = 0;
    EXPECT_EQ(Property(0, KSPROPERTY_TYPE_SETSUPPORT, 24, nullptr, 0, &returned, GUID_NULL),
              STATUS_BUFFER_OVERFLOW);
    ASSERT_EQ(returned, 2 * sizeof(GUID));
    GUID sets[2];
    ASSERT_EQ(Property(0, KSPROPERTY_TYPE_SETSUPPORT, 24, sets, sizeof(sets), &returned, GUID_NULL),
              STATUS_SUCCESS);
    EXPECT_EQ(sets[0], ktest::PROPSETID_KsTest);
    EXPECT_EQ(sets[1], KSPROPSETID_Pin);

    KSMETHOD method{};
    method.Flags = KSMETHOD_TYPE_SETSUPPORT;
    GUID methodSet;
    ASSERT_EQ(host::ks::DeviceIoControl(filter_, IOCTL_KS_METHOD, &method, sizeof(method),
                                        &methodSet, sizeof(methodSet), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(methodSet, ktest::METHODSETID_KsTest);
}

TEST_F(KsAutomationTest, HandlerClaimingMoreThanTheBufferIsCaught) {
    host::ScopedVerifierTestMode testMode;
    LONGLONG data[4] = {};
    ULONG returned = 0;
    EXPECT_EQ(
        Property(ktest::kPropOverreport, KSPROPERTY_TYPE_GET, 24, data, sizeof(data), &returned),
        STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof(data));
    EXPECT_EQ(host::TakeViolations().size(), 1u);
}

TEST_F(KsAutomationTest, ModifyMethodWorksInPlaceOnOneCallerBuffer) {
    ULONG buffer[8] = {};
    auto* method = reinterpret_cast<PKSMETHOD>(buffer);
    method->Set = ktest::METHODSETID_KsTest;
    method->Id = ktest::kMethodIncrement;
    method->Flags = KSMETHOD_TYPE_MODIFY;
    buffer[6] = 41;
    ULONG returned = 0;
    ASSERT_EQ(host::ks::DeviceIoControl(filter_, IOCTL_KS_METHOD, buffer, sizeof(buffer), buffer,
                                        sizeof(buffer), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 32u);
    EXPECT_EQ(buffer[6], 42u);
    EXPECT_EQ(buffer[7], 0xAu);
    EXPECT_EQ(method->Set, ktest::METHODSETID_KsTest) << "the header was left alone";

    EXPECT_EQ(host::ks::DeviceIoControl(filter_, IOCTL_KS_METHOD, buffer, sizeof(buffer), buffer,
                                        31, &returned),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer[6], 42u);
}

// The item's type says what its handler does with the data buffer: READ
// reads the caller's data, and what it writes stays with the class; WRITE
// writes data that goes back, and only such a method answers a size query.
TEST_F(KsAutomationTest, MethodDataGoesBackOnlyForMethodsThatWriteIt) {
    struct {
        const char* name;
        ULONG id;
        ULONG wordAfter;
        ULONG journal;
        NTSTATUS sizeQuery;
        ULONG sizeReturned;
    } const cases[] = {
        {"read", ktest::kMethodReadOnly, 7, 7, STATUS_BUFFER_TOO_SMALL, 0},
        {"write", ktest::kMethodWriteOnly, 0xBEEF, 0, STATUS_BUFFER_OVERFLOW, 32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TheJournal().readOnlyValue = 0;
        ULONG buffer[8] = {};
        auto* method = reinterpret_cast<PKSMETHOD>(buffer);
        method->Set = ktest::METHODSETID_KsTest;
        method->Id = c.id;
        method->Flags = KSMETHOD_TYPE_SEND;
        buffer[6] = 7;
        ULONG returned = 0;
        ASSERT_EQ(host::ks::DeviceIoControl(filter_, IOCTL_KS_METHOD, buffer, sizeof(buffer),
                                            buffer, sizeof(buffer), &returned),
                  STATUS_SUCCESS);
        EXPECT_EQ(TheJournal().readOnlyValue, c.journal);
        EXPECT_EQ(buffer[6], c.wordAfter);

        returned = 0;
        EXPECT_EQ(host::ks::DeviceIoControl(filter_, IOCTL_KS_METHOD, buffer, sizeof(buffer),
                                            nullptr, 0, &returned),
                  c.sizeQuery);
        EXPECT_EQ(returned, c.sizeReturned);
    }
}

TEST_F(KsAutomationTest, RequestsOnBadHandlesOrCodesAreRefused) {
    ULONG returned = 0;
    KSPROPERTY property{};
    EXPECT_EQ(host::ks::DeviceIoControl(reinterpret_cast<HANDLE>(0x1234), IOCTL_KS_PROPERTY,
                                        &property, sizeof(property), nullptr, 0, &returned),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(host::ks::DeviceIoControl(filter_, IOCTL_KS_READ_STREAM, &property, sizeof(property),
                                        nullptr, 0, &returned),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(host::ks::DeviceIoControl(filter_, IOCTL_KS_PROPERTY, nullptr, sizeof(property),
                                        nullptr, 0, &returned),
              STATUS_INVALID_PARAMETER);
}

TEST_F(KsAutomationTest, PinSetDescribesThePinFactories) {
    ULONG count = 0;
    ASSERT_EQ(host::ks::GetPinFactoryCount(filter_, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_CINSTANCES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    KSPIN_CINSTANCES instances{};
    ULONG returned = 0;
    ASSERT_EQ(host::ks::DeviceIoControl(filter_, IOCTL_KS_PROPERTY, &request, sizeof(request),
                                        &instances, sizeof(instances), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(instances.PossibleCount, 1u);
    EXPECT_EQ(instances.CurrentCount, 0u);
    request.PinId = 1;
    EXPECT_EQ(host::ks::DeviceIoControl(filter_, IOCTL_KS_PROPERTY, &request, sizeof(request),
                                        &instances, sizeof(instances), &returned),
              STATUS_INVALID_PARAMETER);

    // What a client reads to describe the pin.
    request.PinId = 0;
    struct UlongCase {
        ULONG id;
        ULONG expected;
    };
    for (const UlongCase& c : {UlongCase{KSPROPERTY_PIN_NECESSARYINSTANCES, 0},
                               UlongCase{KSPROPERTY_PIN_DATAFLOW, KSPIN_DATAFLOW_OUT},
                               UlongCase{KSPROPERTY_PIN_COMMUNICATION, KSPIN_COMMUNICATION_BOTH}}) {
        request.Property.Id = c.id;
        ULONG value = 0xFFFF;
        ASSERT_EQ(host::ks::DeviceIoControl(filter_, IOCTL_KS_PROPERTY, &request, sizeof(request),
                                            &value, sizeof(value), &returned),
                  STATUS_SUCCESS)
            << c.id;
        EXPECT_EQ(value, c.expected) << c.id;
    }
    request.Property.Id = KSPROPERTY_PIN_CATEGORY;
    GUID category{};
    ASSERT_EQ(host::ks::DeviceIoControl(filter_, IOCTL_KS_PROPERTY, &request, sizeof(request),
                                        &category, sizeof(category), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(category, PINNAME_VIDEO_CAPTURE);
    request.Property.Id = KSPROPERTY_PIN_NAME;
    ASSERT_EQ(host::ks::DeviceIoControl(filter_, IOCTL_KS_PROPERTY, &request, sizeof(request),
                                        nullptr, 0, &returned),
              STATUS_BUFFER_OVERFLOW);
    ASSERT_EQ(returned, 8 * sizeof(WCHAR));
    WCHAR name[8] = {};
    ASSERT_EQ(host::ks::DeviceIoControl(filter_, IOCTL_KS_PROPERTY, &request, sizeof(request), name,
                                        sizeof(name), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(std::wstring(name), std::wstring(L"Capture"));

    request.Property.Id = KSPROPERTY_PIN_DATARANGES;
    ASSERT_EQ(host::ks::DeviceIoControl(filter_, IOCTL_KS_PROPERTY, &request, sizeof(request),
                                        nullptr, 0, &returned),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, sizeof(KSMULTIPLE_ITEM) + 3 * sizeof(KS_DATARANGE_VIDEO));
}

struct IntersectCase {
    const char* name;
    ULONG bufferLength;
    bool yuy2;
    bool foreignSubtype;
    NTSTATUS status;
    ULONG size;
};

class KsIntersectTest : public KsAutomationTest,
                        public ::testing::WithParamInterface<IntersectCase> {};

TEST_P(KsIntersectTest, FollowsTheSizeProtocol) {
    const IntersectCase& c = GetParam();
    KS_DATARANGE_VIDEO range = c.yuy2 ? ktest::RangeYuy2() : ktest::RangeUyvy();
    if (c.foreignSubtype) {
        range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_MJPG;
    }
    LONGLONG buffer[32] = {};
    ULONG size = 0;
    EXPECT_EQ(
        host::ks::IntersectDataRange(filter_, 0, &range.DataRange, buffer, c.bufferLength, &size),
        c.status);
    EXPECT_EQ(size, c.size);
    if (c.status == STATUS_SUCCESS) {
        auto* format = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(buffer);
        EXPECT_EQ(format->DataFormat.FormatSize, ktest::kFormatSize);
        EXPECT_EQ(format->DataFormat.SubFormat, range.DataRange.SubFormat);
        EXPECT_EQ(format->VideoInfoHeader.bmiHeader.biCompression,
                  range.VideoInfoHeader.bmiHeader.biCompression);
    }
    auto events = TheJournal().Events();
    EXPECT_EQ(
        std::count(events.begin(), events.end(), "Intersect: the IRP does not lead to the filter"),
        0);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, KsIntersectTest,
    ::testing::Values(
        IntersectCase{"SizeQuery", 0, false, false, STATUS_BUFFER_OVERFLOW, ktest::kFormatSize},
        IntersectCase{"TooSmall", ktest::kFormatSize - 1, false, false, STATUS_BUFFER_TOO_SMALL, 0},
        IntersectCase{"Exact", ktest::kFormatSize, false, false, STATUS_SUCCESS,
                      ktest::kFormatSize},
        IntersectCase{"SecondRange", 256, true, false, STATUS_SUCCESS, ktest::kFormatSize},
        IntersectCase{"NoMatch", 256, false, true, STATUS_NO_MATCH, 0}),
    [](const auto& info) { return std::string(info.param.name); });
