// The command session of the tools: running each command on the held client, and its output as text
// or as JSON lines.
#include "session.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <istream>
#include <mutex>
#include <ostream>

namespace msdsc::tool {

namespace {

// What the library answers for a client that is not open, and for a wait that ran out of time.
constexpr MsdscStatus STATUS_INVALID_HANDLE_VALUE = static_cast<MsdscStatus>(0xC0000008u);
constexpr MsdscStatus STATUS_IO_TIMEOUT_VALUE = static_cast<MsdscStatus>(0xC00000B5u);
constexpr MsdscStatus STATUS_BUFFER_OVERFLOW_VALUE = static_cast<MsdscStatus>(0x80000005u);
// Between two looks at Plug and Play while the session waits for its readers' device nodes.
constexpr unsigned POLL_MS = 20;

std::string ConfigText(const Session::Reader& reader) {
    return "number " + std::to_string(reader.number) + ", drive " + std::to_string(reader.drive) + ", log " +
           std::to_string(reader.log);
}

Json& AddConfig(Json& json, const Session::Reader& reader) {
    return json.Add("reader", uint64_t{reader.id})
        .Add("number", uint64_t{reader.number})
        .Add("drive", uint64_t{reader.drive})
        .Add("log", uint64_t{reader.log})
        .Add("handle", FormatHandle(reader.handle));
}

bool SameHandle(const MsdscReaderHandle& a, const MsdscReaderHandle& b) {
    return std::memcmp(a.bytes, b.bytes, sizeof(a.bytes)) == 0;
}

std::string DeviceState(const MsdscReaderDevice& device) {
    if (!device.present) return "not present";
    std::string state = device.started ? "started" : "present, not started";
    if (device.problem) state += ", problem " + std::to_string(device.problem);
    return state;
}

std::string DeviceJson(const MsdscReaderDevice& device, const Session::Reader* reader) {
    Json json("device");
    json.Add("readerNumber", uint64_t{device.readerNumber})
        .Add("instance", device.instancePath)
        .Add("present", device.present != 0)
        .Add("started", device.started != 0)
        .Add("problem", uint64_t{device.problem})
        .Add("driver", std::string(device.driver));
    MsdscReaderConfiguration read{};
    if (device.present && MsdscReadReaderConfiguration(device.readerNumber, &read, nullptr) >= 0)
        json.Raw("read", Json("configuration")
                             .Add("Number", uint64_t{read.number})
                             .Add("Drive", uint64_t{read.drive})
                             .Add("Log", uint64_t{read.log})
                             .Add("Exists", uint64_t{read.exists})
                             .Object());
    if (reader) json.Add("reader", uint64_t{reader->id});
    return json.Object();
}

std::string VersionText(const uint16_t version[4]) {
    return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." + std::to_string(version[2]) + "." +
           std::to_string(version[3]);
}

}  // namespace

Session::Session(std::ostream& out, OutputOptions options) : m_Out(out), m_Options(options) {}

Session::~Session() {
    std::lock_guard<ClientLock> lock(m_ClientLock);
    if (m_Client) MsdscClose(m_Client, nullptr);
}

bool Session::IsOpen() {
    std::lock_guard<ClientLock> lock(m_ClientLock);
    return m_Client != nullptr;
}

void Session::Note(const std::string& text, const std::string& jsonObject) {
    if (m_Options.quiet) return;
    m_Out << (m_Options.json ? jsonObject : text) << "\n";
}

void Session::Failure(const std::string& command, MsdscStatus status, const char* message, const std::string& detail) {
    m_Failed = true;
    if (m_Options.json) {
        Json json("error");
        json.Add("command", command).Add("status", FormatStatus(status)).Add("message", message);
        if (!detail.empty()) json.Add("detail", detail);
        m_Out << json.Line();
    } else {
        m_Out << "error: " << command << ": " << message << " (status " << FormatStatus(status) << ")"
              << (detail.empty() ? "" : "; " + detail) << "\n";
    }
}

void Session::UsageFailure(const std::string& command, const std::string& message) {
    m_Failed = true;
    if (m_Options.json)
        m_Out << Json("usage-error").Add("command", command).Add("message", message).Line();
    else
        m_Out << "error: " << message << "\n";
}

void Session::Ignored(const std::string& text) {
    m_Failed = true;
    if (m_Options.json)
        m_Out << Json("ignored").Add("command", "quit").Add("input", text).Add("message", "input after quit is not run").Line();
    else
        m_Out << "error: input after quit is not run: " << text << "\n";
}

void Session::After() {
    m_Out.flush();
    if (afterCommand) afterCommand();
    m_Out.flush();
}

MsdscStatus Session::Call(const std::function<MsdscStatus(MsdscClient*)>& request, const char** message) {
    std::lock_guard<ClientLock> lock(m_ClientLock);
    if (!m_Client) {
        *message = MsdscStatusMessage(MsdscOperationClose, STATUS_INVALID_HANDLE_VALUE);
        return STATUS_INVALID_HANDLE_VALUE;
    }
    return request(m_Client);
}

MsdscStatus Session::ListDevices(std::vector<MsdscReaderDevice>* devices, const char** message) {
    for (;;) {
        uint32_t count = 0;
        const MsdscStatus status = MsdscListReaderDevices(devices->data(), static_cast<uint32_t>(devices->size()),
                                                          &count, message);
        if (status == STATUS_BUFFER_OVERFLOW_VALUE) {
            devices->resize(count);  // more came since the count: ask again
            continue;
        }
        if (status >= 0) devices->resize(count);
        return status;
    }
}

bool Session::Open() {
    const char* message = nullptr;
    MsdscStatus status;
    {
        std::lock_guard<ClientLock> lock(m_ClientLock);
        status = m_Client ? MsdscStatus{0} : MsdscOpen(&m_Client, &message);
    }
    if (status < 0) {
        Failure("open", status, message);
        return false;
    }
    // Readers present now are not this session's: the control device admits one client, and a
    // closed client's readers are gone (except under Wine, which sends no cleanup).
    std::vector<MsdscReaderDevice> devices;
    if (ListDevices(&devices, &message) >= 0)
        for (const MsdscReaderDevice& device : devices)
            if (device.present) m_Foreign.push_back(device.readerNumber);
    Note("opened the control device", Json("reply").Add("command", "open").Add("ok", true));
    After();
    return true;
}

void Session::DoVersion(const Command& command) {
    uint16_t version[4] = {};
    const char* message = nullptr;
    const MsdscStatus status =
        Call([&](MsdscClient* client) { return MsdscGetVersion(client, version, &message); }, &message);
    if (status < 0) return Failure(command.name, status, message);
    if (m_Options.json)
        m_Out << Json("reply").Add("command", command.name).Add("ok", true).Add("version", VersionText(version)).Line();
    else
        m_Out << "driver version " << VersionText(version) << "\n";
}

void Session::DoAdd(const Command& command) {
    MsdscReaderHandle handle{};
    const char* message = nullptr;
    const MsdscStatus status = Call(
        [&](MsdscClient* client) {
            return MsdscAddReader(client, command.number, command.drive, command.log, &handle, &message);
        },
        &message);
    if (status < 0) return Failure(command.name, status, message);
    m_Readers.push_back(Reader{m_NextId++, command.number, command.drive, command.log, handle, false, std::nullopt});
    Reader& reader = m_Readers.back();
    std::string started;
    Json json("reply");
    json.Add("command", command.name).Add("ok", true);
    AddConfig(json, reader);
    if (command.wait) {
        std::string detail;
        std::vector<MsdscReaderDevice> devices;
        const MsdscStatus waited = WaitForStarted(reader, &detail, &devices);
        if (waited < 0) {
            Note("added reader " + std::to_string(reader.id) + " (" + ConfigText(reader) + "), handle " +
                     FormatHandle(handle),
                 json);
            return Failure(command.name, waited, MsdscStatusMessage(MsdscOperationWaitForDevice, waited), detail);
        }
        json.Add("readerNumber", uint64_t{*reader.readerNumber}).Add("instance", detail).Add("started", true);
        started = ", started as reader number " + std::to_string(*reader.readerNumber) + " (" + detail + ")";
    }
    Note("added reader " + std::to_string(reader.id) + " (" + ConfigText(reader) + "), handle " + FormatHandle(handle) +
             started,
         json);
}

void Session::DoRemove(const Command& command) {
    MsdscReaderHandle handle = command.handle;
    Reader* known = nullptr;
    for (Reader& reader : m_Readers)
        if (command.fullHandle ? SameHandle(reader.handle, handle) : reader.id == command.readerId) known = &reader;
    if (!command.fullHandle) {
        if (!known)
            return UsageFailure(command.name, "remove: this session added no reader " + std::to_string(command.readerId));
        // A reader removed already is asked for again: the driver's answer is the one to show.
        handle = known->handle;
    }
    const char* message = nullptr;
    const MsdscStatus status =
        Call([&](MsdscClient* client) { return MsdscRemoveReader(client, &handle, &message); }, &message);
    if (status < 0) return Failure(command.name, status, message);
    if (known) known->removed = true;
    Json json("reply");
    json.Add("command", command.name).Add("ok", true);
    if (known) json.Add("reader", uint64_t{known->id});
    json.Add("handle", FormatHandle(handle));
    Note("removed " + (known ? "reader " + std::to_string(known->id) + ", " : std::string()) + "handle " +
             FormatHandle(handle),
         json);
}

void Session::DoList(const Command& command) {
    size_t present = 0;
    std::string objects;
    for (const Reader& reader : m_Readers) {
        if (reader.removed) continue;
        ++present;
        Json json("reader");
        AddConfig(json, reader);
        if (reader.readerNumber) json.Add("readerNumber", uint64_t{*reader.readerNumber});
        objects += (objects.empty() ? "" : ",") + json.Object();
    }
    if (m_Options.json) {
        m_Out << Json("reply").Add("command", command.name).Add("ok", true).Raw("readers", "[" + objects + "]").Line();
        return;
    }
    m_Out << present << (present == 1 ? " reader" : " readers") << " added by this session\n";
    for (const Reader& reader : m_Readers)
        if (!reader.removed)
            m_Out << "  reader " << reader.id << ": " << ConfigText(reader) << ", handle " << FormatHandle(reader.handle)
                  << (reader.readerNumber ? ", reader number " + std::to_string(*reader.readerNumber) : "") << "\n";
}

void Session::DoDevices(const Command& command) {
    std::vector<MsdscReaderDevice> devices;
    const char* message = nullptr;
    const MsdscStatus status = ListDevices(&devices, &message);
    if (status < 0) return Failure(command.name, status, message);
    auto owner = [&](const MsdscReaderDevice& device) -> const Reader* {
        if (!device.present) return nullptr;
        for (const Reader& reader : m_Readers)
            if (!reader.removed && reader.readerNumber == device.readerNumber) return &reader;
        return nullptr;
    };
    if (m_Options.json) {
        std::string objects;
        for (const MsdscReaderDevice& device : devices)
            objects += (objects.empty() ? "" : ",") + DeviceJson(device, owner(device));
        m_Out << Json("reply").Add("command", command.name).Add("ok", true).Raw("devices", "[" + objects + "]").Line();
        return;
    }
    m_Out << devices.size() << (devices.size() == 1 ? " reader device node" : " reader device nodes") << "\n";
    for (const MsdscReaderDevice& device : devices) {
        const Reader* reader = owner(device);
        m_Out << "  reader number " << device.readerNumber << "  " << device.instancePath << "  " << DeviceState(device)
              << (device.driver[0] ? std::string("  driver ") + device.driver : device.present ? "  no driver" : "")
              << (reader ? "  (reader " + std::to_string(reader->id) + " of this session)" : "") << "\n";
        // What the reader's function driver found in the hardware key, where it tells (the sample);
        // asked of every present reader, since Wine cannot say which one is started.
        MsdscReaderConfiguration read{};
        if (device.present && MsdscReadReaderConfiguration(device.readerNumber, &read, nullptr) >= 0)
            m_Out << "    read by " << device.driver << ": Number=" << read.number << " Drive=" << read.drive
                  << " Log=" << read.log << " Exists=" << read.exists << "\n";
    }
}

void Session::DoWait(const Command& command) {
    MsdscReaderDevice device{};
    const char* message = nullptr;
    const MsdscStatus status = MsdscWaitForReaderDevice(
        command.readerNumber, command.gone ? MsdscWaitForGone : MsdscWaitForStarted, m_WaitMs, &device, &message);
    const std::string number = std::to_string(command.readerNumber);
    if (status < 0)
        return Failure(command.name, status, message,
                       "reader number " + number + " is " + (device.instancePath[0] ? DeviceState(device) : "unknown"));
    const char* state = command.gone ? "gone" : "started";
    Json json("reply");
    json.Add("command", command.name).Add("ok", true).Add("readerNumber", uint64_t{command.readerNumber}).Add("state", state);
    if (device.instancePath[0]) json.Add("instance", device.instancePath);
    Note("reader number " + number + " is " + state + (device.instancePath[0] && !command.gone
                                                            ? std::string(" (") + device.instancePath + ")"
                                                            : std::string()),
         json);
}

// Which device node is which reader: the handle says nothing (its bytes are the driver's), but the
// driver numbers readers in the order it creates them and never reuses a number while loaded, and
// only this session adds readers while it holds the control device. So once the present nodes that
// are neither foreign nor a removed reader's are exactly as many as the session's live readers, in
// increasing number they are those readers in the order they were added.
MsdscStatus Session::WaitForStarted(Reader& target, std::string* detail, std::vector<MsdscReaderDevice>* devices) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_WaitMs);
    for (;;) {
        const char* message = nullptr;
        const MsdscStatus status = ListDevices(devices, &message);
        if (status < 0) {
            *detail = message;
            return status;
        }
        std::vector<const MsdscReaderDevice*> mine;
        for (const MsdscReaderDevice& device : *devices) {
            if (!device.present ||
                std::find(m_Foreign.begin(), m_Foreign.end(), device.readerNumber) != m_Foreign.end())
                continue;
            const bool removedReader = std::any_of(m_Readers.begin(), m_Readers.end(), [&](const Reader& reader) {
                return reader.removed && reader.readerNumber == device.readerNumber;
            });
            if (!removedReader) mine.push_back(&device);
        }
        std::vector<Reader*> live;
        for (Reader& reader : m_Readers)
            if (!reader.removed) live.push_back(&reader);
        const MsdscReaderDevice* targetDevice = nullptr;
        if (mine.size() == live.size()) {
            for (size_t i = 0; i < live.size(); ++i) {
                live[i]->readerNumber = mine[i]->readerNumber;
                if (live[i] == &target) targetDevice = mine[i];
            }
        }
        if (targetDevice && targetDevice->started) {
            *detail = targetDevice->instancePath;
            return 0;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            *detail = targetDevice ? "reader number " + std::to_string(targetDevice->readerNumber) + " (" +
                                         targetDevice->instancePath + ") is " + DeviceState(*targetDevice)
                                   : std::to_string(mine.size()) + " device node(s) present for the session's " +
                                         std::to_string(live.size()) + " reader(s)";
            return STATUS_IO_TIMEOUT_VALUE;
        }
        Pause(POLL_MS);
    }
}

