// MDLs for buffers that are already resident: the host has no pages to lock
// or map, so an MDL only describes its buffer and maps it to itself.
#include "kernel_internal.h"

EXTERN_C PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                  BOOLEAN ChargeQuota, PIRP Irp) {
    if (Length == 0) {
        return NULL;
    }
    auto mdl =
        static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(MDL), kernel::kMdlTag));
    if (mdl == NULL) {
        return NULL;
    }
    ULONG_PTR address = reinterpret_cast<ULONG_PTR>(VirtualAddress);
    mdl->Next = NULL;
    mdl->Size = (CSHORT)sizeof(MDL);
    mdl->MdlFlags = 0;
    mdl->Process = NULL;
    mdl->MappedSystemVa = NULL;
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~(ULONG_PTR)(PAGE_SIZE - 1));
    mdl->ByteOffset = (ULONG)(address & (PAGE_SIZE - 1));
    mdl->ByteCount = Length;
    if (Irp != NULL) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            while (last != NULL && last->Next != NULL) {
                last = last->Next;
            }
            if (last == NULL) {
                Irp->MdlAddress = mdl;
            } else {
                last->Next = mdl;
            }
        }
    }
    return mdl;
}

EXTERN_C VOID NTAPI IoFreeMdl(PMDL Mdl) {
    ExFreePoolWithTag(Mdl, kernel::kMdlTag);
}

EXTERN_C VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

EXTERN_C PVOID NTAPI MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
    if (Mdl->MappedSystemVa == NULL) {
        Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
    }
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return Mdl->MappedSystemVa;
}
