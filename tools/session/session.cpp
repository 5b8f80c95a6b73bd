// The command session of the tools: parsing, running on the held handle, plain-text and JSON output.
#include "session.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <istream>
#include <ostream>

namespace msdsc::tool {

namespace {

// STATUS_INVALID_HANDLE: what the library answers on a client that is not open.
constexpr MsdscStatus STATUS_INVALID_HANDLE_VALUE = static_cast<MsdscStatus>(0xC0000008u);

bool ParseUnsigned64Hex(const std::string& text, uint64_t* value) {
    size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) i = 2;
    if (i == text.size() || text.size() - i > 16) return false;
    uint64_t result = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        result = (result << 4) | digit;
    }
    *value = result;
    return true;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string ConfigText(uint32_t number, uint32_t drive, uint32_t log) {
    return "number " + std::to_string(number) + ", drive " + std::to_string(drive) + ", log " + std::to_string(log);
}

std::string ConfigJson(uint32_t number, uint32_t drive, uint32_t log) {
    return "\"number\":" + std::to_string(number) + ",\"drive\":" + std::to_string(drive) +
           ",\"log\":" + std::to_string(log);
}

bool SameHandle(const MsdscReaderHandle& a, const MsdscReaderHandle& b) {
    return std::memcmp(a.bytes, b.bytes, sizeof(a.bytes)) == 0;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    for (char c : line) {
        if (c == '#') break;
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

bool ParseUnsigned32(const std::string& text, uint32_t* value) {
    if (text.empty()) return false;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        uint64_t wide = 0;
        if (!ParseUnsigned64Hex(text, &wide) || wide > 0xFFFFFFFFull) return false;
        *value = static_cast<uint32_t>(wide);
        return true;
    }
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + static_cast<unsigned>(c - '0');
        if (result > 0xFFFFFFFFull) return false;
    }
    *value = static_cast<uint32_t>(result);
    return true;
}

bool ParseFullHandle(const std::string& text, MsdscReaderHandle* handle) {
    const size_t half = sizeof(handle->bytes) / 2;
    if (text.size() != 4 * half + 1 || text[2 * half] != ':') return false;
    MsdscReaderHandle parsed{};
    for (size_t i = 0; i < sizeof(parsed.bytes); ++i) {
        const size_t at = 2 * i + (i < half ? 0 : 1);
        const int high = HexDigit(text[at]), low = HexDigit(text[at + 1]);
        if (high < 0 || low < 0) return false;
        parsed.bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    *handle = parsed;
    return true;
}

std::string FormatHandle(const MsdscReaderHandle& handle) {
    static const char DIGITS[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < sizeof(handle.bytes); ++i) {
        if (i == sizeof(handle.bytes) / 2) text += ':';
        text += DIGITS[handle.bytes[i] >> 4];
        text += DIGITS[handle.bytes[i] & 0xF];
    }
    return text;
}

std::string FormatStatus(MsdscStatus status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08" PRIX32, static_cast<uint32_t>(status));
    return text;
}

std::string JsonString(const std::string& text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': quoted += "\\\""; break;
        case '\\': quoted += "\\\\"; break;
        case '\n': quoted += "\\n"; break;
        case '\r': quoted += "\\r"; break;
        case '\t': quoted += "\\t"; break;
        default:
            if (c < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof(escape), "\\u%04x", c);
                quoted += escape;
            } else {
                quoted += static_cast<char>(c);
            }
        }
    }
    return quoted + "\"";
}

bool ParseCommand(const std::vector<std::string>& words, size_t* position, Command* command, std::string* error) {
    const size_t start = *position;
    if (start >= words.size()) {
        *error = "a command was expected";
        return false;
    }
    const std::string name = Lower(words[start]);
    auto arguments = [&](size_t count) {
        if (words.size() - start - 1 < count) {
            *error = "'" + name + "' needs " + std::to_string(count) + " argument" + (count == 1 ? "" : "s");
            return false;
        }
        return true;
    };
    Command parsed;
    size_t used = 1;
    if (name == "version") {
        parsed.kind = CommandKind::Version;
    } else if (name == "list") {
        parsed.kind = CommandKind::List;
    } else if (name == "quit" || name == "exit") {
        parsed.kind = CommandKind::Quit;
    } else if (name == "help" || name == "?") {
        parsed.kind = CommandKind::Help;
    } else if (name == "add") {
        if (!arguments(3)) return false;
        parsed.kind = CommandKind::Add;
        uint32_t values[3];
        const char* names[] = {"NUMBER", "DRIVE", "LOG"};
        for (int i = 0; i < 3; ++i) {
            if (!ParseUnsigned32(words[start + 1 + i], &values[i])) {
                *error = std::string("add: ") + names[i] + " must be an unsigned 32-bit number, not '" +
                         words[start + 1 + i] + "'";
                return false;
            }
        }
        parsed.number = values[0];
        parsed.drive = values[1];
        parsed.log = values[2];
        used = 4;
    } else if (name == "remove") {
        if (!arguments(1)) return false;
        parsed.kind = CommandKind::Remove;
        const std::string& target = words[start + 1];
        uint32_t id = 0;
        if (ParseFullHandle(target, &parsed.handle)) {
            parsed.fullHandle = true;
        } else if (ParseUnsigned32(target, &id) && id != 0) {
            parsed.readerId = id;
        } else {
            *error = "remove: HANDLE is a reader number from 'add' or 'list', or the handle's 16 bytes in hexadecimal, not '" +
                     target + "'";
            return false;
        }
        used = 2;
    } else {
        *error = "unknown command '" + words[start] + "' (try 'help')";
        return false;
    }
    for (size_t i = 0; i < used; ++i) parsed.text += (i ? " " : "") + words[start + i];
    *command = parsed;
    *position = start + used;
    return true;
}

