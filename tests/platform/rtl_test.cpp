// Run-time library strings, DbgPrint's format language and the configuration
// record, against the documented behaviour.
#include <gmock/gmock.h>

#include <string>

#include "io_fixture.h"

namespace {

using vax::kernel::ToU16;
using vax::kernel::UnicodeString;
using vax::test::IoTest;

class Rtl : public IoTest {};

TEST_F(Rtl, IntegerToStringNeedsRoomForTheTerminator) {
  struct Case {
    ULONG value;
    ULONG base;
    USHORT maximum_bytes;
    NTSTATUS status;
    std::u16string text;
  } cases[] = {
      {19, 10, 64, STATUS_SUCCESS, u"19"},
      {0, 0, 64, STATUS_SUCCESS, u"0"},
      {0xBEEF, 16, 64, STATUS_SUCCESS, u"BEEF"},
      {5, 2, 64, STATUS_SUCCESS, u"101"},
      {4294967295u, 10, 64, STATUS_SUCCESS, u"4294967295"},
      {63, 10, 6, STATUS_SUCCESS, u"63"},
      {63, 10, 4, STATUS_BUFFER_OVERFLOW, u""},
      {63, 7, 64, STATUS_INVALID_PARAMETER, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.value << " base " << c.base);
    UnicodeString string(u"", c.maximum_bytes);
    EXPECT_EQ(c.status, RtlIntegerToUnicodeString(c.value, c.base, string));
    EXPECT_EQ(c.text, string.text());
  }
}

TEST_F(Rtl, StringToIntegerReadsSignPrefixAndStopsAtTheFirstNonDigit) {
  struct Case {
    std::u16string text;
    ULONG base;
    NTSTATUS status;
    ULONG value;
  } cases[] = {
      {u"42", 10, STATUS_SUCCESS, 42},  {u"  -1", 10, STATUS_SUCCESS, 0xFFFFFFFF},
      {u"0x1F", 0, STATUS_SUCCESS, 31}, {u"0b101", 0, STATUS_SUCCESS, 5},
      {u"ff", 16, STATUS_SUCCESS, 255}, {u"12COM", 10, STATUS_SUCCESS, 12},
      {u"COM", 10, STATUS_SUCCESS, 0},  {u"12", 3, STATUS_INVALID_PARAMETER, 77},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(vax::kernel::Narrow(c.text));
    UnicodeString string(c.text);
    ULONG value = 77;
    EXPECT_EQ(c.status, RtlUnicodeStringToInteger(string, c.base, &value));
    EXPECT_EQ(c.value, value);
  }
}

TEST_F(Rtl, AppendAndCopyRespectMaximumLength) {
  UnicodeString name(u"\\Device\\Serial", 32);
  EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeToString(name, L"19"));
  EXPECT_EQ(u"\\Device\\Serial19", name.text());
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAppendUnicodeToString(name, L"0"));
  EXPECT_EQ(u"\\Device\\Serial19", name.text());

  UnicodeString link(u"\\DosDevices\\", 40);
  UnicodeString com(u"COM8");
  EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeStringToString(link, com));
  EXPECT_EQ(u"\\DosDevices\\COM8", link.text());

  UnicodeString small(u"", 6);
  RtlCopyUnicodeString(small, link);  // truncated to MaximumLength
  EXPECT_EQ(u"\\Do", small.text());
  RtlCopyUnicodeString(small, nullptr);
  EXPECT_EQ(0, small.get()->Length);
}

TEST_F(Rtl, ComparisonsOrderAndIgnoreCaseOnRequest) {
  struct Case {
    std::u16string a, b;
    BOOLEAN case_insensitive;
    int sign;
  } cases[] = {
      {u"COM8", u"COM8", FALSE, 0},   {u"com8", u"COM8", TRUE, 0},   {u"com8", u"COM8", FALSE, 1},
      {u"COM1", u"COM10", FALSE, -1}, {u"COM9", u"COM10", FALSE, 1},
  };
  for (const Case& c : cases) {
    UnicodeString a(c.a);
    UnicodeString b(c.b);
    const LONG result = RtlCompareUnicodeString(a, b, c.case_insensitive);
    EXPECT_EQ(c.sign, (result > 0) - (result < 0))
        << vax::kernel::Narrow(c.a) << " vs " << vax::kernel::Narrow(c.b);
    EXPECT_EQ(c.sign == 0, RtlEqualUnicodeString(a, b, c.case_insensitive) != FALSE);
  }
  const char x[] = "abcdef";
  const char y[] = "abcxef";
  EXPECT_EQ(3u, RtlCompareMemory(x, y, 6));
  EXPECT_EQ(6u, RtlCompareMemory(x, x, 6));
}

TEST_F(Rtl, InitUnicodeStringCountsBytesWithoutTheTerminator) {
  UNICODE_STRING string;
  RtlInitUnicodeString(&string, L"COM21");
  EXPECT_EQ(10, string.Length);
  EXPECT_EQ(12, string.MaximumLength);
  RtlInitUnicodeString(&string, nullptr);
  EXPECT_EQ(0, string.Length);
  EXPECT_EQ(nullptr, string.Buffer);
}

// DbgPrint speaks Windows' format language: %wZ, %ws, 32-bit %lx, %I64x.
TEST_F(Rtl, DbgPrintFormatsWindowsConversions) {
  UnicodeString name(u"\\Device\\Serial2");
  testing::internal::CaptureStderr();
  DbgPrint("%wZ %ws %lx %I64x %d %s|%5u|\n", name.get(), L"COM8", ULONG{0xC0000120},
           ULONGLONG{0x123456789}, -3, "ok", 42u);
  EXPECT_EQ("\\Device\\Serial2 COM8 c0000120 123456789 -3 ok|   42|\n",
            testing::internal::GetCapturedStderr());
}

TEST_F(Rtl, SerialCountIsOneWritableSystemWideRecord) {
  PCONFIGURATION_INFORMATION configuration = IoGetConfigurationInformation();
  EXPECT_EQ(0u, configuration->SerialCount);
  configuration->SerialCount += 2;
  EXPECT_EQ(configuration, IoGetConfigurationInformation());
  EXPECT_EQ(2u, IoGetConfigurationInformation()->SerialCount);
  vax::kernel::ResetIoSystem();
  EXPECT_EQ(0u, IoGetConfigurationInformation()->SerialCount);
}

}  // namespace
