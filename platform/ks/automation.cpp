// Property and method requests: routed by set and id through the
// minidriver's automation table of the filter or pin (and the sets the class
// answers itself), with the minimum sizes checked before a handler runs.
#include "ks_object.h"

#include <ksmedia.h>

#include <host/kernel.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace ks {

namespace {

ULONG InputLength(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength;
}

ULONG OutputLength(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

Filter* RequestFilter(PIRP irp) {
    return FilterFromPublic(KsGetFilterFromIrp(irp));
}

// Answers a variable-size result with the size protocol: no buffer asks for
// the size, a short buffer is refused.
NTSTATUS SizedAnswer(PIRP irp, PVOID data, const void* source, ULONG size) {
    ULONG length = OutputLength(irp);
    if (length == 0) {
        irp->IoStatus.Information = size;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (length < size) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(data, source, size);
    irp->IoStatus.Information = size;
    return STATUS_SUCCESS;
}

const KSPIN_DESCRIPTOR_EX* RequestedPinFactory(PIRP irp, PKSIDENTIFIER request) {
    Filter* filter = RequestFilter(irp);
    if (filter == nullptr) {
        return nullptr;
    }
    return PinFactoryDescriptor(filter, reinterpret_cast<PKSP_PIN>(request)->PinId);
}

// ---------------------------------------------------------------------------
// The pin property set, answered by the class on every filter

NTSTATUS PinCTypes(PIRP irp, PKSIDENTIFIER, PVOID data) {
    Filter* filter = RequestFilter(irp);
    if (filter == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    *static_cast<ULONG*>(data) = filter->Public()->Descriptor->PinDescriptorsCount;
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS PinCInstances(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const KSPIN_DESCRIPTOR_EX* d = RequestedPinFactory(irp, request);
    if (d == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* out = static_cast<PKSPIN_CINSTANCES>(data);
    out->PossibleCount = d->InstancesPossible;
    out->CurrentCount =
        PinInstanceCount(RequestFilter(irp), reinterpret_cast<PKSP_PIN>(request)->PinId);
    irp->IoStatus.Information = sizeof(KSPIN_CINSTANCES);
    return STATUS_SUCCESS;
}

NTSTATUS PinDataFlow(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const KSPIN_DESCRIPTOR_EX* d = RequestedPinFactory(irp, request);
    if (d == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *static_cast<KSPIN_DATAFLOW*>(data) = d->PinDescriptor.DataFlow;
    irp->IoStatus.Information = sizeof(KSPIN_DATAFLOW);
    return STATUS_SUCCESS;
}

NTSTATUS PinCommunication(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const KSPIN_DESCRIPTOR_EX* d = RequestedPinFactory(irp, request);
    if (d == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *static_cast<KSPIN_COMMUNICATION*>(data) = d->PinDescriptor.Communication;
    irp->IoStatus.Information = sizeof(KSPIN_COMMUNICATION);
    return STATUS_SUCCESS;
}

NTSTATUS PinCategory(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const KSPIN_DESCRIPTOR_EX* d = RequestedPinFactory(irp, request);
    if (d == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (d->PinDescriptor.Category == nullptr) {
        return STATUS_NOT_FOUND;
    }
    *static_cast<GUID*>(data) = *d->PinDescriptor.Category;
    irp->IoStatus.Information = sizeof(GUID);
    return STATUS_SUCCESS;
}

NTSTATUS PinNecessaryInstances(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const KSPIN_DESCRIPTOR_EX* d = RequestedPinFactory(irp, request);
    if (d == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *static_cast<ULONG*>(data) = d->InstancesNecessary;
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

// The names Windows installs under its media categories for the pin names a
// capture driver uses; a pin without a Name is named by its category.
struct KnownPinName {
    const GUID* name;
    const WCHAR* text;
};
const KnownPinName g_knownPinNames[] = {
    {&PINNAME_VIDEO_CAPTURE, L"Capture"},
};

NTSTATUS PinName(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const KSPIN_DESCRIPTOR_EX* d = RequestedPinFactory(irp, request);
    if (d == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const GUID* name =
        d->PinDescriptor.Name != nullptr ? d->PinDescriptor.Name : d->PinDescriptor.Category;
    if (name == nullptr) {
        return STATUS_NOT_FOUND;
    }
    for (const KnownPinName& known : g_knownPinNames) {
        if (*known.name == *name) {
            std::size_t length = 0;
            while (known.text[length] != 0) {
                ++length;
            }
            return SizedAnswer(irp, data, known.text,
                               static_cast<ULONG>((length + 1) * sizeof(WCHAR)));
        }
    }
    return STATUS_NOT_FOUND;
}

ULONG Align8(ULONG n) {
    return (n + 7u) & ~7u;
}

NTSTATUS PinDataRanges(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    const KSPIN_DESCRIPTOR_EX* d = RequestedPinFactory(irp, request);
    if (d == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const KSPIN_DESCRIPTOR& pd = d->PinDescriptor;
    ULONG size = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < pd.DataRangesCount; ++i) {
        if (pd.DataRanges[i] == nullptr) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        size += Align8(pd.DataRanges[i]->FormatSize);
    }
    std::vector<LONGLONG> storage(size / sizeof(LONGLONG) + 1);
    auto* bytes = reinterpret_cast<unsigned char*>(storage.data());
    auto* header = reinterpret_cast<PKSMULTIPLE_ITEM>(bytes);
    header->Size = size;
    header->Count = pd.DataRangesCount;
    ULONG offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < pd.DataRangesCount; ++i) {
        std::memcpy(bytes + offset, pd.DataRanges[i], pd.DataRanges[i]->FormatSize);
        offset += Align8(pd.DataRanges[i]->FormatSize);
    }
    return SizedAnswer(irp, data, bytes, size);
}

bool RangesOverlap(const KSDATARANGE* a, const KSDATARANGE* b) {
    auto same = [](const GUID& x, const GUID& y) {
        return x == GUID_NULL || y == GUID_NULL || x == y;
    };
    return same(a->MajorFormat, b->MajorFormat) && same(a->SubFormat, b->SubFormat) &&
           same(a->Specifier, b->Specifier);
}

NTSTATUS PinDataIntersection(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    Filter* filter = RequestFilter(irp);
    const KSPIN_DESCRIPTOR_EX* d = RequestedPinFactory(irp, request);
    if (filter == nullptr || d == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG inLength = InputLength(irp);
    if (inLength < sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* pinRequest = reinterpret_cast<PKSP_PIN>(request);
    auto* list = reinterpret_cast<PKSMULTIPLE_ITEM>(pinRequest + 1);
    if (list->Size < sizeof(KSMULTIPLE_ITEM) || list->Size > inLength - sizeof(KSP_PIN)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG outLength = OutputLength(irp);
    const auto* cursor = reinterpret_cast<const unsigned char*>(list + 1);
    ULONG remaining = list->Size - sizeof(KSMULTIPLE_ITEM);
    const KSPIN_DESCRIPTOR& pd = d->PinDescriptor;
    for (ULONG i = 0; i < list->Count; ++i) {
        if (remaining < sizeof(KSDATARANGE)) {
            return STATUS_INVALID_PARAMETER;
        }
        auto* callerRange = reinterpret_cast<PKSDATARANGE>(const_cast<unsigned char*>(cursor));
        if (callerRange->FormatSize < sizeof(KSDATARANGE) || callerRange->FormatSize > remaining) {
            return STATUS_INVALID_PARAMETER;
        }
        for (ULONG j = 0; j < pd.DataRangesCount; ++j) {
            PKSDATARANGE pinRange = pd.DataRanges[j];
            if (pinRange == nullptr || !RangesOverlap(callerRange, pinRange)) {
                continue;
            }
            ULONG dataSize = 0;
            NTSTATUS status;
            if (d->IntersectHandler != nullptr) {
                status = d->IntersectHandler(filter->Public(), irp, pinRequest, callerRange,
                                             pinRange, outLength, data, &dataSize);
            } else {
                // Without a handler the pin's own range is the format.
                dataSize = pinRange->FormatSize;
                status = outLength == 0         ? STATUS_BUFFER_OVERFLOW
                         : outLength < dataSize ? STATUS_BUFFER_TOO_SMALL
                                                : STATUS_SUCCESS;
                if (status == STATUS_SUCCESS) {
                    std::memcpy(data, pinRange, dataSize);
                }
            }
            if (status == STATUS_NO_MATCH) {
                continue;
            }
            if (status == STATUS_SUCCESS || status == STATUS_BUFFER_OVERFLOW) {
                irp->IoStatus.Information = dataSize;
            }
            return status;
        }
        ULONG step = Align8(callerRange->FormatSize);
        if (step >= remaining) {
            break;
        }
        cursor += step;
        remaining -= step;
    }
    return STATUS_NO_MATCH;
}

const KSPROPERTY_ITEM g_pinItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_CINSTANCES, PinCInstances, sizeof(KSP_PIN),
                           sizeof(KSPIN_CINSTANCES), nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_CTYPES, PinCTypes, sizeof(KSPROPERTY), sizeof(ULONG),
                           nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_DATAFLOW, PinDataFlow, sizeof(KSP_PIN),
                           sizeof(KSPIN_DATAFLOW), nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_DATARANGES, PinDataRanges, sizeof(KSP_PIN), 0, nullptr,
                           nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_DATAINTERSECTION, PinDataIntersection,
                           sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM), 0, nullptr, nullptr, 0,
                           nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_COMMUNICATION, PinCommunication, sizeof(KSP_PIN),
                           sizeof(KSPIN_COMMUNICATION), nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_CATEGORY, PinCategory, sizeof(KSP_PIN), sizeof(GUID),
                           nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_NECESSARYINSTANCES, PinNecessaryInstances,
                           sizeof(KSP_PIN), sizeof(ULONG), nullptr, nullptr, 0, nullptr, nullptr,
                           0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_NAME, PinName, sizeof(KSP_PIN), 0, nullptr, nullptr, 0,
                           nullptr, nullptr, 0),
};
const KSPROPERTY_SET g_filterClassSets[] = {
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_Pin, SIZEOF_ARRAY(g_pinItems), g_pinItems, 0, nullptr),
};
const KSAUTOMATION_TABLE g_filterClassTable = {
    SIZEOF_ARRAY(g_filterClassSets), sizeof(KSPROPERTY_ITEM), g_filterClassSets,
    DEFINE_KSAUTOMATION_METHODS_NULL, DEFINE_KSAUTOMATION_EVENTS_NULL};

// ---------------------------------------------------------------------------
// The connection property set, answered by the class on every pin

Pin* RequestPin(PIRP irp) {
    return PinFromPublic(KsGetPinFromIrp(irp));
}

NTSTATUS ConnectionStateGet(PIRP irp, PKSIDENTIFIER, PVOID data) {
    Pin* pin = RequestPin(irp);
    if (pin == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    *static_cast<KSSTATE*>(data) = pin->Public()->DeviceState;
    irp->IoStatus.Information = sizeof(KSSTATE);
    return STATUS_SUCCESS;
}

NTSTATUS ConnectionStateSet(PIRP irp, PKSIDENTIFIER, PVOID data) {
    Pin* pin = RequestPin(irp);
    if (pin == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // The caller's bytes are not yet a KSSTATE: read them as a number first.
    const ULONG state = *static_cast<const ULONG*>(data);
    if (state > ULONG(KSSTATE_RUN)) {
        return STATUS_INVALID_PARAMETER;
    }
    return SetPinState(pin, static_cast<KSSTATE>(state));
}

NTSTATUS ConnectionFormatGet(PIRP irp, PKSIDENTIFIER, PVOID data) {
    Pin* pin = RequestPin(irp);
    if (pin == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PKSDATAFORMAT format = pin->Public()->ConnectionFormat;
    return SizedAnswer(irp, data, format, format->FormatSize);
}

NTSTATUS ConnectionFormatSet(PIRP irp, PKSIDENTIFIER, PVOID data) {
    Pin* pin = RequestPin(irp);
    if (pin == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return ChangePinFormat(pin, static_cast<const KSDATAFORMAT*>(data), OutputLength(irp));
}

// The framing the pin asks for, from its current descriptor: a minidriver
// that edits its pin's framing at creation is answered with the edit.
NTSTATUS ConnectionFramingGet(PIRP irp, PKSIDENTIFIER, PVOID data) {
    Pin* pin = RequestPin(irp);
    if (pin == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const KSPIN_DESCRIPTOR_EX* d = pin->Descriptor();
    const KSALLOCATOR_FRAMING_EX* framing = d != nullptr ? d->AllocatorFraming : nullptr;
    if (framing == nullptr || framing->CountItems == 0) {
        return STATUS_NOT_FOUND;
    }
    ULONG size = static_cast<ULONG>(FIELD_OFFSET(KSALLOCATOR_FRAMING_EX, FramingItem) +
                                    framing->CountItems * sizeof(KS_FRAMING_ITEM));
    return SizedAnswer(irp, data, framing, size);
}

const KSPROPERTY_ITEM g_connectionItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_STATE, ConnectionStateGet, sizeof(KSPROPERTY),
                           sizeof(KSSTATE), ConnectionStateSet, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_DATAFORMAT, ConnectionFormatGet,
                           sizeof(KSPROPERTY), 0, ConnectionFormatSet, nullptr, 0, nullptr, nullptr,
                           0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX, ConnectionFramingGet,
                           sizeof(KSPROPERTY), 0, nullptr, nullptr, 0, nullptr, nullptr, 0),
};
const KSPROPERTY_SET g_pinClassSets[] = {
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_Connection, SIZEOF_ARRAY(g_connectionItems),
                          g_connectionItems, 0, nullptr),
};
const KSAUTOMATION_TABLE g_pinClassTable = {SIZEOF_ARRAY(g_pinClassSets), sizeof(KSPROPERTY_ITEM),
                                            g_pinClassSets, DEFINE_KSAUTOMATION_METHODS_NULL,
                                            DEFINE_KSAUTOMATION_EVENTS_NULL};

// ---------------------------------------------------------------------------
// Lookup

struct Tables {
    const KSAUTOMATION_TABLE* list[2];
};

template <class Set, class Item>
struct Found {
    const Set* set = nullptr;
    const Item* item = nullptr;
    bool setKnown = false;
};

Found<KSPROPERTY_SET, KSPROPERTY_ITEM> FindProperty(const Tables& tables, const GUID& setId,
                                                    ULONG id) {
    Found<KSPROPERTY_SET, KSPROPERTY_ITEM> found;
    for (const KSAUTOMATION_TABLE* table : tables.list) {
        if (table == nullptr || table->PropertySets == nullptr) {
            continue;
        }
        ULONG stride = std::max<ULONG>(table->PropertyItemSize, sizeof(KSPROPERTY_ITEM));
        for (ULONG s = 0; s < table->PropertySetsCount; ++s) {
            const KSPROPERTY_SET& set = table->PropertySets[s];
            if (set.Set == nullptr || *set.Set != setId) {
                continue;
            }
            found.setKnown = true;
            if (found.set == nullptr) {
                found.set = &set;
            }
            for (ULONG i = 0; i < set.PropertiesCount; ++i) {
                auto* item = reinterpret_cast<const KSPROPERTY_ITEM*>(
                    reinterpret_cast<const char*>(set.PropertyItem) +
                    static_cast<size_t>(stride) * i);
                if (item->PropertyId == id) {
                    found.set = &set;
                    found.item = item;
                    return found;
                }
            }
        }
    }
    return found;
}

Found<KSMETHOD_SET, KSMETHOD_ITEM> FindMethod(const Tables& tables, const GUID& setId, ULONG id) {
    Found<KSMETHOD_SET, KSMETHOD_ITEM> found;
    for (const KSAUTOMATION_TABLE* table : tables.list) {
        if (table == nullptr || table->MethodSets == nullptr) {
            continue;
        }
        ULONG stride = std::max<ULONG>(table->MethodItemSize, sizeof(KSMETHOD_ITEM));
        for (ULONG s = 0; s < table->MethodSetsCount; ++s) {
            const KSMETHOD_SET& set = table->MethodSets[s];
            if (set.Set == nullptr || *set.Set != setId) {
                continue;
            }
            found.setKnown = true;
            if (found.set == nullptr) {
                found.set = &set;
            }
            for (ULONG i = 0; i < set.MethodsCount; ++i) {
                auto* item = reinterpret_cast<const KSMETHOD_ITEM*>(
                    reinterpret_cast<const char*>(set.MethodItem) +
                    static_cast<size_t>(stride) * i);
                if (item->MethodId == id) {
                    found.set = &set;
                    found.item = item;
                    return found;
                }
            }
        }
    }
    return found;
}

// GUID_NULL with the set-support flag lists every set the object supports.
NTSTATUS EnumerateSets(const Tables& tables, bool methods, ULONG outLength, void* data,
                       ULONG_PTR* information) {
    std::vector<GUID> sets;
    for (const KSAUTOMATION_TABLE* table : tables.list) {
        if (table == nullptr) {
            continue;
        }
        ULONG count = methods ? table->MethodSetsCount : table->PropertySetsCount;
        for (ULONG s = 0; s < count; ++s) {
            const GUID* id = methods ? (table->MethodSets ? table->MethodSets[s].Set : nullptr)
                                     : (table->PropertySets ? table->PropertySets[s].Set : nullptr);
            if (id != nullptr && std::find(sets.begin(), sets.end(), *id) == sets.end()) {
                sets.push_back(*id);
            }
        }
    }
    ULONG need = static_cast<ULONG>(sets.size() * sizeof(GUID));
    if (outLength == 0) {
        *information = need;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (outLength < need) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(data, sets.data(), need);
    *information = need;
    return STATUS_SUCCESS;
}

NTSTATUS AnswerBasicSupport(const KSPROPERTY_ITEM* item, ULONG outLength, void* data,
                            ULONG_PTR* information) {
    ULONG access = KSPROPERTY_TYPE_BASICSUPPORT |
                   (item->GetPropertyHandler != nullptr ? KSPROPERTY_TYPE_GET : 0) |
                   (item->SetPropertyHandler != nullptr ? KSPROPERTY_TYPE_SET : 0);
    const KSPROPERTY_VALUES* values = item->Values;
    ULONG total = sizeof(KSPROPERTY_DESCRIPTION);
    for (ULONG i = 0; values != nullptr && i < values->MembersListCount; ++i) {
        const KSPROPERTY_MEMBERSHEADER& h = values->MembersList[i].MembersHeader;
        total += sizeof(KSPROPERTY_MEMBERSHEADER) + h.MembersSize * h.MembersCount;
    }
    if (outLength == 0) {
        *information = total;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (outLength == sizeof(ULONG)) {
        *static_cast<ULONG*>(data) = access;
        *information = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    if (outLength < sizeof(KSPROPERTY_DESCRIPTION)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* description = static_cast<PKSPROPERTY_DESCRIPTION>(data);
    description->AccessFlags = access;
    description->DescriptionSize = total;
    if (values != nullptr) {
        description->PropTypeSet = values->PropTypeSet;
        description->MembersListCount = values->MembersListCount;
    } else {
        description->PropTypeSet = {};
        description->PropTypeSet.Set = KSPROPTYPESETID_General;
        description->PropTypeSet.Id = VT_ILLEGAL;
        description->MembersListCount = 0;
    }
    description->Reserved = 0;
    if (outLength < total) {
        *information = sizeof(KSPROPERTY_DESCRIPTION);
        return STATUS_SUCCESS;
    }
    auto* cursor = reinterpret_cast<unsigned char*>(description + 1);
    for (ULONG i = 0; values != nullptr && i < values->MembersListCount; ++i) {
        const KSPROPERTY_MEMBERSLIST& list = values->MembersList[i];
        std::memcpy(cursor, &list.MembersHeader, sizeof(KSPROPERTY_MEMBERSHEADER));
        cursor += sizeof(KSPROPERTY_MEMBERSHEADER);
        ULONG bytes = list.MembersHeader.MembersSize * list.MembersHeader.MembersCount;
        if (bytes != 0) {
            std::memcpy(cursor, list.Members, bytes);
        }
        cursor += bytes;
    }
    *information = total;
    return STATUS_SUCCESS;
}

// Refuses a request whose buffers are shorter than the item asks for.
NTSTATUS CheckSizes(ULONG inLength, ULONG minRequest, ULONG outLength, ULONG minData,
                    bool sizeQueryAllowed, ULONG_PTR* information) {
    if (inLength < minRequest) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (outLength < minData) {
        if (outLength == 0 && sizeQueryAllowed) {
            *information = minData;
            return STATUS_BUFFER_OVERFLOW;
        }
        return STATUS_BUFFER_TOO_SMALL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CallHandler(PFNKSHANDLER handler, PIRP irp, void* request, void* data, ULONG_PTR preset) {
    irp->IoStatus.Information = preset;
    return handler(irp, static_cast<PKSIDENTIFIER>(request), data);
}

} // namespace

NTSTATUS DispatchAutomation(FileContext* file, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void* userRequest = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    void* userData = irp->UserBuffer;
    irp->IoStatus.Information = 0;

    if (code != IOCTL_KS_PROPERTY && code != IOCTL_KS_METHOD) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (inLength < sizeof(KSIDENTIFIER)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (userRequest == nullptr || (outLength != 0 && userData == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }

    Tables tables{};
    ObjectHeader* header = HeaderOf(file->file.FsContext);
    if (header == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (header->type == KsObjectTypeFilter) {
        auto* filter = static_cast<Filter*>(header->owner);
        tables.list[0] = filter->Public()->Descriptor->AutomationTable;
        tables.list[1] = &g_filterClassTable;
    } else {
        auto* pin = static_cast<Pin*>(header->owner);
        tables.list[0] = pin->Descriptor()->AutomationTable;
        tables.list[1] = &g_pinClassTable;
    }

    // Handlers work on the class's copies: a handler cannot write past the
    // caller's buffers, and request and data may be one caller buffer.
    std::vector<LONGLONG> request((static_cast<size_t>(inLength) + 7) / 8);
    std::memcpy(request.data(), userRequest, inLength);
    std::vector<LONGLONG> data((static_cast<size_t>(outLength) + 7) / 8 + 1);
    if (outLength != 0) {
        std::memcpy(data.data(), userData, outLength);
    }
    void* dataPointer = outLength != 0 ? data.data() : nullptr;
    auto* identifier = reinterpret_cast<PKSIDENTIFIER>(request.data());
    ULONG flags = identifier->Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
    ULONG_PTR information = 0;
    NTSTATUS status;
    bool copyBack = false;

    if (code == IOCTL_KS_PROPERTY) {
        if (identifier->Set == GUID_NULL && flags == KSPROPERTY_TYPE_SETSUPPORT) {
            status = EnumerateSets(tables, false, outLength, dataPointer, &information);
            copyBack = status == STATUS_SUCCESS;
        } else {
            auto found = FindProperty(tables, identifier->Set, identifier->Id);
            if (!found.setKnown) {
                status = STATUS_PROPSET_NOT_FOUND;
            } else if (flags == KSPROPERTY_TYPE_SETSUPPORT) {
                status = STATUS_SUCCESS;
            } else if (found.item == nullptr) {
                status = STATUS_NOT_FOUND;
            } else {
                const KSPROPERTY_ITEM* item = found.item;
                KSPROPERTY_SET_IRP_STORAGE(irp) = found.set;
                KSPROPERTY_ITEM_IRP_STORAGE(irp) = item;
                if (flags == KSPROPERTY_TYPE_BASICSUPPORT) {
                    if (item->SupportHandler != nullptr) {
                        status = CheckSizes(inLength, item->MinProperty, outLength, 0, false,
                                            &information);
                        if (status == STATUS_SUCCESS) {
                            status = CallHandler(item->SupportHandler, irp, request.data(),
                                                 dataPointer, 0);
                            information = irp->IoStatus.Information;
                        }
                    } else {
                        status = AnswerBasicSupport(item, outLength, dataPointer, &information);
                    }
                    copyBack = status == STATUS_SUCCESS;
                } else if (flags == KSPROPERTY_TYPE_GET || flags == KSPROPERTY_TYPE_SET) {
                    bool get = flags == KSPROPERTY_TYPE_GET;
                    PFNKSHANDLER handler =
                        get ? item->GetPropertyHandler : item->SetPropertyHandler;
                    if (handler == nullptr) {
                        status = STATUS_NOT_FOUND;
                    } else {
                        status = CheckSizes(inLength, item->MinProperty, outLength, item->MinData,
                                            get, &information);
                        if (status == STATUS_SUCCESS) {
                            status = CallHandler(handler, irp, request.data(), dataPointer,
                                                 get ? item->MinData : 0);
                            information = irp->IoStatus.Information;
                            copyBack = get && status == STATUS_SUCCESS;
                        }
                    }
                } else {
                    status = STATUS_INVALID_PARAMETER;
                }
            }
        }
    } else {
        if (identifier->Set == GUID_NULL && flags == KSMETHOD_TYPE_SETSUPPORT) {
            status = EnumerateSets(tables, true, outLength, dataPointer, &information);
            copyBack = status == STATUS_SUCCESS;
        } else {
            auto found = FindMethod(tables, identifier->Set, identifier->Id);
            if (!found.setKnown) {
                status = STATUS_PROPSET_NOT_FOUND;
            } else if (flags == KSMETHOD_TYPE_SETSUPPORT) {
                status = STATUS_SUCCESS;
            } else if (found.item == nullptr) {
                status = STATUS_NOT_FOUND;
            } else {
                const KSMETHOD_ITEM* item = found.item;
                KSMETHOD_SET_IRP_STORAGE(irp) = found.set;
                KSMETHOD_ITEM_IRP_STORAGE(irp) = item;
                if (flags == KSMETHOD_TYPE_BASICSUPPORT) {
                    if (item->SupportHandler != nullptr) {
                        status =
                            CallHandler(item->SupportHandler, irp, request.data(), dataPointer, 0);
                        information = irp->IoStatus.Information;
                    } else if (outLength == 0) {
                        information = sizeof(ULONG);
                        status = STATUS_BUFFER_OVERFLOW;
                    } else if (outLength < sizeof(ULONG)) {
                        status = STATUS_BUFFER_TOO_SMALL;
                    } else {
                        *static_cast<ULONG*>(dataPointer) = item->Flags;
                        information = sizeof(ULONG);
                        status = STATUS_SUCCESS;
                    }
                    copyBack = status == STATUS_SUCCESS;
                } else if (item->MethodHandler == nullptr) {
                    status = STATUS_NOT_FOUND;
                } else {
                    // As in AVStream, the item's type names what the handler does
                    // with the data buffer: READ reads the caller's data, WRITE
                    // writes data that goes back to the caller, MODIFY both. Only
                    // data going back is returned, and only then can a caller ask
                    // for its size.
                    bool returnsData = (item->Flags & KSMETHOD_TYPE_WRITE) != 0;
                    status = CheckSizes(inLength, item->MinMethod, outLength, item->MinData,
                                        returnsData, &information);
                    if (status == STATUS_SUCCESS) {
                        status = CallHandler(item->MethodHandler, irp, request.data(), dataPointer,
                                             item->MinData);
                        information = irp->IoStatus.Information;
                        copyBack = status == STATUS_SUCCESS && returnsData;
                    }
                }
            }
        }
    }

    if (NT_ERROR(status)) {
        information = 0;
    } else if (status == STATUS_SUCCESS && information > outLength) {
        host::ReportViolation(host::Rule::InvalidParameter,
                              "automation handler reported " + std::to_string(information) +
                                  " bytes for a " + std::to_string(outLength) + "-byte buffer");
        information = outLength;
    }
    if (copyBack && information != 0) {
        std::memcpy(userData, data.data(), information);
    }
    irp->IoStatus.Information = information;
    irp->IoStatus.Status = status;
    return status;
}

} // namespace ks
