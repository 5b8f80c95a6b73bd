// The tools' command language: parsing, and the encodings of the output.
#include "commands.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>

namespace msdsc::tool {

namespace {

bool ParseUnsigned64Hex(const std::string& text, uint64_t* value)
{
    size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        i = 2;
    if (i == text.size() || text.size() - i > 16)
        return false;
    uint64_t result = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        result = (result << 4) | digit;
    }
    *value = result;
    return true;
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

std::vector<std::string> SplitWords(const std::string& line)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : line) {
        if (c == '#')
            break;
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

bool ParseUnsigned32(const std::string& text, uint32_t* value)
{
    if (text.empty())
        return false;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        uint64_t wide = 0;
        if (!ParseUnsigned64Hex(text, &wide) || wide > 0xFFFFFFFFull)
            return false;
        *value = static_cast<uint32_t>(wide);
        return true;
    }
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + static_cast<unsigned>(c - '0');
        if (result > 0xFFFFFFFFull)
            return false;
    }
    *value = static_cast<uint32_t>(result);
    return true;
}

// The handle's two halves are the driver's record (two 64-bit values, little-endian on x64), shown
// as numbers so that each half reads as the driver wrote it; the tools give them no meaning.
bool ParseFullHandle(const std::string& text, MsdscReaderHandle* handle)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    uint64_t halves[2];
    if (!ParseUnsigned64Hex(text.substr(0, colon), &halves[0]) ||
        !ParseUnsigned64Hex(text.substr(colon + 1), &halves[1]))
        return false;
    for (size_t i = 0; i < sizeof(handle->bytes); ++i)
        handle->bytes[i] = static_cast<uint8_t>(halves[i / 8] >> (8 * (i % 8)));
    return true;
}

std::string FormatHandle(const MsdscReaderHandle& handle)
{
    uint64_t halves[2] = {0, 0};
    for (size_t i = 0; i < sizeof(handle.bytes); ++i)
        halves[i / 8] |= static_cast<uint64_t>(handle.bytes[i]) << (8 * (i % 8));
    char text[48];
    std::snprintf(text, sizeof(text), "%016" PRIx64 ":%016" PRIx64, halves[0], halves[1]);
    return text;
}

std::string FormatStatus(MsdscStatus status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08" PRIX32, static_cast<uint32_t>(status));
    return text;
}

namespace {

// One code point of UTF-8 at text[*at], moving *at past it; -1 (and one byte on) for a byte that
// does not start a well-formed sequence: overlong forms, surrogates and values past U+10FFFF too.
long NextCodePoint(const std::string& text, size_t* at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(*at);
    size_t length;
    long value;
    long least;
    if (lead < 0x80) {
        ++*at;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, least = 0x10000;
    } else {
        ++*at;
        return -1;
    }
    if (*at + length > text.size()) {
        ++*at;
        return -1;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(*at + i) & 0xC0) != 0x80) {
            ++*at;
            return -1;
        }
        value = (value << 6) | (byte(*at + i) & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++*at;
        return -1;
    }
    *at += length;
    return value;
}

// Characters that reorder or hide the text around them on a terminal: the bidirectional marks,
// embeddings, overrides and isolates, and the line and paragraph separators.
bool IsBidiOrSeparator(long c)
{
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) ||
           c == 0x2028 || c == 0x2029;
}

std::string Hex(const char* format, unsigned long value)
{
    char text[16];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

} // namespace

std::string JsonString(const std::string& text)
{
    std::string quoted = "\"";
    for (size_t at = 0; at < text.size();) {
        const size_t start = at;
        const long c = NextCodePoint(text, &at);
        if (c < 0)
            quoted += "\\ufffd"; // a line that is not UTF-8 is not JSON
        else if (c == '"')
            quoted += "\\\"";
        else if (c == '\\')
            quoted += "\\\\";
        else if (c == '\n')
            quoted += "\\n";
        else if (c == '\r')
            quoted += "\\r";
        else if (c == '\t')
            quoted += "\\t";
        else if (c < 0x20)
            quoted += Hex("\\u%04lx", static_cast<unsigned long>(c));
        else
            quoted.append(text, start, at - start);
    }
    return quoted + "\"";
}

std::string Sanitized(const std::string& input, size_t limit)
{
    std::string shown;
    size_t characters = 0;
    size_t at = 0;
    while (at < input.size() && characters < limit) {
        const size_t start = at;
        const long c = NextCodePoint(input, &at);
        ++characters;
        if (c < 0)
            shown += Hex("\\x%02lX", static_cast<unsigned char>(input[start]));
        else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || IsBidiOrSeparator(c))
            shown += c < 0x100 ? Hex("\\x%02lX", static_cast<unsigned long>(c))
                               : Hex("\\u%04lX", static_cast<unsigned long>(c));
        else
            shown.append(input, start, at - start);
    }
    if (at < input.size())
        shown += "... (" + std::to_string(input.size()) + " bytes)";
    return shown;
}

