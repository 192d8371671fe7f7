// What a loaded driver image may import: one line per export, DLL (matched
// without regard to case), name, and the host routine its thunk calls. Every
// routine gets one Microsoft-ABI thunk made from this line (image_boundary.cpp);
// an import that is not listed refuses the load.
//
// M4350_IMAGE_ROUTINE(dll, name, host routine)   a routine: thunk to the host's
// M4350_IMAGE_THUNK(dll, name, thunk)            a routine whose thunk is
//                                                written out (varargs)
// M4350_IMAGE_DATA(dll, name, host variable)     a variable: bound to its address
//
// The host routine is the kernel's own unless the image's conventions need an
// adaptation (loader::image::*): UTF-16 strings, Microsoft-ABI interfaces.

// clang-format off
#define M4350_IMAGE_EXPORTS(ROUTINE, THUNK, DATA)                                                  \
    THUNK(  "ntoskrnl.exe", DbgPrint,                          image::DbgPrintThunk)               \
    ROUTINE("ntoskrnl.exe", ExAllocatePoolWithTag,             ExAllocatePoolWithTag)              \
    ROUTINE("ntoskrnl.exe", ExFreePool,                        ExFreePool)                         \
    ROUTINE("ntoskrnl.exe", ExFreePoolWithTag,                 ExFreePoolWithTag)                  \
    ROUTINE("ntoskrnl.exe", ExAcquireFastMutex,                ExAcquireFastMutex)                 \
    ROUTINE("ntoskrnl.exe", ExReleaseFastMutex,                ExReleaseFastMutex)                 \
    ROUTINE("ntoskrnl.exe", ExTryToAcquireFastMutex,           ExTryToAcquireFastMutex)            \
    ROUTINE("ntoskrnl.exe", IoAcquireRemoveLockEx,             IoAcquireRemoveLockEx)              \
    ROUTINE("ntoskrnl.exe", IoAllocateIrp,                     IoAllocateIrp)                      \
    ROUTINE("ntoskrnl.exe", IoAllocateWorkItem,                IoAllocateWorkItem)                 \
    ROUTINE("ntoskrnl.exe", IoBuildDeviceIoControlRequest,     IoBuildDeviceIoControlRequest)      \
    ROUTINE("ntoskrnl.exe", IoCancelIrp,                       IoCancelIrp)                        \
    ROUTINE("ntoskrnl.exe", IofCallDriver,                     IofCallDriver)                      \
    ROUTINE("ntoskrnl.exe", IofCompleteRequest,                IofCompleteRequest)                 \
    ROUTINE("ntoskrnl.exe", IoFreeIrp,                         IoFreeIrp)                          \
    ROUTINE("ntoskrnl.exe", IoFreeWorkItem,                    IoFreeWorkItem)                     \
    ROUTINE("ntoskrnl.exe", IoInitializeRemoveLockEx,          IoInitializeRemoveLockEx)           \
    ROUTINE("ntoskrnl.exe", IoQueueWorkItem,                   IoQueueWorkItem)                    \
    ROUTINE("ntoskrnl.exe", IoReleaseCancelSpinLock,           IoReleaseCancelSpinLock)            \
    ROUTINE("ntoskrnl.exe", IoReleaseRemoveLockAndWaitEx,      IoReleaseRemoveLockAndWaitEx)       \
    ROUTINE("ntoskrnl.exe", IoReleaseRemoveLockEx,             IoReleaseRemoveLockEx)              \
    ROUTINE("ntoskrnl.exe", KeAcquireSpinLockRaiseToDpc,       KeAcquireSpinLockRaiseToDpc)        \
    ROUTINE("ntoskrnl.exe", KeClearEvent,                      KeClearEvent)                       \
    ROUTINE("ntoskrnl.exe", KeDelayExecutionThread,            KeDelayExecutionThread)             \
    ROUTINE("ntoskrnl.exe", KeGetCurrentIrql,                  KeGetCurrentIrql)                   \
    ROUTINE("ntoskrnl.exe", KeInitializeEvent,                 KeInitializeEvent)                  \
    ROUTINE("ntoskrnl.exe", KeInitializeMutex,                 KeInitializeMutex)                  \
    ROUTINE("ntoskrnl.exe", KeQueryInterruptTime,              KeQueryInterruptTime)               \
    ROUTINE("ntoskrnl.exe", KeReadStateEvent,                  KeReadStateEvent)                   \
    ROUTINE("ntoskrnl.exe", KeReleaseMutex,                    KeReleaseMutex)                     \
    ROUTINE("ntoskrnl.exe", KeReleaseSpinLock,                 KeReleaseSpinLock)                  \
    ROUTINE("ntoskrnl.exe", KeRestoreExtendedProcessorState,   KeRestoreExtendedProcessorState)    \
    ROUTINE("ntoskrnl.exe", KeSaveExtendedProcessorState,      KeSaveExtendedProcessorState)       \
    ROUTINE("ntoskrnl.exe", KeSetEvent,                        KeSetEvent)                         \
    ROUTINE("ntoskrnl.exe", KeWaitForSingleObject,             KeWaitForSingleObject)              \
    ROUTINE("ntoskrnl.exe", MmGetSystemRoutineAddress,         image::MmGetSystemRoutineAddress)   \
    ROUTINE("ntoskrnl.exe", ObReferenceObjectByHandle,         ObReferenceObjectByHandle)          \
    ROUTINE("ntoskrnl.exe", ObfDereferenceObject,              ObfDereferenceObject)               \
    ROUTINE("ntoskrnl.exe", ObfReferenceObject,                ObfReferenceObject)                 \
    ROUTINE("ntoskrnl.exe", PsCreateSystemThread,              PsCreateSystemThread)               \
    ROUTINE("ntoskrnl.exe", PsTerminateSystemThread,           PsTerminateSystemThread)            \
    DATA(   "ntoskrnl.exe", PsThreadType,                      PsThreadType)                       \
    ROUTINE("ntoskrnl.exe", RtlCompareMemory,                  RtlCompareMemory)                   \
    ROUTINE("ntoskrnl.exe", RtlInitUnicodeString,              image::RtlInitUnicodeString)        \
    ROUTINE("ntoskrnl.exe", RtlQueryRegistryValues,            image::RtlQueryRegistryValues)      \
    ROUTINE("ntoskrnl.exe", RtlQueryRegistryValuesEx,          image::RtlQueryRegistryValuesEx)    \
    ROUTINE("ntoskrnl.exe", RtlWriteRegistryValue,             image::RtlWriteRegistryValue)       \
    ROUTINE("ntoskrnl.exe", ZwClose,                           ZwClose)                            \
    ROUTINE("ntoskrnl.exe", ZwCreateFile,                      image::ZwCreateFile)                \
    ROUTINE("ntoskrnl.exe", ZwQueryInformationFile,            ZwQueryInformationFile)             \
    ROUTINE("ntoskrnl.exe", ZwReadFile,                        ZwReadFile)                         \
    ROUTINE("ntoskrnl.exe", ZwWriteFile,                       ZwWriteFile)                        \
    ROUTINE("ntoskrnl.exe", memcpy,                            memcpy)                             \
    ROUTINE("ntoskrnl.exe", memmove,                           memmove)                            \
    ROUTINE("ntoskrnl.exe", memset,                            memset)                             \
    ROUTINE("ks.sys",       KsAcquireDevice,                   KsAcquireDevice)                    \
    ROUTINE("ks.sys",       KsAddItemToObjectBag,              KsAddItemToObjectBag)               \
    ROUTINE("ks.sys",       KsCreateFilterFactory,             image::KsCreateFilterFactory)       \
    ROUTINE("ks.sys",       KsGetDevice,                       KsGetDevice)                        \
    ROUTINE("ks.sys",       KsGetFilterFromIrp,                KsGetFilterFromIrp)                 \
    ROUTINE("ks.sys",       KsInitializeDriver,                image::KsInitializeDriver)          \
    ROUTINE("ks.sys",       KsPinAttemptProcessing,            KsPinAttemptProcessing)             \
    ROUTINE("ks.sys",       KsPinGetLeadingEdgeStreamPointer,  KsPinGetLeadingEdgeStreamPointer)   \
    ROUTINE("ks.sys",       KsPinGetReferenceClockInterface,   image::KsPinGetReferenceClockInterface) \
    ROUTINE("ks.sys",       KsReleaseDevice,                   KsReleaseDevice)                    \
    ROUTINE("ks.sys",       KsRemoveItemFromObjectBag,         KsRemoveItemFromObjectBag)          \
    ROUTINE("ks.sys",       KsStreamPointerUnlock,             KsStreamPointerUnlock)              \
    ROUTINE("ks.sys",       _KsEdit,                           _KsEdit)                            \
    ROUTINE("usbd.sys",     USBD_CreateConfigurationRequestEx, USBD_CreateConfigurationRequestEx)  \
    ROUTINE("usbd.sys",     USBD_GetUSBDIVersion,              USBD_GetUSBDIVersion)               \
    ROUTINE("usbd.sys",     USBD_ParseConfigurationDescriptorEx, USBD_ParseConfigurationDescriptorEx)
// clang-format on
