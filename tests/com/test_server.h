// The suite's own in-process server (test_server.cpp, built as a module):
// two classes and one interface, enough to see the runtime's and the
// aggregation rules at work.
#pragma once

#include <unknwn.h>

// {6B1F3A52-8C1D-4E0B-9A3F-2C5D7E9B1A01}: aggregatable; answers ITestValue.
inline constexpr GUID CLSID_TestAggregatable = {
    0x6B1F3A52, 0x8C1D, 0x4E0B, {0x9A, 0x3F, 0x2C, 0x5D, 0x7E, 0x9B, 0x1A, 0x01}};
// {6B1F3A52-8C1D-4E0B-9A3F-2C5D7E9B1A02}: refuses aggregation.
inline constexpr GUID CLSID_TestPlain = {
    0x6B1F3A52, 0x8C1D, 0x4E0B, {0x9A, 0x3F, 0x2C, 0x5D, 0x7E, 0x9B, 0x1A, 0x02}};
// {6B1F3A52-8C1D-4E0B-9A3F-2C5D7E9B1A03}
inline constexpr GUID IID_ITestValue = {
    0x6B1F3A52, 0x8C1D, 0x4E0B, {0x9A, 0x3F, 0x2C, 0x5D, 0x7E, 0x9B, 0x1A, 0x03}};
// {6B1F3A52-8C1D-4E0B-9A3F-2C5D7E9B1A04}: the server's type library.
inline constexpr GUID LIBID_TestServer = {
    0x6B1F3A52, 0x8C1D, 0x4E0B, {0x9A, 0x3F, 0x2C, 0x5D, 0x7E, 0x9B, 0x1A, 0x04}};
// {6B1F3A52-8C1D-4E0B-9A3F-2C5D7E9B1A05}: an automation interface of it.
inline constexpr GUID IID_ITestAutomation = {
    0x6B1F3A52, 0x8C1D, 0x4E0B, {0x9A, 0x3F, 0x2C, 0x5D, 0x7E, 0x9B, 0x1A, 0x05}};

struct ITestValue : public IUnknown {
    STDMETHOD_(LONG, Get)() PURE;
    STDMETHOD_(void, Set)(LONG value) PURE;
};

// Exported beside the four entry points: objects of the server alive now.
typedef LONG (*TestServerLiveObjectsFn)();
