// Kernel file I/O on the system root.
#include "services_test.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

const wchar_t SettingsName[] = L"\\SystemRoot\\system32\\drivers\\m4350dev0.bin";

class Files : public ServicesTest {
protected:
    fs::path HostPath() const { return root_ / "system32" / "drivers" / "m4350dev0.bin"; }

    void Put(const std::string& contents) const {
        std::ofstream out(HostPath(), std::ios::binary | std::ios::trunc);
        out << contents;
    }

    std::string Contents() const {
        std::ifstream in(HostPath(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    NTSTATUS Open(PCWSTR name, ACCESS_MASK access, ULONG share, ULONG disposition, HANDLE& handle,
                  IO_STATUS_BLOCK& io, ULONG options = FILE_SYNCHRONOUS_IO_NONALERT) {
        ObjectName object(name);
        handle = nullptr;
        return ZwCreateFile(&handle, access | SYNCHRONIZE, &object.attributes, &io, nullptr,
                            FILE_ATTRIBUTE_NORMAL, share, disposition, options, nullptr, 0);
    }

    NTSTATUS Open(ACCESS_MASK access, ULONG share, ULONG disposition, HANDLE& handle) {
        IO_STATUS_BLOCK io;
        return Open(SettingsName, access, share, disposition, handle, io);
    }
};

struct DispositionCase {
    bool exists;
    ULONG disposition;
    NTSTATUS status;
    ULONG_PTR information;
    const char* contentsAfter; // nullptr: no file
};

TEST_F(Files, Dispositions) {
    const DispositionCase cases[] = {
        {true, FILE_SUPERSEDE, STATUS_SUCCESS, FILE_SUPERSEDED, ""},
        {true, FILE_OPEN, STATUS_SUCCESS, FILE_OPENED, "abc"},
        {true, FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS, "abc"},
        {true, FILE_OPEN_IF, STATUS_SUCCESS, FILE_OPENED, "abc"},
        {true, FILE_OVERWRITE, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {true, FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {false, FILE_SUPERSEDE, STATUS_SUCCESS, FILE_CREATED, ""},
        {false, FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST, nullptr},
        {false, FILE_CREATE, STATUS_SUCCESS, FILE_CREATED, ""},
        {false, FILE_OPEN_IF, STATUS_SUCCESS, FILE_CREATED, ""},
        {false, FILE_OVERWRITE, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST, nullptr},
        {false, FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_CREATED, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "exists " << c.exists << " disposition " << c.disposition);
        fs::remove(HostPath());
        if (c.exists) {
            Put("abc");
        }
        HANDLE handle;
        IO_STATUS_BLOCK io = {};
        io.Information = 0xDEAD;
        EXPECT_EQ(Open(SettingsName, FILE_READ_DATA, FILE_SHARE_READ, c.disposition, handle, io),
                  c.status);
        EXPECT_EQ(io.Information, c.information);
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(io.Status, STATUS_SUCCESS);
            EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        }
        EXPECT_EQ(fs::exists(HostPath()), c.contentsAfter != nullptr);
        if (c.contentsAfter) {
            EXPECT_EQ(Contents(), c.contentsAfter);
        }
    }
}

TEST_F(Files, NamesAndFolders) {
    Put("x");
    const struct {
        const wchar_t* name;
        NTSTATUS status;
    } cases[] = {
        {L"\\SYSTEMROOT\\System32\\DRIVERS\\M4350DEV0.BIN", STATUS_SUCCESS},
        {L"\\SystemRoot\\system32\\missing\\m4350dev0.bin", STATUS_OBJECT_PATH_NOT_FOUND},
        {L"\\SystemRoot\\system32\\drivers\\m4350dev0.bin\\x", STATUS_OBJECT_PATH_NOT_FOUND},
        {L"\\SystemRoot\\system32\\drivers\\m4350dev9.bin", STATUS_OBJECT_NAME_NOT_FOUND},
        {L"\\SystemRoot\\..\\etc\\passwd", STATUS_OBJECT_NAME_INVALID},
        {L"\\SystemRoot\\system32\\.\\drivers\\m4350dev0.bin", STATUS_OBJECT_NAME_INVALID},
        {L"\\SystemRoot\\system32\\\\drivers\\m4350dev0.bin", STATUS_OBJECT_NAME_INVALID},
        {L"\\SystemRoot\\system32\\drivers\\a:b", STATUS_OBJECT_NAME_INVALID},
        {L"\\SystemRoot\\system32\\drivers/m4350dev0.bin", STATUS_OBJECT_NAME_INVALID},
        {L"SystemRoot\\system32", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {L"\\Device\\HarddiskVolume1\\x", STATUS_OBJECT_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        HANDLE handle;
        IO_STATUS_BLOCK io;
        EXPECT_EQ(Open(c.name, FILE_READ_DATA, FILE_SHARE_READ, FILE_OPEN, handle, io), c.status)
            << testing::PrintToString(std::wstring(c.name));
        if (NT_SUCCESS(c.status)) {
            ZwClose(handle);
        }
    }
    // A host path through \??\.
    const std::wstring hostName = L"\\??\\" + HostPath().wstring();
    HANDLE handle;
    IO_STATUS_BLOCK io;
    ASSERT_EQ(Open(hostName.c_str(), FILE_READ_DATA, FILE_SHARE_READ, FILE_OPEN, handle, io),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

struct ShareCase {
    ACCESS_MASK firstAccess;
    ULONG firstShare;
    ACCESS_MASK secondAccess;
    ULONG secondShare;
    ULONG secondDisposition;
    NTSTATUS expected;
};

TEST_F(Files, SharingBetweenOpenHandles) {
    const ULONG rw = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const ShareCase cases[] = {
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, STATUS_SUCCESS},
        {GENERIC_READ, FILE_SHARE_READ, FILE_WRITE_DATA, FILE_SHARE_READ, FILE_OPEN,
         STATUS_SHARING_VIOLATION},
        {GENERIC_READ, rw, FILE_WRITE_DATA, FILE_SHARE_READ, FILE_OPEN, STATUS_SUCCESS},
        {FILE_WRITE_DATA, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN,
         STATUS_SHARING_VIOLATION},
        {FILE_WRITE_DATA, rw, GENERIC_READ, rw, FILE_OPEN, STATUS_SUCCESS},
        {GENERIC_READ, 0, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, STATUS_SHARING_VIOLATION},
        // Opens without data access take no part in sharing.
        {FILE_READ_ATTRIBUTES, 0, GENERIC_READ, 0, FILE_OPEN, STATUS_SUCCESS},
        {GENERIC_READ, 0, FILE_READ_ATTRIBUTES, 0, FILE_OPEN, STATUS_SUCCESS},
        // Replacing the contents counts as writing, whatever access it asks for.
        {GENERIC_READ, FILE_SHARE_READ, FILE_APPEND_DATA, FILE_SHARE_READ, FILE_SUPERSEDE,
         STATUS_SHARING_VIOLATION},
        {GENERIC_READ, FILE_SHARE_READ, FILE_READ_ATTRIBUTES, rw, FILE_OVERWRITE,
         STATUS_SHARING_VIOLATION},
        {GENERIC_READ, rw, FILE_APPEND_DATA, FILE_SHARE_READ, FILE_SUPERSEDE, STATUS_SUCCESS},
        {DELETE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN,
         STATUS_SHARING_VIOLATION},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(i);
        Put("abc");
        HANDLE first, second;
        ASSERT_EQ(Open(c.firstAccess, c.firstShare, FILE_OPEN, first), STATUS_SUCCESS);
        IO_STATUS_BLOCK io;
        EXPECT_EQ(
            Open(SettingsName, c.secondAccess, c.secondShare, c.secondDisposition, second, io),
            c.expected);
        if (NT_SUCCESS(c.expected)) {
            EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(Contents(), "abc"); // a refused open changed nothing
        }
        EXPECT_EQ(ZwClose(first), STATUS_SUCCESS);
        // With the first handle gone the second open goes through.
        ASSERT_EQ(
            Open(SettingsName, c.secondAccess, c.secondShare, c.secondDisposition, second, io),
            STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
    }
}

TEST_F(Files, OffsetsAndEndOfFile) {
    HANDLE file;
    ASSERT_EQ(Open(GENERIC_READ | GENERIC_WRITE, 0, FILE_CREATE, file), STATUS_SUCCESS);
    IO_STATUS_BLOCK io;
    char text[] = "hello world";
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    ASSERT_EQ(ZwWriteFile(file, nullptr, nullptr, nullptr, &io, text, 11, &offset, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 11u);

    const struct {
        LONGLONG offset;
        ULONG length;
        NTSTATUS status;
        const char* read;
    } reads[] = {
        {6, 5, STATUS_SUCCESS, "world"},
        {6, 100, STATUS_SUCCESS, "world"}, // short read at the end
        {0, 5, STATUS_SUCCESS, "hello"},
        {11, 4, STATUS_END_OF_FILE, ""},
        {500, 4, STATUS_END_OF_FILE, ""},
        {3, 0, STATUS_SUCCESS, ""},
        {-5, 4, STATUS_INVALID_PARAMETER, ""},
    };
    for (const auto& r : reads) {
        char buffer[128] = {};
        offset.QuadPart = r.offset;
        io.Information = 0xDEAD;
        EXPECT_EQ(
            ZwReadFile(file, nullptr, nullptr, nullptr, &io, buffer, r.length, &offset, nullptr),
            r.status)
            << r.offset;
        if (r.status != STATUS_INVALID_PARAMETER) {
            EXPECT_EQ(io.Information, strlen(r.read)) << r.offset;
            EXPECT_STREQ(buffer, r.read);
        }
    }

    // Writing past the end leaves a gap of zeros.
    offset.QuadPart = 13;
    ASSERT_EQ(ZwWriteFile(file, nullptr, nullptr, nullptr, &io, text, 1, &offset, nullptr),
              STATUS_SUCCESS);
    FILE_STANDARD_INFORMATION info;
    ASSERT_EQ(ZwQueryInformationFile(file, &io, &info, sizeof(info), FileStandardInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(info.EndOfFile.QuadPart, 14);
    EXPECT_EQ(Contents(), std::string("hello world\0\0h", 14));
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
}

TEST_F(Files, SynchronousHandlesKeepAPosition) {
    HANDLE file;
    ASSERT_EQ(Open(GENERIC_READ | GENERIC_WRITE, 0, FILE_CREATE, file), STATUS_SUCCESS);
    IO_STATUS_BLOCK io;
    char abc[] = "abc", def[] = "def";
    ASSERT_EQ(ZwWriteFile(file, nullptr, nullptr, nullptr, &io, abc, 3, nullptr, nullptr),
              STATUS_SUCCESS);
    LARGE_INTEGER current;
    current.HighPart = -1;
    current.LowPart = FILE_USE_FILE_POINTER_POSITION;
    ASSERT_EQ(ZwWriteFile(file, nullptr, nullptr, nullptr, &io, def, 3, &current, nullptr),
              STATUS_SUCCESS);
    FILE_POSITION_INFORMATION position;
    ASSERT_EQ(
        ZwQueryInformationFile(file, &io, &position, sizeof(position), FilePositionInformation),
        STATUS_SUCCESS);
    EXPECT_EQ(position.CurrentByteOffset.QuadPart, 6);
    position.CurrentByteOffset.QuadPart = 2;
    ASSERT_EQ(ZwSetInformationFile(file, &io, &position, sizeof(position), FilePositionInformation),
              STATUS_SUCCESS);
    char buffer[8] = {};
    ASSERT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &io, buffer, 3, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_STREQ(buffer, "cde");
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    EXPECT_EQ(Contents(), "abcdef");

    // Without synchronous I/O there is no position to fall back on.
    IO_STATUS_BLOCK openIo;
    ASSERT_EQ(Open(SettingsName, GENERIC_READ, 0, FILE_OPEN, file, openIo, 0), STATUS_SUCCESS);
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &io, buffer, 3, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
}

TEST_F(Files, AccessIsEnforced) {
    Put("0123456789");
    HANDLE file;
    IO_STATUS_BLOCK io;
    char buffer[4] = {};
    LARGE_INTEGER offset;
    offset.QuadPart = 0;

    ASSERT_EQ(Open(FILE_READ_DATA, FILE_SHARE_READ, FILE_OPEN, file), STATUS_SUCCESS);
    EXPECT_EQ(ZwWriteFile(file, nullptr, nullptr, nullptr, &io, buffer, 1, &offset, nullptr),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);

    // An append-only handle writes at the end whatever offset it names.
    ASSERT_EQ(Open(FILE_APPEND_DATA, FILE_SHARE_READ, FILE_OPEN, file), STATUS_SUCCESS);
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &io, buffer, 1, &offset, nullptr),
              STATUS_ACCESS_DENIED);
    char tail[] = "AB";
    EXPECT_EQ(ZwWriteFile(file, nullptr, nullptr, nullptr, &io, tail, 2, &offset, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    EXPECT_EQ(Contents(), "0123456789AB");

    // Synchronous I/O needs SYNCHRONIZE.
    ObjectName name(SettingsName);
    EXPECT_EQ(ZwCreateFile(&file, FILE_READ_DATA, &name.attributes, &io, nullptr, 0,
                           FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
              STATUS_INVALID_PARAMETER);
}

TEST_F(Files, StandardInformation) {
    Put("abc");
    HANDLE file;
    ASSERT_EQ(Open(GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, file), STATUS_SUCCESS);
    IO_STATUS_BLOCK io;
    FILE_STANDARD_INFORMATION info;
    memset(&info, 0xCC, sizeof(info));
    ASSERT_EQ(ZwQueryInformationFile(file, &io, &info, sizeof(info), FileStandardInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(io.Information, sizeof(info));
    EXPECT_EQ(info.EndOfFile.QuadPart, 3);
    EXPECT_EQ(info.AllocationSize.QuadPart, 4096);
    EXPECT_EQ(info.NumberOfLinks, 1u);
    EXPECT_FALSE(info.DeletePending);
    EXPECT_FALSE(info.Directory);
    EXPECT_EQ(ZwQueryInformationFile(file, &io, &info, sizeof(info) - 1, FileStandardInformation),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(ZwQueryInformationFile(file, &io, &info, sizeof(info), FileBasicInformation),
              STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);

    HANDLE folder;
    ASSERT_EQ(Open(L"\\SystemRoot\\system32\\drivers", FILE_LIST_DIRECTORY,
                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, folder, io,
                   FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_SUCCESS);
    ASSERT_EQ(ZwQueryInformationFile(folder, &io, &info, sizeof(info), FileStandardInformation),
              STATUS_SUCCESS);
    EXPECT_TRUE(info.Directory);
    char buffer[4];
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    EXPECT_EQ(ZwReadFile(folder, nullptr, nullptr, nullptr, &io, buffer, 4, &offset, nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
    // A name relative to the folder handle.
    UNICODE_STRING relative;
    RtlInitUnicodeString(&relative, L"M4350DEV0.BIN");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &relative, OBJ_CASE_INSENSITIVE, folder, nullptr);
    ASSERT_EQ(ZwCreateFile(&file, GENERIC_READ, &attributes, &io, nullptr, 0, FILE_SHARE_READ,
                           FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT,
                           nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    EXPECT_EQ(Open(L"\\SystemRoot\\system32\\drivers", GENERIC_READ, FILE_SHARE_READ, FILE_OPEN,
                   file, io, FILE_NON_DIRECTORY_FILE),
              STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(
        Open(SettingsName, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, file, io, FILE_DIRECTORY_FILE),
        STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(ZwClose(folder), STATUS_SUCCESS);
}

TEST_F(Files, DeleteOnCloseRemovesTheFileWithTheLastHandle) {
    Put("abc");
    HANDLE doomed, other;
    IO_STATUS_BLOCK io;
    ASSERT_EQ(Open(SettingsName, GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                   FILE_OPEN, doomed, io, FILE_DELETE_ON_CLOSE | FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_SUCCESS);
    ASSERT_EQ(
        Open(SettingsName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_OPEN, other, io),
        STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(doomed), STATUS_SUCCESS);
    EXPECT_TRUE(fs::exists(HostPath()));
    FILE_STANDARD_INFORMATION info;
    ASSERT_EQ(ZwQueryInformationFile(other, &io, &info, sizeof(info), FileStandardInformation),
              STATUS_SUCCESS);
    EXPECT_TRUE(info.DeletePending);
    HANDLE late;
    EXPECT_EQ(
        Open(SettingsName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_OPEN, late, io),
        STATUS_DELETE_PENDING);
    EXPECT_EQ(ZwClose(other), STATUS_SUCCESS);
    EXPECT_FALSE(fs::exists(HostPath()));
}

TEST_F(Files, HandlesAreCounted) {
    Put("abc");
    const size_t before = host::OpenHandleCount();
    HANDLE a, b;
    ASSERT_EQ(Open(GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, a), STATUS_SUCCESS);
    ASSERT_EQ(Open(GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, b), STATUS_SUCCESS);
    EXPECT_NE(a, b);
    EXPECT_EQ(host::OpenFileHandleCount(), 2u);
    EXPECT_EQ(host::OpenHandleCount(), before + 2);
    EXPECT_EQ(ZwClose(a), STATUS_SUCCESS);
    EXPECT_EQ(host::OpenHandleCount(), before + 1);
    EXPECT_EQ(ZwClose(b), STATUS_SUCCESS);
    EXPECT_EQ(host::OpenHandleCount(), before);

    // Closing it again is a driver bug the verifier reports.
    host::ScopedVerifierTestMode testMode;
    EXPECT_EQ(ZwClose(b), STATUS_INVALID_HANDLE);
    EXPECT_EQ(host::ViolationCount(host::Rule::InvalidParameter), 1u);
    host::ClearViolations();
    IO_STATUS_BLOCK io;
    char buffer[1];
    EXPECT_EQ(ZwReadFile(b, nullptr, nullptr, nullptr, &io, buffer, 1, nullptr, nullptr),
              STATUS_INVALID_HANDLE);
}

VOID Quit(PVOID) {
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(Files, ZwCloseClosesThreadHandles) {
    HANDLE thread = nullptr;
    ASSERT_EQ(
        PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Quit, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(host::OpenThreadHandleCount(), 1u);
    EXPECT_EQ(ZwClose(thread), STATUS_SUCCESS);
    EXPECT_EQ(host::OpenThreadHandleCount(), 0u);
}

TEST_F(Files, OnlyAtPassiveLevel) {
    Put("abc");
    host::ScopedVerifierTestMode testMode;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    HANDLE file;
    const NTSTATUS status = Open(GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, file);
    KeLowerIrql(old);
    EXPECT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(host::ViolationCount(host::Rule::PagedCodeAtDispatch), 1u);
    EXPECT_NE(host::Violations().front().message.find("ZwCreateFile"), std::string::npos);
    host::ClearViolations();
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
}

} // namespace
