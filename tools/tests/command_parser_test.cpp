// The tools' command language: what parses, what is refused and why, and the output encodings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "session.h"

namespace msdsc::tool {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<Command> Parse(const std::string& line)
{
    std::vector<Command> commands;
    std::string error;
    EXPECT_TRUE(ParseCommands(SplitWords(line), &commands, &error)) << line << ": " << error;
    return commands;
}

std::string ParseError(const std::string& line)
{
    std::vector<Command> commands;
    std::string error;
    EXPECT_FALSE(ParseCommands(SplitWords(line), &commands, &error)) << line;
    return error;
}

TEST(CommandWords, SplitsOnAnyWhitespaceAndDropsComments)
{
    EXPECT_THAT(SplitWords("  add\t7  1 0\r"), ElementsAre("add", "7", "1", "0"));
    EXPECT_THAT(SplitWords("list # what we added"), ElementsAre("list"));
    EXPECT_TRUE(SplitWords("# only a comment").empty());
    EXPECT_TRUE(SplitWords("").empty());
}

TEST(CommandParser, SeveralCommandsInOneLineByTheirArity)
{
    const std::vector<Command> commands = Parse("VERSION add 7 1 0 Add 0x10 0XfF 4294967295 remove 1 list quit");
    ASSERT_EQ(commands.size(), 6u);
    EXPECT_EQ(commands[0].kind, CommandKind::Version);
    EXPECT_EQ(commands[1].kind, CommandKind::Add);
    EXPECT_EQ(commands[1].number, 7u);
    EXPECT_EQ(commands[1].drive, 1u);
    EXPECT_EQ(commands[1].log, 0u);
    EXPECT_EQ(commands[2].number, 16u);
    EXPECT_EQ(commands[2].drive, 255u);
    EXPECT_EQ(commands[2].log, 0xFFFFFFFFu);
    EXPECT_EQ(commands[2].text, "Add 0x10 0XfF 4294967295");
    EXPECT_EQ(commands[3].kind, CommandKind::Remove);
    EXPECT_FALSE(commands[3].fullHandle);
    EXPECT_EQ(commands[3].readerNumber, 1u);
    EXPECT_EQ(commands[4].kind, CommandKind::List);
    EXPECT_EQ(commands[5].kind, CommandKind::Quit);
}

TEST(CommandParser, NumbersOutsideUnsigned32AreRefused)
{
    EXPECT_THAT(ParseError("add 4294967296 0 0"), HasSubstr("NUMBER"));
    EXPECT_THAT(ParseError("add 1 -1 0"), HasSubstr("DRIVE"));
    EXPECT_THAT(ParseError("add 1 1 0x100000000"), HasSubstr("LOG"));
    EXPECT_THAT(ParseError("add 1 1 0x"), HasSubstr("LOG"));
    EXPECT_THAT(ParseError("add 1 1 12a"), HasSubstr("LOG"));
    EXPECT_THAT(ParseError("add 1 1 +3"), HasSubstr("LOG"));
}

TEST(CommandParser, MissingArgumentsAndUnknownCommands)
{
    EXPECT_THAT(ParseError("add 1 2"), HasSubstr("needs 3 arguments"));
    EXPECT_THAT(ParseError("version remove"), HasSubstr("needs 1 argument"));
    EXPECT_THAT(ParseError("list frobnicate"), HasSubstr("unknown command 'frobnicate'"));
}

TEST(CommandParser, RemoveTakesAReaderNumberOrAFullHandle)
{
    const std::vector<Command> commands = Parse("remove 3 remove 6a3e19c200000000:0x2 remove 0:0 remove 0 EXIT");
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(commands[0].readerNumber, 3u);
    EXPECT_FALSE(commands[0].fullHandle);
    EXPECT_TRUE(commands[1].fullHandle);
    // The halves land in the record as the driver lays it out: two little-endian 64-bit values.
    const uint8_t expected[16] = {0, 0, 0, 0, 0xc2, 0x19, 0x3e, 0x6a, 2, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(commands[1].handle.bytes, expected, 16), 0);
    EXPECT_TRUE(commands[2].fullHandle);
    // 0 is a reader number like any other: the driver's first reader has it.
    EXPECT_FALSE(commands[3].fullHandle);
    EXPECT_EQ(commands[3].readerNumber, 0u);
    // Replies name a command as it was typed.
    EXPECT_EQ(commands[4].kind, CommandKind::Quit);
    EXPECT_EQ(commands[4].name, "EXIT");

    // A handle half wider than 64 bits or empty is no handle.
    EXPECT_THAT(ParseError("remove 1ffffffffffffffff:0"), HasSubstr("READER"));
    EXPECT_THAT(ParseError("remove :5"), HasSubstr("READER"));
    EXPECT_THAT(ParseError("remove 5:"), HasSubstr("READER"));
    EXPECT_THAT(ParseError("remove 12:3g"), HasSubstr("READER"));
    EXPECT_THAT(ParseError("remove first"), HasSubstr("READER"));
    EXPECT_THAT(ParseError("remove 4294967296"), HasSubstr("READER"));
}

TEST(CommandOutput, HandleAndStatusFormatsRoundTrip)
{
    MsdscReaderHandle handle{};
    for (unsigned i = 0; i < 16; ++i)
        handle.bytes[i] = static_cast<uint8_t>(i * 17);
    const std::string text = FormatHandle(handle);
    EXPECT_EQ(text, "7766554433221100:ffeeddccbbaa9988");
    MsdscReaderHandle back{};
    ASSERT_TRUE(ParseFullHandle(text, &back));
    EXPECT_EQ(std::memcmp(&back, &handle, sizeof(handle)), 0);
    EXPECT_EQ(FormatStatus(static_cast<MsdscStatus>(0xC0000184)), "0xC0000184");
}

TEST(CommandOutput, JsonStringsEscapeWhatJsonRequires)
{
    EXPECT_EQ(JsonString("ROOT\\Device\\1"), "\"ROOT\\\\Device\\\\1\"");
    EXPECT_EQ(JsonString("say \"hi\"\n"), "\"say \\\"hi\\\"\\n\"");
    EXPECT_EQ(JsonString(std::string("a\x01z")), "\"a\\u0001z\"");
}

} // namespace
} // namespace msdsc::tool
