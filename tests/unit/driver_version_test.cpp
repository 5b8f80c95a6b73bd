// The driver version: the built-in text's bytes on the wire and the parsing rules for any text.
#include <ntddk.h>
#include <gtest/gtest.h>

#include <cstring>

#include "driver/driver_version.h"

namespace {

struct VersionCase {
    const char* text;
    bool parses;
    USHORT elements[4];
};

class ParseDriverVersionText : public ::testing::TestWithParam<VersionCase>
{};

TEST_P(ParseDriverVersionText, FollowsTheRules)
{
    const VersionCase& c = GetParam();
    DriverVersion version;
    std::memset(&version, 0xAB, sizeof(version));
    const bool parsed = ::ParseDriverVersionText(c.text, &version);
    ASSERT_EQ(parsed, c.parses) << '"' << c.text << '"';
    if (c.parses) {
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(version.Elements[i], c.elements[i]) << '"' << c.text << "\" element " << i;
        }
    } else {
        // Every check precedes the first write: a refused text leaves the output as it was.
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&version);
        for (size_t i = 0; i < sizeof(version); ++i) {
            EXPECT_EQ(bytes[i], 0xAB) << '"' << c.text << "\" byte " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseDriverVersionText,
    ::testing::Values(VersionCase{"1.2.0.134", true, {134, 0, 2, 1}}, VersionCase{"", false, {}},
                      VersionCase{"1.2.3", false, {}}, VersionCase{"1.2.3.4.5", false, {}},
                      VersionCase{"1.2.x.4", false, {}}, VersionCase{"1.2.3.4x", false, {}},
                      VersionCase{"1.2.3.-4", false, {}}, VersionCase{"1..2.3", true, {3, 2, 0, 1}},
                      VersionCase{".1.2.3", true, {3, 2, 1, 0}}, VersionCase{"1.2.3.", true, {0, 3, 2, 1}},
                      VersionCase{"...", true, {0, 0, 0, 0}}, VersionCase{"1.2.3.65537", true, {1, 3, 2, 1}},
                      VersionCase{"65535.0.0.65536", true, {0, 0, 0, 65535}},
                      VersionCase{"1.2.3.4294967297", true, {1, 3, 2, 1}}));

TEST(DriverVersion, BuiltInTextGivesTheWireBytes)
{
    DriverVersion version;
    ASSERT_TRUE(ParseDriverVersion(&version));
    const unsigned char expected[8] = {0x86, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00};
    EXPECT_EQ(0, std::memcmp(&version, expected, sizeof(expected)));
    ULONG64 asNumber;
    std::memcpy(&asNumber, &version, sizeof(asNumber));
    EXPECT_EQ(asNumber, 0x0001000200000086ull);
}

} // namespace
