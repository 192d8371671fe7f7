// Kernel file I/O (ZwCreateFile and friends) on host files.
//
// Object names: "\SystemRoot\..." is below the system root folder, and
// "\??\" (or "\DosDevices\") followed by an absolute host path names any
// host file. Names compare case-insensitively, as on Windows: each component
// is matched exactly first and otherwise against the folder's entries
// without regard to case. "." and ".." are no names here, so a name can
// never climb out of the folder it starts in.
//
// All I/O completes before the call returns; no call returns STATUS_PENDING,
// so an Event or APC given to ZwReadFile or ZwWriteFile is never needed and
// not signalled.
#include "rtl_text.h"
#include "services_internal.h"

#include <host/kernel.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
namespace rtl = m4350::rtl;

namespace {

// What the open handles of one file grant and allow, for the share check.
struct SharedFile {
    size_t handles = 0;  // every open handle to the file
    ULONG openCount = 0; // handles that asked for read, write or delete access
    ULONG readers = 0, writers = 0, deleters = 0;
    ULONG sharedRead = 0, sharedWrite = 0, sharedDelete = 0;
    bool deletePending = false;
    fs::path path;
};

using FileId = std::pair<dev_t, ino_t>;

struct FileObject {
    int fd = -1;
    bool directory = false;
    ACCESS_MASK access = 0;
    bool read = false, write = false, remove = false; // counted for sharing
    bool synchronous = false;
    bool deleteOnClose = false;
    ULONG share = 0;
    LONGLONG position = 0;
    FileId id{};
    fs::path path;
    // Synchronous handles do one I/O at a time and keep a current position,
    // as the I/O manager serialises them.
    std::mutex io;

