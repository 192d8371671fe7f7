// The driver image loader: what it refuses (each with its message), a
// relocated load of a small image whose DriverEntry calls back into the
// host, and the translations at the boundary (UTF-16 text, the Microsoft
// x64 argument list of DbgPrint).
#include "pe_builder.h"

#include <host/driver_image.h>
#include <host/ks_pnp.h>
#include <host/services.h>
#include <kernel_test.h>
#include <loader_internal.h>
#include <pe_image.h>

#include <filesystem>
#include <fstream>
#include <type_traits>

namespace m4350test {
namespace {

using host::loader::PeImage;

struct BadImage {
    const char* name;
    PeOptions options;
    const char* message;
};

PeOptions With(void (*change)(PeOptions&)) {
    PeOptions o;
    change(o);
    return o;
}

class PeImageRefusal : public ::testing::TestWithParam<BadImage> {};

TEST_P(PeImageRefusal, SaysWhy) {
    const auto file = BuildPeImage(GetParam().options);
    PeImage image;
    std::string error;
    EXPECT_FALSE(host::loader::ParsePeImage(file.data(), file.size(), &image, &error));
    EXPECT_EQ(error, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Loader, PeImageRefusal,
    ::testing::Values(
        BadImage{"WrongMachine", With([](PeOptions& o) { o.machine = 0x14C; }),
                 "machine 0x14c is not AMD64 (0x8664)"},
        BadImage{"NotPe32Plus", With([](PeOptions& o) { o.magic = 0x10B; }),
                 "not a PE32+ (64-bit) image"},
        BadImage{"NotNative", With([](PeOptions& o) { o.subsystem = 2; }),
                 "subsystem 2 is not native (1)"},
        BadImage{"TruncatedHeaders", With([](PeOptions& o) { o.truncateTo = 0x100; }),
                 "the optional header is truncated"},
        BadImage{"SectionOutsideFile", With([](PeOptions& o) { o.dataRawPointer = 0x1000; }),
                 "section .data lies outside the file"},
        BadImage{"WritableCode", With([](PeOptions& o) { o.textFlags = 0xE0000020; }),
                 "section .text is both writable and executable"},
        BadImage{"OtherRelocation", With([](PeOptions& o) { o.relocationType = 3; }),
                 "relocation of type 3 at 0x2040 is not supported"},
        BadImage{"ImportByOrdinal", With([](PeOptions& o) { o.importByOrdinal = true; }),
                 "import NTOSKRNL.EXE!#7 is by ordinal; only imports by name are bound"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PeImage, ReadsRelocationsImportsAndACertificate) {
    PeOptions options;
    options.certificateSize = 0x100;
    const auto file = BuildPeImage(options);
    PeImage image;
    std::string error;
    ASSERT_TRUE(host::loader::ParsePeImage(file.data(), file.size(), &image, &error)) << error;
    EXPECT_EQ(image.relocations, std::vector<uint32_t>{0x2040}); // the padding entry is skipped
    ASSERT_EQ(image.imports.size(), 1u);
    EXPECT_EQ(image.imports[0].dll + "!" + image.imports[0].name, "NTOSKRNL.EXE!DbgPrint");
    EXPECT_TRUE(image.hasCertificate);
    EXPECT_EQ(image.subsystemMajor, 10);
}

class LoaderTest : public KernelTest {
protected:
    std::string Write(const std::vector<uint8_t>& bytes) {
        const auto path = std::filesystem::temp_directory_path() /
                          ("m4350-loader-" + std::to_string(::getpid()) + ".sys");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        paths_.push_back(path);
        return path.string();
    }
    ~LoaderTest() override {
        for (const auto& p : paths_) {
            std::filesystem::remove(p);
        }
    }
    std::vector<std::filesystem::path> paths_;
};

// The image is mapped away from its preferred base, so its pointer to the
// format only works relocated; DriverEntry runs in the Microsoft convention
// and prints through the DbgPrint thunk. Its failure unmaps it again.
TEST_F(LoaderTest, RelocatedImageRunsItsEntry) {
    host::ClearDebugLog();
    host::ks::Driver* driver = nullptr;
    std::string error;
    const NTSTATUS status =
        host::loader::LoadDriverImage(Write(BuildPeImage()), L"\\Registry\\x", &driver, &error);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(host::DebugLogCount(kPeEntryMessage), 1u);
    EXPECT_EQ(host::loader::MappedImageCount(), 0u);
}

TEST_F(LoaderTest, UnknownImportRefusesTheLoad) {
    PeOptions options;
    options.importName = "KsNothing";
    host::ks::Driver* driver = nullptr;
    std::string error;
    EXPECT_EQ(host::loader::LoadDriverImage(Write(BuildPeImage(options)), L"\\Registry\\x", &driver,
                                            &error),
              STATUS_INVALID_IMAGE_FORMAT);
    EXPECT_NE(error.find("unresolved import NTOSKRNL.EXE!KsNothing"), std::string::npos) << error;
    EXPECT_EQ(host::loader::LoadDriverImage("/nonexistent/m4350av.sys", L"\\Registry\\x", &driver,
                                            &error),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

// A verifier stop inside a call from an image names the image's code that
// made it: here its entry frees memory that is no pool block.
TEST_F(LoaderTest, VerifierStopNamesTheImagesCaller) {
    PeOptions options;
    options.importName = "ExFreePoolWithTag";
    host::ScopedVerifierTestMode testMode;
    host::ks::Driver* driver = nullptr;
    std::string error;
    const std::string path = Write(BuildPeImage(options));
    EXPECT_EQ(host::loader::LoadDriverImage(path, L"\\Registry\\x", &driver, &error),
              STATUS_UNSUCCESSFUL);
    const auto violations = host::TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    const std::string name = std::filesystem::path(path).filename().string();
    // 0x1022: the return address of the entry's call through the import.
    EXPECT_NE(violations[0].message.find("(called from " + name + "+0x1022)"), std::string::npos)
        << violations[0].message;
}

// DbgPrint as an image calls it: every argument an 8-byte slot of the
// Microsoft argument list, wide text in UTF-16.
ULONG __attribute__((ms_abi)) ImageDbgPrint(const char* format, ...) {
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, format);
    const ULONG status = host::DbgPrintImage(format, args);
    __builtin_ms_va_end(args);
    return status;
}

TEST_F(LoaderTest, DbgPrintReadsTheImagesArgumentsAndUtf16) {
    const char16_t text[] = u"caf\u00e9 \U0001F3A5";
    UNICODE_STRING counted;
    counted.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(text));
    counted.Length = 8; // "café"
    counted.MaximumLength = sizeof(text);
    host::ClearDebugLog();
    ImageDbgPrint("%S|%ws|%ls", text, text, text);
    ImageDbgPrint("%wZ|%C%lc%wc", &counted, u'A', u'\u00e9', u'z');
    ImageDbgPrint("%I64x %lld %ld %s %p", 0x1122334455667788ull, -5ll, -1, "narrow",
                  reinterpret_cast<void*>(0xABCD));
    const auto lines = host::DebugLogLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "café 🎥|café 🎥|café 🎥");
    EXPECT_EQ(lines[1], "café|Aéz");
    EXPECT_EQ(lines[2], "1122334455667788 -5 -1 narrow 000000000000ABCD");
}

TEST_F(LoaderTest, RegistryTextCrossesAsUtf16) {
    const auto root = std::filesystem::temp_directory_path() /
                      ("m4350-loader-root-" + std::to_string(::getpid()));
    host::SetSystemRoot(root);
    const char16_t path[] = u"m4350av\\Parameters";
    const char16_t name[] = u"Caption";
    char16_t data[] = u"\u00e9t\u00e9";
    ASSERT_EQ(host::loader::image::RtlWriteRegistryValue(
                  RTL_REGISTRY_SERVICES, reinterpret_cast<PCWSTR>(path),
                  reinterpret_cast<PCWSTR>(name), REG_SZ, data, sizeof(data)),
              STATUS_SUCCESS);
    // The host holds host text; the image's query routine gets UTF-16 back.
    struct Seen {
        std::u16string name, data;
    } seen;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = +[](PWSTR valueName, ULONG type, PVOID valueData, ULONG length, PVOID,
                                PVOID entryContext) -> NTSTATUS {
        auto* s = static_cast<Seen*>(entryContext);
        s->name = reinterpret_cast<const char16_t*>(valueName);
        if (type == REG_SZ) {
            s->data.assign(static_cast<const char16_t*>(valueData), length / 2);
        }
        return STATUS_SUCCESS;
    };
    table[0].Name = reinterpret_cast<PWSTR>(const_cast<char16_t*>(name));
    table[0].EntryContext = &seen;
    EXPECT_EQ(host::loader::image::RtlQueryRegistryValues(
                  RTL_REGISTRY_SERVICES, reinterpret_cast<PCWSTR>(path), table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(seen.name, u"Caption");
    EXPECT_EQ(seen.data, std::u16string(u"\u00e9t\u00e9", 4)); // NUL included

    // A direct entry that could receive text cannot be translated: refused.
    host::ScopedVerifierTestMode testMode;
    ULONG value = 0;
    table[0] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = reinterpret_cast<PWSTR>(const_cast<char16_t*>(name));
    table[0].EntryContext = &value;
    EXPECT_EQ(host::loader::image::RtlQueryRegistryValues(
                  RTL_REGISTRY_SERVICES, reinterpret_cast<PCWSTR>(path), table, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host::ViolationCount(host::Rule::InvalidParameter), 1u);
    host::ClearViolations();
    std::filesystem::remove_all(root);
}

TEST_F(LoaderTest, InitUnicodeStringCountsUtf16) {
    const char16_t text[] = u"\\SystemRoot\\x";
    UNICODE_STRING s;
    host::loader::image::RtlInitUnicodeString(&s, reinterpret_cast<PCWSTR>(text));
    EXPECT_EQ(s.Length, 26);
    EXPECT_EQ(s.MaximumLength, 28);
}

// The records keep the layout of the real headers' function pointers.
static_assert(sizeof(PDRIVER_DISPATCH) == 8 && std::is_trivially_copyable_v<PFNKSPIN> &&
              std::is_trivially_default_constructible_v<PFNKSHANDLER>);

} // namespace
} // namespace m4350test
