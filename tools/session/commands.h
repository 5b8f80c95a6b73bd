// The tools' command language: the commands, their parsing, and the text and JSON encodings their
// output uses.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "msdscclient.h"

namespace msdsc::tool {

enum class CommandKind { Version, Add, Remove, List, Devices, Wait, Quit, Help };

struct Command {
    CommandKind kind = CommandKind::Help;
    uint32_t number = 0, drive = 0, log = 0; // add
    bool wait = false;                       // add --wait: until Plug and Play has started the reader
    // remove and wait: the reader number (its instance ID, which its handle carries too); remove
    // also takes a handle typed out in full
    uint32_t readerNumber = 0;
    bool fullHandle = false;
    MsdscReaderHandle handle{};
    bool gone = false; // wait: for the reader to go rather than to start
    std::string name;  // the command's name as typed ("add", "Quit", "exit"), which replies name
    std::string text;  // the command as typed, for messages
};

// Splits a line into words; '#' starts a comment that runs to the end of the line.
std::vector<std::string> SplitWords(const std::string& line);

// Parses the command starting at words[*position] and moves *position past it. On failure
// *error says what is wrong, *name is the word that started the command (when there was one) and
// *position is unspecified.
bool ParseCommand(const std::vector<std::string>& words, size_t* position, Command* command, std::string* error,
                  std::string* name = nullptr);
// Every command of a word list; false with *error at the first one that does not parse.
bool ParseCommands(const std::vector<std::string>& words, std::vector<Command>* commands, std::string* error,
                   std::string* name = nullptr);

// Numbers of the command line: decimal or 0x-prefixed hexadecimal, unsigned 32-bit.
bool ParseUnsigned32(const std::string& text, uint32_t* value);
// A handle typed out in full: "BUS:READER", each 64-bit half in hexadecimal (0x optional).
bool ParseFullHandle(const std::string& text, MsdscReaderHandle* handle);
std::string FormatHandle(const MsdscReaderHandle& handle);
std::string FormatStatus(MsdscStatus status);    // "0xC0000184"
std::string JsonString(const std::string& text); // quoted and escaped; bytes that are not UTF-8 become U+FFFD
// Input as an error may echo it: control characters, bidirectional controls and bytes that are not
// UTF-8 written as \xNN or \uNNNN, and cut after `limit` characters with the whole length said.
inline constexpr size_t ECHO_LIMIT = 64;
std::string Sanitized(const std::string& input, size_t limit = ECHO_LIMIT);

// One JSON object on one line, built field by field: Json("reply").Add("command", "add").Line().
class Json
{
public:
    explicit Json(const char* type); // null: a plain object, without a "type"
    Json& Add(const char* key, const std::string& value);
    Json& Add(const char* key, const char* value);
    Json& Add(const char* key, uint64_t value);
    Json& Add(const char* key, bool value);
    Json& Null(const char* key);
    Json& Raw(const char* key, const std::string& json); // a value already encoded
    std::string Object() const { return m_Text + "}"; }
    std::string Line() const { return Object() + "\n"; }

private:
    Json& Key(const char* key);
    std::string m_Text;
};

// One row per command of a session, in the order help lists them: the help text is made from these
// rows, and the command tables of README.md and docs/windows.md are checked against them.
struct Verb {
    const char* usage; // as typed, with its arguments: "wait READER [gone]"
    const char* does;  // help's line for it
};

extern const Verb VERBS[];
extern const size_t VERB_COUNT;

// The session's help, made from VERBS.
const std::string& HelpText();

} // namespace msdsc::tool
