// Object bags: the memory a minidriver hangs on a device, filter or pin, freed
// together with that object.
#include "ks_object.h"

#include <host/kernel.h>

#include <cstring>
#include <unordered_set>

namespace ks {

namespace {
constexpr ULONG kBagMagic = 0x4B534247; // "GBSK"

// Live bags, so that a stale or foreign bag pointer is refused rather than
// followed.
std::mutex g_bagsLock;
std::unordered_set<const ObjectBag*> g_bags;
} // namespace

ObjectBag::ObjectBag() : magic_(kBagMagic) {
    std::lock_guard<std::mutex> guard(g_bagsLock);
    g_bags.insert(this);
}

ObjectBag::~ObjectBag() {
    {
        std::lock_guard<std::mutex> guard(g_bagsLock);
        g_bags.erase(this);
    }
    FreeAll();
    magic_ = 0;
}

ObjectBag* ObjectBag::FromHandle(KSOBJECT_BAG bag) {
    auto* b = static_cast<ObjectBag*>(bag);
    std::lock_guard<std::mutex> guard(g_bagsLock);
    if (b == nullptr || g_bags.count(b) == 0 || b->magic_ != kBagMagic) {
        return nullptr;
    }
    return b;
}

void ObjectBag::FreeItem(const Item& item) {
    if (item.free != nullptr) {
        item.free(item.item);
    } else {
        ExFreePool(item.item);
    }
}

NTSTATUS ObjectBag::Add(void* item, PFNKSFREE free) {
    if (item == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(lock_);
    for (const Item& existing : items_) {
        if (existing.item == item) {
            // Already owned here; a second entry would free it twice.
            return STATUS_SUCCESS;
        }
    }
    items_.push_back({item, free});
    return STATUS_SUCCESS;
}

ULONG ObjectBag::Remove(void* item, bool free) {
    Item found{};
    bool present = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = items_.begin(); it != items_.end(); ++it) {
            if (it->item == item) {
                found = *it;
                items_.erase(it);
                present = true;
                break;
            }
        }
    }
    if (present && free) {
        FreeItem(found);
    }
    return 0;
}

NTSTATUS ObjectBag::Edit(void** pointerToItem, ULONG newSize, ULONG oldSize, ULONG tag) {
    if (pointerToItem == nullptr || newSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    void* old = *pointerToItem;
    if (old != nullptr && newSize <= oldSize) {
        // An item this bag already owns is edited in place: pointers the
        // minidriver keeps into it stay valid.
        std::lock_guard<std::mutex> guard(lock_);
        for (const Item& existing : items_) {
            if (existing.item == old) {
                return STATUS_SUCCESS;
            }
        }
    }
    void* copy = ExAllocatePoolWithTag(NonPagedPool, newSize, tag);
    if (copy == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(copy, 0, newSize);
    if (old != nullptr) {
        std::memcpy(copy, old, oldSize < newSize ? oldSize : newSize);
    }

    Item replaced{};
    bool ownedOld = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = items_.begin(); it != items_.end(); ++it) {
            if (old != nullptr && it->item == old) {
                replaced = *it;
                items_.erase(it);
                ownedOld = true;
                break;
            }
        }
        items_.push_back({copy, nullptr});
    }
    *pointerToItem = copy;
    // Memory the bag did not own (a static descriptor, say) stays untouched.
    if (ownedOld) {
        FreeItem(replaced);
    }
    return STATUS_SUCCESS;
}

void ObjectBag::FreeAll() {
    std::vector<Item> items;
    {
        std::lock_guard<std::mutex> guard(lock_);
        items.swap(items_);
    }
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
        FreeItem(*it);
    }
}

} // namespace ks

using ks::ObjectBag;

EXTERN_C NTSTATUS NTAPI KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free) {
    ks::ObjectBag* bag = ks::ObjectBag::FromHandle(ObjectBag);
    if (bag == nullptr) {
        host::ReportViolation(host::Rule::InvalidParameter,
                              "KsAddItemToObjectBag: not an object bag");
        return STATUS_INVALID_PARAMETER;
    }
    return bag->Add(Item, Free);
}

EXTERN_C ULONG NTAPI KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free) {
    ks::ObjectBag* bag = ks::ObjectBag::FromHandle(ObjectBag);
    if (bag == nullptr) {
        host::ReportViolation(host::Rule::InvalidParameter,
                              "KsRemoveItemFromObjectBag: not an object bag");
        return 0;
    }
    return bag->Remove(Item, Free != FALSE);
}

EXTERN_C NTSTATUS NTAPI _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem,
                                ULONG NewSize, ULONG OldSize, ULONG Tag) {
    ks::ObjectBag* bag = ks::ObjectBag::FromHandle(ObjectBag);
    if (bag == nullptr) {
        host::ReportViolation(host::Rule::InvalidParameter, "_KsEdit: not an object bag");
        return STATUS_INVALID_PARAMETER;
    }
    return bag->Edit(PointerToPointerToItem, NewSize, OldSize, Tag);
}