    ~FileObject() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

struct FileTable {
    std::mutex mutex;
    std::unordered_map<HANDLE, std::shared_ptr<FileObject>> handles;
    std::map<FileId, SharedFile> files;
};

FileTable& Table() {
    static FileTable table;
    return table;
}

std::shared_ptr<FileObject> Lookup(HANDLE handle) {
    auto& table = Table();
    std::lock_guard lock(table.mutex);
    auto it = table.handles.find(handle);
    return it == table.handles.end() ? nullptr : it->second;
}

NTSTATUS FromErrno(int error) {
    switch (error) {
    case ENOENT:
        return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR:
        return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
        return STATUS_ACCESS_DENIED;
    case EEXIST:
        return STATUS_OBJECT_NAME_COLLISION;
    case EISDIR:
        return STATUS_FILE_IS_A_DIRECTORY;
    case ENOSPC:
    case EDQUOT:
        return STATUS_DISK_FULL;
    case ENAMETOOLONG:
        return STATUS_NAME_TOO_LONG;
    case ENOMEM:
        return STATUS_INSUFFICIENT_RESOURCES;
    case ENOTEMPTY:
        return STATUS_DIRECTORY_NOT_EMPTY;
    default:
        return STATUS_IO_DEVICE_ERROR;
    }
}

ACCESS_MASK MapGeneric(ACCESS_MASK access) {
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) {
        access |= FILE_ALL_ACCESS;
    }
    if (access & GENERIC_READ) {
        access |= FILE_GENERIC_READ;
    }
    if (access & GENERIC_WRITE) {
        access |= FILE_GENERIC_WRITE;
    }
    if (access & GENERIC_EXECUTE) {
        access |= FILE_GENERIC_EXECUTE;
    }
    return access &
           ~(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | MAXIMUM_ALLOWED);
}

bool ValidFileName(std::wstring_view name) {
    if (name.empty() || name == L"." || name == L"..") {
        return false;
    }
    for (wchar_t c : name) {
        if (static_cast<uint32_t>(c) < 0x20 || wcschr(L"\"*:<>?|/", c)) {
            return false;
        }
    }
    return true;
}

// The entry of `folder` that matches `name` without regard to case.
bool FindEntry(const fs::path& folder, std::wstring_view name, fs::path& found) {
    const std::string exact = rtl::ToUtf8(name);
    struct stat st;
    if (lstat((folder / exact).c_str(), &st) == 0) {
        found = folder / exact;
        return true;
    }
    DIR* dir = opendir(folder.c_str());
    if (!dir) {
        return false;
    }
    bool matched = false;
    while (dirent* entry = readdir(dir)) {
        const std::string_view entryName(entry->d_name);
        if (entryName == "." || entryName == "..") {
            continue;
        }
        if (rtl::EqualNoCase(rtl::FromUtf8(entryName), name)) {
            found = folder / std::string(entryName);
            matched = true;
            break;
        }
    }
    closedir(dir);
    return matched;
}

struct ResolvedName {
    fs::path path;
    bool exists = false;
};

// Object name (and root handle) to a host path; the last component may be
// missing, every folder before it must exist.
NTSTATUS ResolveName(POBJECT_ATTRIBUTES attributes, ResolvedName& result) {
    if (!attributes || !attributes->ObjectName) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto name = rtl::View(attributes->ObjectName);
    fs::path base;
    std::wstring_view rest;
    bool slashSeparates = false;
    if (attributes->RootDirectory) {
        auto root = Lookup(attributes->RootDirectory);
        if (!root) {
            return STATUS_INVALID_HANDLE;
        }
        if (!root->directory) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        if (!name.empty() && name.front() == L'\\') {
            return STATUS_OBJECT_NAME_INVALID;
        }
        base = root->path;
        rest = name;
    } else {
        if (name.empty() || name.front() != L'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        auto startsWith = [&](std::wstring_view prefix) {
            return name.size() >= prefix.size() &&
                   rtl::EqualNoCase(name.substr(0, prefix.size()), prefix) &&
                   (name.size() == prefix.size() || name[prefix.size()] == L'\\');
        };
        if (startsWith(L"\\SystemRoot")) {
            base = m4350::services::SystemRootPath();
            rest = name.substr(11);
        } else if (startsWith(L"\\??") || startsWith(L"\\DosDevices")) {
            rest = name.substr(name.find(L'\\', 1) + 1);
            if (rest.empty() || rest.front() != L'/') {
                return STATUS_OBJECT_PATH_NOT_FOUND;
            }
            base = "/";
            slashSeparates = true;
        } else {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
    }

    std::vector<std::wstring_view> components;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = start;
        while (end < rest.size() && rest[end] != L'\\' && !(slashSeparates && rest[end] == L'/')) {
            ++end;
        }
        const auto component = rest.substr(start, end - start);
        const bool last = end >= rest.size();
        if (component.empty()) {
            // Leading, trailing (and, for host paths, doubled) separators
            // carry no name.
            const bool harmless = start == 0 || last || slashSeparates;
            if (!harmless) {
                return STATUS_OBJECT_NAME_INVALID;
            }
        } else {
            if (!ValidFileName(component)) {
                return STATUS_OBJECT_NAME_INVALID;
            }
            components.push_back(component);
        }
        start = end + 1;
    }

    fs::path current = base;
    for (size_t i = 0; i < components.size(); ++i) {
        fs::path next;
        const bool last = i + 1 == components.size();
        if (!FindEntry(current, components[i], next)) {
            if (!last) {
                return STATUS_OBJECT_PATH_NOT_FOUND;
            }
            result.path = current / rtl::ToUtf8(components[i]);
            result.exists = false;
            return STATUS_SUCCESS;
        }
        if (!last) {
            struct stat st;
            if (stat(next.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                return STATUS_OBJECT_PATH_NOT_FOUND;
            }
        }
        current = next;
    }
    result.path = current;
    result.exists = true;
    return STATUS_SUCCESS;
}

NTSTATUS CheckShareAccess(const SharedFile& file, bool read, bool write, bool remove, ULONG share) {
    if (!read && !write && !remove) {
        return STATUS_SUCCESS;
    }
    const bool shareRead = share & FILE_SHARE_READ;
    const bool shareWrite = share & FILE_SHARE_WRITE;
    const bool shareDelete = share & FILE_SHARE_DELETE;
    if ((read && file.sharedRead != file.openCount) ||
        (write && file.sharedWrite != file.openCount) ||
        (remove && file.sharedDelete != file.openCount) || (file.readers && !shareRead) ||
        (file.writers && !shareWrite) || (file.deleters && !shareDelete)) {
        return STATUS_SHARING_VIOLATION;
    }
    return STATUS_SUCCESS;
}

void AddShareAccess(SharedFile& file, const FileObject& object) {
    const ULONG share = object.share;
    ++file.handles;
    if (!object.read && !object.write && !object.remove) {
        return;
    }
    ++file.openCount;
    file.readers += object.read;
    file.writers += object.write;
    file.deleters += object.remove;
    file.sharedRead += (share & FILE_SHARE_READ) != 0;
    file.sharedWrite += (share & FILE_SHARE_WRITE) != 0;
    file.sharedDelete += (share & FILE_SHARE_DELETE) != 0;
}

void RemoveShareAccess(SharedFile& file, const FileObject& object) {
    const ULONG share = object.share;
    --file.handles;
    if (!object.read && !object.write && !object.remove) {
        return;
    }
    --file.openCount;
    file.readers -= object.read;
    file.writers -= object.write;
    file.deleters -= object.remove;
    file.sharedRead -= (share & FILE_SHARE_READ) != 0;
    file.sharedWrite -= (share & FILE_SHARE_WRITE) != 0;
    file.sharedDelete -= (share & FILE_SHARE_DELETE) != 0;
}

void SetIoStatus(PIO_STATUS_BLOCK ioStatus, NTSTATUS status, ULONG_PTR information) {
    if (ioStatus) {
        ioStatus->Status = status;
        ioStatus->Information = information;
    }
}

constexpr ULONG ValidOptions = FILE_VALID_OPTION_FLAGS;

NTSTATUS CreateFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess,
                    POBJECT_ATTRIBUTES objectAttributes, PIO_STATUS_BLOCK ioStatus,
                    ULONG shareAccess, ULONG disposition, ULONG options, PVOID eaBuffer) {
    if (!fileHandle || !ioStatus || !objectAttributes) {
        return STATUS_INVALID_PARAMETER;
    }
    const ACCESS_MASK access = MapGeneric(desiredAccess);
    const bool wantsDirectory = options & FILE_DIRECTORY_FILE;
    const bool wantsFile = options & FILE_NON_DIRECTORY_FILE;
    const bool synchronous = options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT);
    if (disposition > FILE_MAXIMUM_DISPOSITION || (shareAccess & ~FILE_SHARE_VALID_FLAGS) ||
        (options & ~ValidOptions) || (wantsDirectory && wantsFile) ||
        ((options & FILE_SYNCHRONOUS_IO_ALERT) && (options & FILE_SYNCHRONOUS_IO_NONALERT)) ||
        (synchronous && !(access & SYNCHRONIZE)) ||
        ((options & FILE_DELETE_ON_CLOSE) && !(access & DELETE)) ||
        (wantsDirectory && disposition != FILE_CREATE && disposition != FILE_OPEN &&
         disposition != FILE_OPEN_IF)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (eaBuffer) {
        return STATUS_EAS_NOT_SUPPORTED;
    }

    ResolvedName name;
    NTSTATUS status = ResolveName(objectAttributes, name);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    auto& table = Table();
    // Creation, the share check and registration are one step, so two
    // racing opens cannot both pass the check.
    std::lock_guard lock(table.mutex);

    struct stat st;
    bool exists = name.exists && stat(name.path.c_str(), &st) == 0;
    const bool isDirectory = exists && S_ISDIR(st.st_mode);

    auto object = std::make_shared<FileObject>();
    object->access = access;
    object->synchronous = synchronous;
    object->deleteOnClose = options & FILE_DELETE_ON_CLOSE;
    object->read = access & (FILE_READ_DATA | FILE_EXECUTE);
    object->write = access & (FILE_WRITE_DATA | FILE_APPEND_DATA);
    object->remove = access & DELETE;
    object->share = shareAccess;
    object->path = name.path;

    ULONG_PTR information = 0;
    int flags = O_CLOEXEC;
    if (!exists) {
        if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) {
            SetIoStatus(ioStatus, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST);
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (wantsDirectory) {
            if (mkdir(name.path.c_str(), 0777) != 0) {
                return FromErrno(errno);
            }
            object->directory = true;
            flags |= O_RDONLY | O_DIRECTORY;
        } else {
            flags |= O_CREAT | O_EXCL | (object->read ? O_RDWR : O_WRONLY);
        }
        information = FILE_CREATED;
    } else {
        if (disposition == FILE_CREATE) {
            SetIoStatus(ioStatus, STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS);
            return STATUS_OBJECT_NAME_COLLISION;
        }
        if (isDirectory && wantsFile) {
            return STATUS_FILE_IS_A_DIRECTORY;
        }
        if (!isDirectory && wantsDirectory) {
            return STATUS_NOT_A_DIRECTORY;
        }
        const bool truncates = disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE ||
                               disposition == FILE_OVERWRITE_IF;
        if (isDirectory && truncates) {
            return STATUS_FILE_IS_A_DIRECTORY;
        }
        auto shared = table.files.find({st.st_dev, st.st_ino});
        if (shared != table.files.end()) {
            if (shared->second.deletePending) {
                return STATUS_DELETE_PENDING;
            }
            // Replacing the contents writes the file, whatever access the
            // caller asked for, so handles that refuse writers refuse this too.
            status = CheckShareAccess(shared->second, object->read, object->write || truncates,
                                      object->remove, shareAccess);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        object->directory = isDirectory;
        if (isDirectory) {
            flags |= O_RDONLY | O_DIRECTORY;
        } else if (object->write || truncates) {
            flags |= object->read ? O_RDWR : O_WRONLY;
        } else {
            flags |= O_RDONLY;
        }
        if (truncates) {
            flags |= O_TRUNC;
        }
        information = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED
                      : truncates                   ? FILE_OVERWRITTEN
                                                    : FILE_OPENED;
    }

    object->fd = open(name.path.c_str(), flags, 0666);
    if (object->fd < 0) {
        const int error = errno;
        if (!exists && object->directory) {
            rmdir(name.path.c_str());
        }
        return FromErrno(error);
    }
    if (fstat(object->fd, &st) != 0) {
        return FromErrno(errno);
    }
    object->id = {st.st_dev, st.st_ino};
    SharedFile& shared = table.files[object->id];
    if (shared.handles == 0) {
        shared.path = name.path;
    }
    AddShareAccess(shared, *object);

    HANDLE handle = host::detail::NewHandleValue();
    table.handles.emplace(handle, object);
    *fileHandle = handle;
    SetIoStatus(ioStatus, STATUS_SUCCESS, information);
    return STATUS_SUCCESS;
}

// The byte offset an I/O starts at, or an error.
NTSTATUS StartOffset(FileObject& object, PLARGE_INTEGER byteOffset, bool write, LONGLONG& offset) {
    const bool appendOnly =
        write && (object.access & FILE_APPEND_DATA) && !(object.access & FILE_WRITE_DATA);
    bool usePosition = !byteOffset;
    bool toEnd = appendOnly;
    if (byteOffset && byteOffset->HighPart == -1) {
        if (byteOffset->LowPart == FILE_USE_FILE_POINTER_POSITION) {
            usePosition = true;
        } else if (write && byteOffset->LowPart == FILE_WRITE_TO_END_OF_FILE) {
            toEnd = true;
        } else if (!appendOnly) {
            return STATUS_INVALID_PARAMETER;
        }
    } else if (byteOffset && byteOffset->QuadPart < 0 && !appendOnly) {
        return STATUS_INVALID_PARAMETER;
    }
    if (usePosition && !object.synchronous && !toEnd) {
        return STATUS_INVALID_PARAMETER;
    }
    if (toEnd) {
        struct stat st;
        if (fstat(object.fd, &st) != 0) {
            return FromErrno(errno);
        }
        offset = st.st_size;
    } else if (usePosition) {
        offset = object.position;
    } else {
        offset = byteOffset->QuadPart;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Transfer(HANDLE fileHandle, PIO_APC_ROUTINE apcRoutine, PIO_STATUS_BLOCK ioStatus,
                  PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, bool write) {
    if (!ioStatus || (length && !buffer) || apcRoutine) {
        return STATUS_INVALID_PARAMETER;
    }
    auto object = Lookup(fileHandle);
    if (!object) {
        return STATUS_INVALID_HANDLE;
    }
    if (object->directory) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const ACCESS_MASK needed = write ? (FILE_WRITE_DATA | FILE_APPEND_DATA) : FILE_READ_DATA;
    if (!(object->access & needed)) {
        return STATUS_ACCESS_DENIED;
    }
    std::unique_lock<std::mutex> serial;
    if (object->synchronous) {
        serial = std::unique_lock(object->io);
    }
    LONGLONG offset = 0;
    NTSTATUS status = StartOffset(*object, byteOffset, write, offset);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    size_t done = 0;
    auto* bytes = static_cast<uint8_t*>(buffer);
    while (done < length) {
        const ssize_t n =
            write
                ? pwrite(object->fd, bytes + done, length - done, offset + static_cast<off_t>(done))
                : pread(object->fd, bytes + done, length - done, offset + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            status = FromErrno(errno);
            break;
        }
        if (n == 0) {
            break; // end of file
        }
        done += static_cast<size_t>(n);
    }
    if (NT_SUCCESS(status) && !write && done == 0 && length > 0) {
        status = STATUS_END_OF_FILE;
    }
    if (object->synchronous && NT_SUCCESS(status)) {
        object->position = offset + static_cast<LONGLONG>(done);
    }
    SetIoStatus(ioStatus, status, NT_SUCCESS(status) ? done : 0);
    return status;
}

} // namespace

namespace m4350::services {

bool CloseFileHandle(HANDLE handle) {
    auto& table = Table();
    std::shared_ptr<FileObject> object;
    {
        std::lock_guard lock(table.mutex);
        auto it = table.handles.find(handle);
        if (it == table.handles.end()) {
            return false;
        }
        object = std::move(it->second);
        table.handles.erase(it);
        auto shared = table.files.find(object->id);
        if (shared != table.files.end()) {
            RemoveShareAccess(shared->second, *object);
            if (object->deleteOnClose) {
                shared->second.deletePending = true;
            }
            if (shared->second.handles == 0) {
                if (shared->second.deletePending) {
                    if (object->directory) {
                        rmdir(shared->second.path.c_str());
                    } else {
                        unlink(shared->second.path.c_str());
                    }
                }
                table.files.erase(shared);
            }
        }
    }
    // The descriptor closes when the last I/O still running on it lets go.
    object.reset();
    return true;
}

size_t FileHandleCount() {
    auto& table = Table();
    std::lock_guard lock(table.mutex);
    return table.handles.size();
}

} // namespace m4350::services

EXTERN_C NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                     POBJECT_ATTRIBUTES ObjectAttributes,
                                     PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
                                     ULONG FileAttributes, ULONG ShareAccess,
                                     ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                                     ULONG EaLength) {
    m4350::services::RequirePassive("ZwCreateFile");
    return CreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, ShareAccess,
                      CreateDisposition, CreateOptions, EaLength ? EaBuffer : nullptr);
}

EXTERN_C NTSTATUS NTAPI ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                   POBJECT_ATTRIBUTES ObjectAttributes,
                                   PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess,
                                   ULONG OpenOptions) {
    m4350::services::RequirePassive("ZwOpenFile");
    return CreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, ShareAccess,
                      FILE_OPEN, OpenOptions, nullptr);
}

