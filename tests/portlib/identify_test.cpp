// QZ719PT's identification, as an application uses it: is the port behind a
// name or an open handle Vaxport's? The answer comes from the identification
// word the port's driver puts in its communications properties.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include <windows.h>

#include "port_fixture.h"
#include "qz719pt.h"

namespace vax::test::portlib {
namespace {

using Identify = TestPortFixture;

HANDLE OpenPort(const char* name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST_F(Identify, VersionIs16) {
  EXPECT_EQ(16, QZ719PtGetVersion());
}

TEST_F(Identify, PortIsOursWhenItsPropertiesCarryAnIdentificationWord) {
  struct Case {
    const char* what;
    const char16_t* port;
    const char* open_name;
    Properties properties;
    BOOL ours;
  };
  const Case cases[] = {
      {"Vaxport's word", u"COM3", "COM3", {kVaxportWord}, TRUE},
      {"the compatible word", u"COM4", "\\\\.\\COM4", {kCompatibleWord}, TRUE},
      {"above COM9, by its device path", u"COM12", "\\\\.\\COM12", {kVaxportWord}, TRUE},
      {"a standard serial port", u"COM5", "COM5", {0}, FALSE},
      {"Vaxport's word byte-swapped", u"COM6", "COM6", {0x23565A51}, FALSE},
      {"a port that refuses the request",
       u"COM7",
       "COM7",
       {kVaxportWord, STATUS_INVALID_DEVICE_REQUEST},
       FALSE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MakePort(c.port, c.properties);

    HANDLE port = OpenPort(c.open_name);
    ASSERT_NE(INVALID_HANDLE_VALUE, port);
    EXPECT_EQ(c.ours, QZ719PtHandleIsQZ719(port));
    EXPECT_TRUE(CloseHandle(port));

    EXPECT_EQ(c.ours, QZ719PtNameIsQZ719(c.open_name));
    // The library closed the port again: an exclusive port opens at once.
    port = OpenPort(c.open_name);
    EXPECT_NE(INVALID_HANDLE_VALUE, port);
    CloseHandle(port);
  }
}

TEST_F(Identify, WhatCannotBeAskedIsNoPortOfOurs) {
  MakePort(u"COM3");
  HANDLE holder = OpenPort("COM3");
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);

  struct Case {
    const char* what;
    std::function<BOOL()> ask;
    bool asks_the_system;  // else the thread's last error stays as it was
  };
  const Case cases[] = {
      {"no handle", [] { return QZ719PtHandleIsQZ719(nullptr); }, false},
      {"INVALID_HANDLE_VALUE", [] { return QZ719PtHandleIsQZ719(INVALID_HANDLE_VALUE); }, false},
      {"no name", [] { return QZ719PtNameIsQZ719(nullptr); }, false},
      {"a handle that is no file", [&] { return QZ719PtHandleIsQZ719(event); }, true},
      {"no such port", [] { return QZ719PtNameIsQZ719("COM6"); }, true},
      {"no such device path", [] { return QZ719PtNameIsQZ719("\\\\.\\COM200"); }, true},
      {"a port another program holds open", [] { return QZ719PtNameIsQZ719("COM3"); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    constexpr DWORD kEarlierError = 12345;
    SetLastError(kEarlierError);
    EXPECT_EQ(FALSE, c.ask());
    if (!c.asks_the_system) {
      EXPECT_EQ(kEarlierError, GetLastError());
    }
  }

  // The program holding the port was not disturbed.
  EXPECT_EQ(TRUE, QZ719PtHandleIsQZ719(holder));
  CloseHandle(holder);
  CloseHandle(event);
}

}  // namespace
}  // namespace vax::test::portlib