bool ParseCommands(const std::vector<std::string>& words, std::vector<Command>* commands, std::string* error) {
    size_t position = 0;
    while (position < words.size()) {
        Command command;
        if (!ParseCommand(words, &position, &command, error)) return false;
        commands->push_back(command);
    }
    return true;
}

const char* HelpText() {
    return "commands:\n"
           "  version                 the driver's version\n"
           "  add NUMBER DRIVE LOG    add a reader with this configuration (numbers: decimal or 0x hex)\n"
           "  remove HANDLE           remove a reader: its number from 'add'/'list', or BUS:READER in hex\n"
           "  list                    the readers this session added and has not removed\n"
           "  quit                    close the control device: every reader of the session is removed\n";
}

Session::Session(std::ostream& out, bool json) : m_Out(out), m_Json(json) {}

Session::~Session() {
    std::lock_guard<ClientLock> lock(m_ClientMutex);
    if (m_Client) MsdscClose(m_Client, nullptr);
}

bool Session::IsOpen() {
    std::lock_guard<ClientLock> lock(m_ClientMutex);
    return m_Client != nullptr;
}

bool Session::Interrupt() {
    std::lock_guard<ClientLock> lock(m_ClientMutex);
    if (!m_Client) return false;
    MsdscClose(m_Client, nullptr);
    m_Client = nullptr;
    return true;
}

void Session::Failure(const char* command, MsdscStatus status, const char* message) {
    m_Failed = true;
    if (m_Json) {
        m_Out << "{\"command\":" << JsonString(command) << ",\"ok\":false,\"status\":" << JsonString(FormatStatus(status))
              << ",\"message\":" << JsonString(message) << "}\n";
    } else {
        m_Out << "error: " << command << ": " << message << " (status " << FormatStatus(status) << ")\n";
    }
}

void Session::UsageFailure(const std::string& message) {
    m_Failed = true;
    if (m_Json)
        m_Out << "{\"command\":null,\"ok\":false,\"message\":" << JsonString(message) << "}\n";
    else
        m_Out << "error: " << message << "\n";
}

void Session::After() {
    m_Out.flush();
    if (afterCommand) afterCommand();
    m_Out.flush();
}

bool Session::Open() {
    const char* message = nullptr;
    MsdscStatus status;
    {
        std::lock_guard<ClientLock> lock(m_ClientMutex);
        status = m_Client ? MsdscStatus{0} : MsdscOpen(&m_Client, &message);
    }
    if (status < 0) {
        Failure("open", status, message);
        return false;
    }
    if (m_Json)
        m_Out << "{\"command\":\"open\",\"ok\":true}\n";
    else
        m_Out << "opened the control device\n";
    After();
    return true;
}

MsdscStatus Session::Call(const std::function<MsdscStatus(MsdscClient*)>& request, const char** message) {
    std::lock_guard<ClientLock> lock(m_ClientMutex);
    // Closed by an interrupt: the library's own answer for a client that is not open.
    if (!m_Client) {
        *message = MsdscStatusMessage(MsdscOperationClose, STATUS_INVALID_HANDLE_VALUE);
        return STATUS_INVALID_HANDLE_VALUE;
    }
    return request(m_Client);
}