bool Session::Execute(const Command& command) {
    switch (command.kind) {
    case CommandKind::Version: DoVersion(command); break;
    case CommandKind::Add: DoAdd(command); break;
    case CommandKind::Remove: DoRemove(command); break;
    case CommandKind::List: DoList(command); break;
    case CommandKind::Devices: DoDevices(command); break;
    case CommandKind::Wait: DoWait(command); break;
    case CommandKind::Help:
        if (m_Options.json)
            m_Out << Json("reply").Add("command", command.name).Add("ok", true).Add("help", HelpText()).Line();
        else
            m_Out << HelpText();
        break;
    case CommandKind::Quit:
        // Quit shows nothing of its own; the close that follows does.
        return false;
    }
    After();
    return true;
}

void Session::RunAll(const std::vector<Command>& commands) {
    for (size_t i = 0; i < commands.size(); ++i) {
        if (Execute(commands[i])) continue;
        for (size_t rest = i + 1; rest < commands.size(); ++rest) Ignored(commands[rest].text);
        return;
    }
}

void Session::RunLines(std::istream& in) {
    std::string line;
    while ((prompt.empty() || m_Out << prompt << std::flush) && std::getline(in, line)) {
        const std::vector<std::string> words = SplitWords(line);
        size_t position = 0;
        while (position < words.size()) {
            Command command;
            std::string error, name;
            if (!ParseCommand(words, &position, &command, &error, &name)) {
                UsageFailure(name, error);
                After();
                break;  // the rest of a line that went wrong is not guessed at
            }
            if (Execute(command)) continue;
            std::string rest;
            for (size_t i = position; i < words.size(); ++i) rest += (rest.empty() ? "" : " ") + words[i];
            if (!rest.empty()) Ignored(rest);
            while (drainAfterQuit && std::getline(in, line)) {
                std::string text;
                for (const std::string& word : SplitWords(line)) text += (text.empty() ? "" : " ") + word;
                if (!text.empty()) Ignored(text);
            }
            return;
        }
    }
}