bool ParseCommand(const std::vector<std::string>& words, size_t* position, Command* command, std::string* error,
                  std::string* commandName)
{
    const size_t start = *position;
    if (start >= words.size()) {
        *error = "a command was expected";
        return false;
    }
    const std::string name = Lower(words[start]);
    if (commandName)
        *commandName = Sanitized(name);
    auto arguments = [&](size_t count) {
        if (words.size() - start - 1 < count) {
            *error = "'" + name + "' needs " + std::to_string(count) + " argument" + (count == 1 ? "" : "s");
            return false;
        }
        return true;
    };
    auto optional = [&](size_t at, const char* word) { return at < words.size() && Lower(words[at]) == word; };
    Command parsed;
    size_t used = 1;
    if (name == "version") {
        parsed.kind = CommandKind::Version;
    } else if (name == "list") {
        parsed.kind = CommandKind::List;
    } else if (name == "devices") {
        parsed.kind = CommandKind::Devices;
    } else if (name == "quit" || name == "exit") {
        parsed.kind = CommandKind::Quit;
    } else if (name == "help" || name == "?") {
        parsed.kind = CommandKind::Help;
    } else if (name == "add") {
        if (!arguments(3))
            return false;
        parsed.kind = CommandKind::Add;
        uint32_t values[3];
        const char* names[] = {"NUMBER", "DRIVE", "LOG"};
        for (int i = 0; i < 3; ++i) {
            if (!ParseUnsigned32(words[start + 1 + i], &values[i])) {
                *error = std::string("add: ") + names[i] + " must be an unsigned 32-bit number, not '" +
                         Sanitized(words[start + 1 + i]) + "'";
                return false;
            }
        }
        parsed.number = values[0];
        parsed.drive = values[1];
        parsed.log = values[2];
        used = 4;
        if (optional(start + 4, "--wait")) {
            parsed.wait = true;
            used = 5;
        }
    } else if (name == "remove") {
        if (!arguments(1))
            return false;
        parsed.kind = CommandKind::Remove;
        const std::string& target = words[start + 1];
        if (ParseFullHandle(target, &parsed.handle)) {
            parsed.fullHandle = true;
        } else if (!ParseUnsigned32(target, &parsed.readerNumber)) {
            *error = "remove: READER is a reader number from 'add' or 'list', or BUS:READER in hexadecimal, not '" +
                     Sanitized(target) + "'";
            return false;
        }
        used = 2;
    } else if (name == "wait") {
        if (!arguments(1))
            return false;
        parsed.kind = CommandKind::Wait;
        if (!ParseUnsigned32(words[start + 1], &parsed.readerNumber)) {
            *error = "wait: READER is a reader number, as 'add' and 'devices' show it, not '" +
                     Sanitized(words[start + 1]) + "'";
            return false;
        }
        used = 2;
        if (optional(start + 2, "gone") || optional(start + 2, "started")) {
            parsed.gone = Lower(words[start + 2]) == "gone";
            used = 3;
        }
    } else {
        *error = "unknown command '" + Sanitized(words[start]) + "' (try 'help')";
        return false;
    }
    parsed.name = words[start];
    for (size_t i = 0; i < used; ++i)
        parsed.text += (i ? " " : "") + words[start + i];
    *command = parsed;
    *position = start + used;
    return true;
}

bool ParseCommands(const std::vector<std::string>& words, std::vector<Command>* commands, std::string* error,
                   std::string* name)
{
    size_t position = 0;
    while (position < words.size()) {
        Command command;
        if (!ParseCommand(words, &position, &command, error, name))
            return false;
        commands->push_back(command);
    }
    return true;
}

Json::Json(const char* type) : m_Text(type ? "{\"type\":" + JsonString(type) : "{") {}

Json& Json::Key(const char* key)
{
    m_Text += (m_Text.size() > 1 ? "," : "") + JsonString(key) + ":";
    return *this;
}

Json& Json::Add(const char* key, const std::string& value)
{
    Key(key).m_Text += JsonString(value);
    return *this;
}

Json& Json::Add(const char* key, const char* value) { return Add(key, std::string(value)); }

Json& Json::Add(const char* key, uint64_t value)
{
    Key(key).m_Text += std::to_string(value);
    return *this;
}

Json& Json::Add(const char* key, bool value)
{
    Key(key).m_Text += value ? "true" : "false";
    return *this;
}

Json& Json::Null(const char* key)
{
    Key(key).m_Text += "null";
    return *this;
}

Json& Json::Raw(const char* key, const std::string& json)
{
    Key(key).m_Text += json;
    return *this;
}

const Verb VERBS[] = {
    {"version", "the driver's version"},
    {"add NUMBER DRIVE LOG [--wait]", "add a reader (decimal or 0x hex); --wait: until it has started"},
    {"remove READER", "remove a reader of this session; or remove BUS:READER, a handle"},
    {"list", "the readers this session added and has not removed"},
    {"devices", "every reader device node: number, path, present, started, problem (no session needed)"},
    {"wait READER [gone]", "wait until that reader is started, or gone (no session needed)"},
    {"quit", "close the control device: every reader of the session is removed"},
};
const size_t VERB_COUNT = sizeof(VERBS) / sizeof(VERBS[0]);

const std::string& HelpText()
{
    static const std::string text = [] {
        std::string help = "commands (READER is a reader number, the instance ID Plug and Play shows and the handle's\n"
                           "reader half; NUMBER, DRIVE and LOG are the configuration its function driver reads):\n";
        for (const Verb& verb : VERBS) {
            std::string line = std::string("  ") + verb.usage;
            line.resize(std::max<size_t>(line.size() + 1, 32), ' ');
            help += line + verb.does + "\n";
        }
        return help;
    }();
    return text;
}

} // namespace msdsc::tool