EXTERN_C NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                               PVOID FileInformation, ULONG Length,
                                               FILE_INFORMATION_CLASS FileInformationClass) {
    m4350::services::RequirePassive("ZwQueryInformationFile");
    if (!IoStatusBlock || !FileInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    auto object = Lookup(FileHandle);
    if (!object) {
        return STATUS_INVALID_HANDLE;
    }
    switch (FileInformationClass) {
    case FileStandardInformation: {
        if (Length < sizeof(FILE_STANDARD_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        struct stat st;
        if (fstat(object->fd, &st) != 0) {
            return FromErrno(errno);
        }
        FILE_STANDARD_INFORMATION info{};
        info.EndOfFile.QuadPart = object->directory ? 0 : st.st_size;
        // Allocation is reported in whole 4 KiB clusters.
        info.AllocationSize.QuadPart = (info.EndOfFile.QuadPart + 4095) / 4096 * 4096;
        info.NumberOfLinks = static_cast<ULONG>(st.st_nlink);
        info.Directory = object->directory;
        {
            auto& table = Table();
            std::lock_guard lock(table.mutex);
            auto shared = table.files.find(object->id);
            info.DeletePending = shared != table.files.end() && shared->second.deletePending;
        }
        memcpy(FileInformation, &info, sizeof(info));
        SetIoStatus(IoStatusBlock, STATUS_SUCCESS, sizeof(info));
        return STATUS_SUCCESS;
    }
    case FilePositionInformation: {
        if (Length < sizeof(FILE_POSITION_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        FILE_POSITION_INFORMATION info{};
        {
            std::lock_guard lock(object->io);
            info.CurrentByteOffset.QuadPart = object->position;
        }
        memcpy(FileInformation, &info, sizeof(info));
        SetIoStatus(IoStatusBlock, STATUS_SUCCESS, sizeof(info));
        return STATUS_SUCCESS;
    }
    default:
        // Only the classes above are kept by this system.
        return STATUS_INVALID_INFO_CLASS;
    }
}

EXTERN_C NTSTATUS NTAPI ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                             PVOID FileInformation, ULONG Length,
                                             FILE_INFORMATION_CLASS FileInformationClass) {
    m4350::services::RequirePassive("ZwSetInformationFile");
    if (!IoStatusBlock || !FileInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    auto object = Lookup(FileHandle);
    if (!object) {
        return STATUS_INVALID_HANDLE;
    }
    switch (FileInformationClass) {
    case FilePositionInformation: {
        if (Length < sizeof(FILE_POSITION_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        FILE_POSITION_INFORMATION info;
        memcpy(&info, FileInformation, sizeof(info));
        if (info.CurrentByteOffset.QuadPart < 0) {
            return STATUS_INVALID_PARAMETER;
        }
        std::lock_guard lock(object->io);
        object->position = info.CurrentByteOffset.QuadPart;
        SetIoStatus(IoStatusBlock, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    }
    case FileEndOfFileInformation: {
        if (Length < sizeof(FILE_END_OF_FILE_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        if (object->directory) {
            return STATUS_INVALID_PARAMETER;
        }
        if (!(object->access & FILE_WRITE_DATA)) {
            return STATUS_ACCESS_DENIED;
        }
        FILE_END_OF_FILE_INFORMATION info;
        memcpy(&info, FileInformation, sizeof(info));
        if (info.EndOfFile.QuadPart < 0) {
            return STATUS_INVALID_PARAMETER;
        }
        if (ftruncate(object->fd, info.EndOfFile.QuadPart) != 0) {
            return FromErrno(errno);
        }
        SetIoStatus(IoStatusBlock, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    }
    case FileDispositionInformation: {
        if (Length < sizeof(FILE_DISPOSITION_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        if (!(object->access & DELETE)) {
            return STATUS_ACCESS_DENIED;
        }
        FILE_DISPOSITION_INFORMATION info;
        memcpy(&info, FileInformation, sizeof(info));
        auto& table = Table();
        std::lock_guard lock(table.mutex);
        auto shared = table.files.find(object->id);
        if (shared == table.files.end()) {
            return STATUS_INVALID_HANDLE;
        }
        if (info.DeleteFile && object->directory) {
            std::error_code ec;
            if (!fs::is_empty(shared->second.path, ec)) {
                return STATUS_DIRECTORY_NOT_EMPTY;
            }
        }
        shared->second.deletePending = info.DeleteFile != 0;
        SetIoStatus(IoStatusBlock, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
}

EXTERN_C NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                   PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                   ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key) {
    m4350::services::RequirePassive("ZwReadFile");
    return Transfer(FileHandle, ApcRoutine, IoStatusBlock, Buffer, Length, ByteOffset, false);
}

EXTERN_C NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                    PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                    ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key) {
    m4350::services::RequirePassive("ZwWriteFile");
    return Transfer(FileHandle, ApcRoutine, IoStatusBlock, Buffer, Length, ByteOffset, true);
}

EXTERN_C NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    m4350::services::RequirePassive("ZwClose");
    if (m4350::services::CloseFileHandle(Handle)) {
        return STATUS_SUCCESS;
    }
    if (host::detail::CloseThreadHandle(Handle)) {
        return STATUS_SUCCESS;
    }
    // Closing a handle that is not open is a driver bug the verifier stops.
    char detail[96];
    snprintf(detail, sizeof(detail), "ZwClose of a handle that is not open: %p", Handle);
    host::ReportViolation(host::Rule::InvalidParameter, detail);
    return STATUS_INVALID_HANDLE;
}
