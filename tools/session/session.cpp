// The command session of the tools: parsing, running on the held handle, plain-text and JSON output.
#include "session.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <istream>
#include <ostream>

namespace msdsc::tool {

namespace {

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

std::string ConfigText(const ReaderConfig& config) {
    return "number " + std::to_string(config.Number) + ", drive " + std::to_string(config.Drive) + ", log " +
           std::to_string(config.Log);
}

std::string ConfigJson(const ReaderConfig& config) {
    return "\"number\":" + std::to_string(config.Number) + ",\"drive\":" + std::to_string(config.Drive) +
           ",\"log\":" + std::to_string(config.Log);
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

bool ParseFullHandle(const std::string& text, BusReaderHandle* handle) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    uint64_t bus = 0, reader = 0;
    if (!ParseUnsigned64Hex(text.substr(0, colon), &bus) || !ParseUnsigned64Hex(text.substr(colon + 1), &reader))
        return false;
    handle->BusHandle = bus;
    handle->ReaderHandle = reader;
    return true;
}

std::string FormatHandle(const BusReaderHandle& handle) {
    char text[48];
    std::snprintf(text, sizeof(text), "%016" PRIx64 ":%016" PRIx64, static_cast<uint64_t>(handle.BusHandle),
                  static_cast<uint64_t>(handle.ReaderHandle));
    return text;
}

std::string FormatStatus(NTSTATUS status) {
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
        parsed.config.Number = values[0];
        parsed.config.Drive = values[1];
        parsed.config.Log = values[2];
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
            *error = "remove: HANDLE is a reader number from 'add' or 'list', or BUS:READER in hexadecimal, not '" +
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

Session::Session(ControlClient& client, std::ostream& out, bool json) : m_Client(client), m_Out(out), m_Json(json) {}

void Session::Failure(const char* command, MsdscOperation operation, NTSTATUS status) {
    m_Failed = true;
    const char* message = MsdscStatusMessage(operation, status);
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
    const NTSTATUS status = m_Client.Open();
    if (!NT_SUCCESS(status)) {
        Failure("open", MsdscOperationOpen, status);
        return false;
    }
    if (m_Json)
        m_Out << "{\"command\":\"open\",\"ok\":true}\n";
    else
        m_Out << "opened the control device\n";
    After();
    return true;
}

bool Session::Execute(const Command& command) {
    bool goOn = true;
    switch (command.kind) {
    case CommandKind::Version: {
        DriverVersion version{};
        const NTSTATUS status = m_Client.GetVersion(&version);
        if (!NT_SUCCESS(status)) {
            Failure("version", MsdscOperationGetVersion, status);
        } else if (m_Json) {
            m_Out << "{\"command\":\"version\",\"ok\":true,\"version\":" << JsonString(FormatVersion(version)) << "}\n";
        } else {
            m_Out << "driver version " << FormatVersion(version) << "\n";
        }
        break;
    }
    case CommandKind::Add: {
        BusReaderHandle handle{};
        const NTSTATUS status = m_Client.AddReader(command.config, &handle);
        if (!NT_SUCCESS(status)) {
            Failure("add", MsdscOperationAddReader, status);
            break;
        }
        const Reader reader{m_NextId++, command.config, handle, false};
        m_Readers.push_back(reader);
        if (m_Json)
            m_Out << "{\"command\":\"add\",\"ok\":true,\"reader\":" << reader.id << "," << ConfigJson(reader.config)
                  << ",\"handle\":" << JsonString(FormatHandle(handle)) << "}\n";
        else
            m_Out << "added reader " << reader.id << " (" << ConfigText(reader.config) << "), handle "
                  << FormatHandle(handle) << "\n";
        break;
    }
    case CommandKind::Remove: {
        BusReaderHandle handle = command.handle;
        Reader* known = nullptr;
        for (Reader& reader : m_Readers) {
            const bool match = command.fullHandle ? reader.handle.BusHandle == handle.BusHandle &&
                                                        reader.handle.ReaderHandle == handle.ReaderHandle
                                                  : reader.id == command.readerId;
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
        const NTSTATUS status = m_Client.RemoveReader(handle);
        if (!NT_SUCCESS(status)) {
            Failure("remove", MsdscOperationRemoveReader, status);
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
                m_Out << (first ? "" : ",") << "{\"reader\":" << reader.id << "," << ConfigJson(reader.config)
                      << ",\"handle\":" << JsonString(FormatHandle(reader.handle)) << "}";
                first = false;
            }
            m_Out << "]}\n";
        } else {
            m_Out << present << (present == 1 ? " reader" : " readers") << " added by this session\n";
            for (const Reader& reader : m_Readers)
                if (!reader.removed)
                    m_Out << "  reader " << reader.id << ": " << ConfigText(reader.config) << ", handle "
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
    if (!m_Client.IsOpen()) return;
    size_t present = 0;
    for (const Reader& reader : m_Readers) present += reader.removed ? 0 : 1;
    const NTSTATUS status = m_Client.Close();
    if (!NT_SUCCESS(status)) {
        Failure("close", MsdscOperationClose, status);
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
