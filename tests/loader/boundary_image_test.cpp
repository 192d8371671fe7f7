// m4350boundary.sys (tests/target/boundary_driver.cpp), built by the windows
// preset, loaded away from its preferred base and taken through a device's
// life: every kind of routine the platform calls back, the UTF-16 imports,
// varargs DbgPrint, a thread that ends itself, a fast mutex, the pin's
// reference clock, and imported routines used as callbacks. The driver
// reports each step in a "boundary:" line of the debug log; the test holds
// the log to what each step must have printed.
#include <host/driver_image.h>
#include <host/ks_client.h>
#include <host/ks_pnp.h>
#include <host/services.h>
#include <kernel_test.h>
#include <loader_internal.h>

#include <ksmedia.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace m4350test {
namespace {

constexpr const wchar_t* kServicePath =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\m4350boundary";

struct Step {
    const char* what;
    const char* line; // exactly as the image prints it
};

// In the order the image takes them.
const Step kSteps[] = {
    {"DbgPrint: %wZ, 64-bit arguments, %S and %C read as UTF-16",
     "boundary: entry \\Registry\\Machine\\System\\CurrentControlSet\\Services\\m4350boundary "
     "1122334455667788 -5 café é"},
    {"registry query routine, REG_SZ in UTF-16 both ways",
     "boundary: query Greeting type 1 length 18 text héllo 🎥"},
    {"registry query routine, REG_DWORD", "boundary: query Number type 4 length 4 number 0x4350"},
    {"RtlQueryRegistryValues", "boundary: registry query 00000000"},
    {"RtlInitUnicodeString and ZwCreateFile",
     "boundary: file \\SystemRoot\\m4350boundary-é.txt 00000000"},
    {"MmGetSystemRoutineAddress: a thunk to call, none for an unknown name",
     "boundary: routines called found missing"},
    {"KS device Add dispatch", "boundary: device added"},
    {"completion routine", "boundary: completion routine saw c0000010"},
    {"the request completed after its completion routine",
     "boundary: request completed c0000010 after 1 completion call"},
    {"IRP dispatch", "boundary: dispatch pended a request"},
    {"cancel routine", "boundary: cancel routine"},
    {"the held request ended cancelled",
     "boundary: held request 00000103, cancel 1, ended c0000120"},
    {"work item", "boundary: work item on its device yes"},
    {"system thread, its argument and the fast mutex", "boundary: thread 78187493520 run 1"},
    {"the thread ended through PsTerminateSystemThread", "boundary: thread ended after 1 run"},
    {"KS device Start dispatch, KsCreateFilterFactory", "boundary: device started 00000000"},
    {"KS filter Create dispatch", "boundary: filter created"},
    {"KS pin Create dispatch", "boundary: pin created"},
    {"the pin's reference clock in the image's convention",
     "boundary: clock read, correlated read"},
    {"object-bag free callback of the image", "boundary: bag item 1 freed"},
};

class BoundaryImage : public KernelTest {
protected:
    static std::string ImagePath() { return M4350_BOUNDARY_IMAGE; }

    void SetUp() override {
        KernelTest::SetUp();
        if (!std::filesystem::exists(ImagePath())) {
            GTEST_SKIP() << ImagePath() << " is not built: build the windows preset first";
        }
        // A system root of its own: the image writes a file and the registry.
        root_ = std::filesystem::temp_directory_path() /
                ("m4350-boundary-" + std::to_string(::getpid()));
        host::SetSystemRoot(root_);
        host::ClearDebugLog();
        ASSERT_EQ(IoCreateDevice(&bus_, 0, nullptr, 0x22, 0, FALSE, &pdo_), STATUS_SUCCESS);
        pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    void TearDown() override {
        if (pdo_) {
            IoDeleteDevice(pdo_);
        }
        if (!root_.empty()) {
            std::filesystem::remove_all(root_);
        }
        KernelTest::TearDown();
    }

    std::filesystem::path root_;
    DRIVER_OBJECT bus_{};
    PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(BoundaryImage, EveryCallbackKindAndStringImportCrosses) {
    host::ks::Driver* driver = nullptr;
    std::string error;
    ASSERT_EQ(host::loader::LoadDriverImage(ImagePath(), kServicePath, &driver, &error),
              STATUS_SUCCESS)
        << error;
    EXPECT_TRUE(host::loader::IsDriverImage(driver));
    host::ks::DeviceNode* node = nullptr;
    ASSERT_EQ(host::ks::AddDevice(driver, pdo_, &node), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::StartDevice(node), STATUS_SUCCESS);

    HANDLE filter = nullptr;
    ASSERT_EQ(host::ks::OpenFilterByReference(KSCATEGORY_VIDEO, L"boundary", &filter),
              STATUS_SUCCESS);
    KSDATAFORMAT format{};
    format.FormatSize = sizeof(format);
    format.MajorFormat = KSDATAFORMAT_TYPE_STREAM;
    HANDLE pin = nullptr;
    ASSERT_EQ(host::ks::CreatePin(filter, 0, &format, &pin), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::AssignPinClock(pin, true), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::CloseHandle(pin), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::CloseHandle(filter), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::RemoveDevice(node), STATUS_SUCCESS); // frees the device's bag
    host::loader::UnloadDriverImage(driver);

    // Each step's line, in order.
    std::vector<std::string> lines;
    for (const std::string& line : host::DebugLogLines()) {
        if (line.starts_with("boundary:")) {
            lines.push_back(line);
        }
    }
    std::string log;
    for (const std::string& line : lines) {
        log += line + "\n";
    }
    auto at = lines.begin();
    for (const Step& step : kSteps) {
        const auto found = std::find(at, lines.end(), step.line);
        EXPECT_NE(found, lines.end()) << step.what << ": no \"" << step.line << "\" in order in\n"
                                      << log;
        if (found != lines.end()) {
            at = found + 1;
        }
    }
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("went on") != l.npos; }),
              0)
        << "the thread ran on past PsTerminateSystemThread";

    // What the image wrote is host text where the host keeps it.
    const std::wstring key = std::wstring(kServicePath) + L"\\Parameters";
    EXPECT_EQ(host::RegistryGetString(key, L"Greeting"), L"h\u00e9llo \U0001F3A5");
    EXPECT_EQ(host::RegistryGetDword(key, L"Number"), 0x4350u);
    std::ifstream file(host::SystemRoot() / "m4350boundary-\u00e9.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "written by the image");

    // The pool items the imported ExFreePool freed count with the rest in
    // the fixture's leak check; the clock and the image are gone.
    EXPECT_EQ(host::loader::LiveImageClocks(), 0);
    EXPECT_TRUE(m4350::WaitUntil([] { return host::loader::MappedImageCount() == 0; }));
}

} // namespace
} // namespace m4350test
