// The tools' command language: what parses, what is refused and why, and the output encodings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "session.h"

namespace msdsc::tool {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<Command> Parse(const std::string& line) {
    std::vector<Command> commands;
    std::string error;
    EXPECT_TRUE(ParseCommands(SplitWords(line), &commands, &error)) << line << ": " << error;
    return commands;
}

std::string ParseError(const std::string& line) {
    std::vector<Command> commands;
    std::string error;
    EXPECT_FALSE(ParseCommands(SplitWords(line), &commands, &error)) << line;
    return error;
}

TEST(CommandWords, SplitsOnAnyWhitespaceAndDropsComments) {
    EXPECT_THAT(SplitWords("  add\t7  1 0\r"), ElementsAre("add", "7", "1", "0"));
    EXPECT_THAT(SplitWords("list # what we added"), ElementsAre("list"));
    EXPECT_TRUE(SplitWords("# only a comment").empty());
    EXPECT_TRUE(SplitWords("").empty());
}

TEST(CommandParser, SeveralCommandsInOneLineByTheirArity) {
    const std::vector<Command> commands = Parse("VERSION add 7 1 0 Add 0x10 0XfF 4294967295 remove 1 list quit");
    ASSERT_EQ(commands.size(), 6u);
    EXPECT_EQ(commands[0].kind, CommandKind::Version);
    EXPECT_EQ(commands[1].kind, CommandKind::Add);
    EXPECT_EQ(commands[1].config.Number, 7u);
    EXPECT_EQ(commands[1].config.Drive, 1u);
    EXPECT_EQ(commands[1].config.Log, 0u);
    EXPECT_EQ(commands[2].config.Number, 16u);
    EXPECT_EQ(commands[2].config.Drive, 255u);
    EXPECT_EQ(commands[2].config.Log, 0xFFFFFFFFu);
    EXPECT_EQ(commands[2].text, "Add 0x10 0XfF 4294967295");
    EXPECT_EQ(commands[3].kind, CommandKind::Remove);
    EXPECT_FALSE(commands[3].fullHandle);
    EXPECT_EQ(commands[3].readerId, 1u);
    EXPECT_EQ(commands[4].kind, CommandKind::List);
    EXPECT_EQ(commands[5].kind, CommandKind::Quit);
}

TEST(CommandParser, NumbersOutsideUnsigned32AreRefused) {
    EXPECT_THAT(ParseError("add 4294967296 0 0"), HasSubstr("NUMBER"));
    EXPECT_THAT(ParseError("add 1 -1 0"), HasSubstr("DRIVE"));
    EXPECT_THAT(ParseError("add 1 1 0x100000000"), HasSubstr("LOG"));
    EXPECT_THAT(ParseError("add 1 1 0x"), HasSubstr("LOG"));
    EXPECT_THAT(ParseError("add 1 1 12a"), HasSubstr("LOG"));
    EXPECT_THAT(ParseError("add 1 1 +3"), HasSubstr("LOG"));
}

TEST(CommandParser, MissingArgumentsAndUnknownCommands) {
    EXPECT_THAT(ParseError("add 1 2"), HasSubstr("needs 3 arguments"));
    EXPECT_THAT(ParseError("version remove"), HasSubstr("needs 1 argument"));
    EXPECT_THAT(ParseError("list frobnicate"), HasSubstr("unknown command 'frobnicate'"));
}

TEST(CommandParser, RemoveTakesASessionNumberOrAFullHandle) {
    const std::vector<Command> commands =
        Parse("remove 3 remove ffffa00000001000:0xFFFFA00000002000 remove 0:0");
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].readerId, 3u);
    EXPECT_TRUE(commands[1].fullHandle);
    EXPECT_EQ(commands[1].handle.BusHandle, 0xffffa00000001000ull);
    EXPECT_EQ(commands[1].handle.ReaderHandle, 0xFFFFA00000002000ull);
    EXPECT_TRUE(commands[2].fullHandle);
    EXPECT_EQ(commands[2].handle.BusHandle, 0u);

    // Reader numbers start at 1; a handle half wider than 64 bits or empty is no handle.
    EXPECT_THAT(ParseError("remove 0"), HasSubstr("HANDLE"));
    EXPECT_THAT(ParseError("remove 1ffffffffffffffff:0"), HasSubstr("HANDLE"));
    EXPECT_THAT(ParseError("remove :5"), HasSubstr("HANDLE"));
    EXPECT_THAT(ParseError("remove first"), HasSubstr("HANDLE"));
}

TEST(CommandOutput, HandleAndStatusFormatsRoundTrip) {
    const BusReaderHandle handle{0xffffa00000001000ull, 0x2000ull};
    const std::string text = FormatHandle(handle);
    EXPECT_EQ(text, "ffffa00000001000:0000000000002000");
    BusReaderHandle back{};
    ASSERT_TRUE(ParseFullHandle(text, &back));
    EXPECT_EQ(back.BusHandle, handle.BusHandle);
    EXPECT_EQ(back.ReaderHandle, handle.ReaderHandle);
    EXPECT_EQ(FormatStatus(static_cast<NTSTATUS>(0xC0000184)), "0xC0000184");
}

TEST(CommandOutput, JsonStringsEscapeWhatJsonRequires) {
    EXPECT_EQ(JsonString("MicroSDSmartCardBus\\MicroSDSmartCardReader\\1"),
              "\"MicroSDSmartCardBus\\\\MicroSDSmartCardReader\\\\1\"");
    EXPECT_EQ(JsonString("say \"hi\"\n"), "\"say \\\"hi\\\"\\n\"");
    EXPECT_EQ(JsonString(std::string("a\x01z")), "\"a\\u0001z\"");
}

}  // namespace
}  // namespace msdsc::tool
