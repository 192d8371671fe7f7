// Fixture and helpers of the system-service tests: every test runs on a
// system root of its own, with an empty debug log and every exported routine
// present.
#pragma once

#include <kernel_test.h>

#include <wdm.h>

#include <host/services.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class ServicesTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        std::string pattern =
            (std::filesystem::temp_directory_path() / "m4350-services-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        host::SetSystemRoot(root_);
        host::ClearDebugLog();
        host::ResetSystemRoutines();
        host::ResetRegistryQueryCallCount();
    }

    void TearDown() override {
        KernelTest::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    std::filesystem::path root_;
};

// An object name with its attributes, as a driver builds them. Not copyable:
// the attributes point into it.
struct ObjectName {
    explicit ObjectName(std::wstring name) : text(std::move(name)) {
        RtlInitUnicodeString(&string, text.c_str());
        InitializeObjectAttributes(&attributes, &string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   nullptr, nullptr);
    }
    ObjectName(const ObjectName&) = delete;
    ObjectName& operator=(const ObjectName&) = delete;

    std::wstring text;
    UNICODE_STRING string;
    OBJECT_ATTRIBUTES attributes;
};