bool Session::Execute(const Command& command) {
    bool goOn = true;
    switch (command.kind) {
    case CommandKind::Version: {
        uint16_t version[4] = {};
        const char* message = nullptr;
        const MsdscStatus status = Call([&](MsdscClient* client) { return MsdscGetVersion(client, version, &message); },
                                        &message);
        const std::string text = std::to_string(version[0]) + "." + std::to_string(version[1]) + "." +
                                 std::to_string(version[2]) + "." + std::to_string(version[3]);
        if (status < 0) {
            Failure("version", status, message);
        } else if (m_Json) {
            m_Out << "{\"command\":\"version\",\"ok\":true,\"version\":" << JsonString(text) << "}\n";
        } else {
            m_Out << "driver version " << text << "\n";
        }
        break;
    }
    case CommandKind::Add: {
        MsdscReaderHandle handle{};
        const char* message = nullptr;
        const MsdscStatus status = Call(
            [&](MsdscClient* client) {
                return MsdscAddReader(client, command.number, command.drive, command.log, &handle, &message);
            },
            &message);
        if (status < 0) {
            Failure("add", status, message);
            break;
        }
        const Reader reader{m_NextId++, command.number, command.drive, command.log, handle, false};
        m_Readers.push_back(reader);
        if (m_Json)
            m_Out << "{\"command\":\"add\",\"ok\":true,\"reader\":" << reader.id << ","
                  << ConfigJson(reader.number, reader.drive, reader.log) << ",\"handle\":"
                  << JsonString(FormatHandle(handle)) << "}\n";
        else
            m_Out << "added reader " << reader.id << " (" << ConfigText(reader.number, reader.drive, reader.log)
                  << "), handle " << FormatHandle(handle) << "\n";
        break;
    }
    case CommandKind::Remove: {
        MsdscReaderHandle handle = command.handle;
        Reader* known = nullptr;
        for (Reader& reader : m_Readers) {
            const bool match = command.fullHandle ? SameHandle(reader.handle, handle) : reader.id == command.readerId;
            if (match) known = &reader;
        }
        if (!command.fullHandle) {
            if (!known) {
                UsageFailure("remove: this session added no reader " + std::to_string(command.readerId));
                break;
            }
            // A reader removed already is asked for again: the driver's answer is the one to show.
            handle = known->handle;
        }
        const char* message = nullptr;
        const MsdscStatus status =
            Call([&](MsdscClient* client) { return MsdscRemoveReader(client, &handle, &message); }, &message);
        if (status < 0) {
            Failure("remove", status, message);
            break;
        }
        if (known) known->removed = true;
        if (m_Json) {
            m_Out << "{\"command\":\"remove\",\"ok\":true,";
            if (known) m_Out << "\"reader\":" << known->id << ",";
            m_Out << "\"handle\":" << JsonString(FormatHandle(handle)) << "}\n";
        } else {
            m_Out << "removed ";
            if (known) m_Out << "reader " << known->id << ", ";
            m_Out << "handle " << FormatHandle(handle) << "\n";
        }
        break;
    }
    case CommandKind::List: {
        size_t present = 0;
        for (const Reader& reader : m_Readers) present += reader.removed ? 0 : 1;
        if (m_Json) {
            m_Out << "{\"command\":\"list\",\"ok\":true,\"readers\":[";
            bool first = true;
            for (const Reader& reader : m_Readers) {
                if (reader.removed) continue;
                m_Out << (first ? "" : ",") << "{\"reader\":" << reader.id << "," << ConfigJson(reader.number, reader.drive, reader.log)
                      << ",\"handle\":" << JsonString(FormatHandle(reader.handle)) << "}";
                first = false;
            }
            m_Out << "]}\n";
        } else {
            m_Out << present << (present == 1 ? " reader" : " readers") << " added by this session\n";
            for (const Reader& reader : m_Readers)
                if (!reader.removed)
                    m_Out << "  reader " << reader.id << ": " << ConfigText(reader.number, reader.drive, reader.log) << ", handle "
                          << FormatHandle(reader.handle) << "\n";
        }
        break;
    }
    case CommandKind::Quit:
        goOn = false;
        break;
    case CommandKind::Help:
        if (m_Json)
            m_Out << "{\"command\":\"help\",\"ok\":true,\"help\":" << JsonString(HelpText()) << "}\n";
        else
            m_Out << HelpText();
        break;
    }
    // Quit shows nothing of its own; the close that follows does.
    if (goOn) After();
    return goOn;
}

void Session::RunAll(const std::vector<Command>& commands) {
    for (const Command& command : commands)
        if (!Execute(command)) return;
}

void Session::RunLines(std::istream& in) {
    std::string line;
    while ((prompt.empty() || m_Out << prompt << std::flush) && std::getline(in, line)) {
        const std::vector<std::string> words = SplitWords(line);
        size_t position = 0;
        while (position < words.size()) {
            Command command;
            std::string error;
            if (!ParseCommand(words, &position, &command, &error)) {
                UsageFailure(error);
                After();
                break;  // the rest of a line that went wrong is not guessed at
            }
            if (!Execute(command)) return;
        }
    }
}

void Session::Close() {
    size_t present = 0;
    for (const Reader& reader : m_Readers) present += reader.removed ? 0 : 1;
    const char* message = nullptr;
    MsdscStatus status;
    {
        std::lock_guard<ClientLock> lock(m_ClientMutex);
        if (!m_Client) return;
        status = MsdscClose(m_Client, &message);
        m_Client = nullptr;
    }
    if (status < 0) {
        Failure("close", status, message);
    } else {
        for (Reader& reader : m_Readers) reader.removed = true;
        if (m_Json)
            m_Out << "{\"command\":\"close\",\"ok\":true,\"readersRemoved\":" << present << "}\n";
        else
            m_Out << "closed the control device: the driver removes the " << present
                  << (present == 1 ? " reader" : " readers") << " still added\n";
    }
    After();
}

}  // namespace msdsc::tool
