// The run-time library routines drivers call: version information, counted strings and integer
// conversion, with the exact lengths and statuses the kernel gives.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "simkernel/testing.h"

namespace {

class Rtl : public simk::testing::KernelTest
{};

std::u16string Text(const UNICODE_STRING& s) { return simk::ToU16(s); }

TEST_F(Rtl, VersionIsTheConfiguredOneAndResetRestoresTheDefault)
{
    RTL_OSVERSIONINFOW info;
    std::memset(&info, 0xAB, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_EQ(RtlGetVersion(&info), STATUS_SUCCESS);
    EXPECT_EQ(info.dwMajorVersion, 10u);
    EXPECT_EQ(info.dwMinorVersion, 0u);
    EXPECT_EQ(info.dwBuildNumber, 19045u);
    EXPECT_EQ(info.dwPlatformId, (ULONG)VER_PLATFORM_WIN32_NT);
    EXPECT_EQ(info.szCSDVersion[0], 0);

    simk::SetOsVersion(5, 0, 2195);
    RTL_OSVERSIONINFOEXW ex;
    std::memset(&ex, 0xAB, sizeof ex);
    ex.dwOSVersionInfoSize = sizeof ex;
    ASSERT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&ex)), STATUS_SUCCESS);
    EXPECT_EQ(ex.dwMajorVersion, 5u);
    EXPECT_EQ(ex.dwMinorVersion, 0u);
    EXPECT_EQ(ex.wServicePackMajor, 0);

    info.dwOSVersionInfoSize = 12;
    EXPECT_EQ(RtlGetVersion(&info), STATUS_INVALID_PARAMETER);

    simk::ResetKernel();
    info.dwOSVersionInfoSize = sizeof info;
    RtlGetVersion(&info);
    EXPECT_EQ(info.dwMajorVersion, 10u);
}

TEST_F(Rtl, InitUnicodeStringCountsBytesWithoutTheTerminator)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, L"\\Device\\X");
    EXPECT_EQ(s.Length, 18);
    EXPECT_EQ(s.MaximumLength, 20);
    EXPECT_EQ(Text(s), u"\\Device\\X");
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);
    RtlInitUnicodeString(&s, L"");
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 2);
}

TEST_F(Rtl, IntegerToUnicodeStringWritesDigitsAndTerminatorWhenThereIsRoom)
{
    WCHAR buffer[40];
    UNICODE_STRING s{0, sizeof buffer, buffer};
    ASSERT_EQ(RtlIntegerToUnicodeString(0, 0, &s), STATUS_SUCCESS); // base 0 is decimal
    EXPECT_EQ(Text(s), u"0");
    EXPECT_EQ(buffer[1], 0);
    ASSERT_EQ(RtlIntegerToUnicodeString(4294967295u, 10, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"4294967295");
    ASSERT_EQ(RtlIntegerToUnicodeString(0xBEEF, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"BEEF");
    ASSERT_EQ(RtlIntegerToUnicodeString(5, 2, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"101");
    ASSERT_EQ(RtlIntegerToUnicodeString(8, 8, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"10");
    EXPECT_EQ(RtlIntegerToUnicodeString(8, 7, &s), STATUS_INVALID_PARAMETER);

    // "12345" needs ten bytes of digits and two of terminator.
    for (USHORT maximum : {12, 14}) {
        std::fill(std::begin(buffer), std::end(buffer), (WCHAR)'#');
        UNICODE_STRING fits{0, maximum, buffer};
        EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &fits), STATUS_SUCCESS) << maximum;
        EXPECT_EQ(Text(fits), u"12345");
        EXPECT_EQ(buffer[5], 0);
    }
    for (USHORT maximum : {0, 2, 10, 11}) {
        std::fill(std::begin(buffer), std::end(buffer), (WCHAR)'#');
        UNICODE_STRING tooShort{0, maximum, buffer};
        EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &tooShort), STATUS_BUFFER_OVERFLOW) << maximum;
        EXPECT_EQ(buffer[0], (WCHAR)'#'); // nothing written
        EXPECT_EQ(tooShort.Length, 10);   // the length it needed, as the kernel leaves it
    }
}

TEST_F(Rtl, UnicodeStringsCompareAsTheKernelComparesThem)
{
    UNICODE_STRING a, b, c;
    RtlInitUnicodeString(&a, L"\\Device\\Bus");
    RtlInitUnicodeString(&b, L"\\DEVICE\\bus");
    RtlInitUnicodeString(&c, L"\\Device\\Bus0");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &c, TRUE));
    EXPECT_LT(RtlCompareUnicodeString(&a, &c, FALSE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&c, &a, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);

    ULONG value = 0;
    UNICODE_STRING number;
    RtlInitUnicodeString(&number, L"0x1F");
    EXPECT_EQ(RtlUnicodeStringToInteger(&number, 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 31u);
}

TEST(Strings, Utf16HelpersRoundTripWithoutWideLibraryCalls)
{
    std::u16string text = simk::Widen("Gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80");
    EXPECT_EQ(text.size(), 7u); // the emoji is a surrogate pair
    EXPECT_EQ(simk::Narrow(text), "Gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80");
    simk::OwnedUnicodeString owned(u"abc");
    EXPECT_EQ(owned.get()->Length, 6);
    EXPECT_EQ(owned.get()->MaximumLength, 8);
    EXPECT_EQ(owned.get()->Buffer[3], 0);
    EXPECT_EQ(simk::Tag("ansl"), 0x6C736E61u);
    EXPECT_EQ(simk::TagText(0x6C736E61u), "ansl");
}

} // namespace