void Session::Close() {
    size_t present = 0;
    for (const Reader& reader : m_Readers) present += reader.removed ? 0 : 1;
    const char* message = nullptr;
    MsdscStatus status;
    {
        std::lock_guard<ClientLock> lock(m_ClientLock);
        if (!m_Client) return;
        status = MsdscClose(m_Client, &message);
        m_Client = nullptr;
    }
    if (status < 0) {
        Failure("close", status, message);
    } else {
        for (Reader& reader : m_Readers) reader.removed = true;
        Note("closed the control device: the driver removes the " + std::to_string(present) +
                 (present == 1 ? " reader" : " readers") + " still added",
             Json("reply").Add("command", "close").Add("ok", true).Add("readersRemoved", uint64_t{present}));
    }
    After();
}

bool Session::Interrupt() {
    std::lock_guard<ClientLock> lock(m_ClientLock);
    if (!m_Client) return false;
    MsdscClose(m_Client, nullptr);
    m_Client = nullptr;
    // Said also under --quiet: the readers went because of it.
    const char* text = "closed the control device on Ctrl+C: the driver removes every reader of the session";
    if (m_Options.json)
        m_Out << Json("interrupted").Add("command", "interrupt").Add("message", text).Line();
    else
        m_Out << "\ninterrupted: " << text << "\n";
    m_Out.flush();
    return true;
}

}  // namespace msdsc::tool
