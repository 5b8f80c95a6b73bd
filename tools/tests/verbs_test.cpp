// The session's verbs against what the user reads about them: help lists every verb, and the command
// tables of README.md and docs/windows.md name exactly the verbs the session takes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "commands.h"

namespace msdsc::tool {
namespace {

// The first column of the "| Command | Does |" table of a Markdown file, backticks removed.
std::set<std::string> CommandTable(const std::string& relativePath)
{
    std::ifstream file(std::string(MSDSC_SOURCE_DIR) + "/" + relativePath);
    EXPECT_TRUE(file) << relativePath;
    std::set<std::string> commands;
    bool inTable = false;
    const std::regex row(R"(^\| `([^`]+)` \|)");
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("| Command | Does |", 0) == 0) {
            EXPECT_FALSE(inTable) << relativePath << " has a second command table";
            inTable = true;
            continue;
        }
        std::smatch match;
        if (inTable && std::regex_search(line, match, row))
            commands.insert(match[1].str());
        else if (inTable && line.rfind("|", 0) != 0)
            break;
    }
    return commands;
}

std::set<std::string> Usages()
{
    std::set<std::string> usages;
    for (size_t i = 0; i < VERB_COUNT; ++i)
        usages.insert(VERBS[i].usage);
    return usages;
}

TEST(Verbs, HelpListsEveryVerbOnceWithItsLine)
{
    for (size_t i = 0; i < VERB_COUNT; ++i) {
        const std::string line = std::string("  ") + VERBS[i].usage + " ";
        EXPECT_THAT(HelpText(), ::testing::HasSubstr(line)) << VERBS[i].usage;
        EXPECT_EQ(HelpText().find(line), HelpText().rfind(line)) << VERBS[i].usage;
        EXPECT_THAT(HelpText(), ::testing::HasSubstr(VERBS[i].does));
    }
}

TEST(Verbs, TheDocsCommandTablesNameExactlyTheSessionsVerbs)
{
    EXPECT_EQ(CommandTable("README.md"), Usages());
    EXPECT_EQ(CommandTable("docs/windows.md"), Usages());
}

} // namespace
} // namespace msdsc::tool
