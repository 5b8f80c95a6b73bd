// The command session of the tools: running each command on the held client, and its output as text
// or as JSON lines.
#include "session.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <istream>
#include <mutex>
#include <ostream>

namespace msdsc::tool {

namespace {

// What the library answers for a client that is not open, for a wait that ran out of time, and for
// a device list that did not fit; what the tools answer when no bus device is installed.
constexpr MsdscStatus STATUS_INVALID_HANDLE_VALUE = static_cast<MsdscStatus>(0xC0000008u);
constexpr MsdscStatus STATUS_BUFFER_OVERFLOW_VALUE = static_cast<MsdscStatus>(0x80000005u);
constexpr MsdscStatus STATUS_NO_SUCH_DEVICE_VALUE = static_cast<MsdscStatus>(0xC000000Eu);
constexpr MsdscStatus STATUS_IO_TIMEOUT_VALUE = static_cast<MsdscStatus>(0xC00000B5u);
constexpr MsdscStatus STATUS_CANCELLED_VALUE = static_cast<MsdscStatus>(0xC0000120u);
// How much of the input after a quit is echoed back.
constexpr size_t IGNORED_ECHO_LIMIT = 160;
const char NO_BUS_DEVICE[] = "no bus device installed";

// The configuration as the reader's hardware key holds it, and as the Plug and Play lines show it.
std::string ConfigText(const Session::Reader& reader)
{
    return "Number=" + std::to_string(reader.number) + ", Drive=" + std::to_string(reader.drive) +
           ", Log=" + std::to_string(reader.log);
}

Json& AddReader(Json& json, const Session::Reader& reader)
{
    return json.Add("readerNumber", uint64_t{reader.readerNumber})
        .Raw("config", Json(nullptr)
                           .Add("Number", uint64_t{reader.number})
                           .Add("Drive", uint64_t{reader.drive})
                           .Add("Log", uint64_t{reader.log})
                           .Object())
        .Add("handle", FormatHandle(reader.handle));
}

bool SameHandle(const MsdscReaderHandle& a, const MsdscReaderHandle& b)
{
    return std::memcmp(a.bytes, b.bytes, sizeof(a.bytes)) == 0;
}

// Wine's Plug and Play reports no node state: say so rather than guess, with what is known anyway.
const char STATE_NOT_REPORTED[] = "Wine reports no device node state";

std::string DeviceState(const MsdscReaderDevice& device)
{
    if (!device.stateReported) {
        if (device.started)
            return std::string("started (its function driver answered; ") + STATE_NOT_REPORTED + ")";
        return std::string("state unknown (") + STATE_NOT_REPORTED + ")";
    }
    if (!device.present)
        return "not present";
    std::string state = device.started ? "started" : "present, not started";
    if (device.problem)
        state += ", problem " + std::to_string(device.problem);
    return state;
}

std::string DeviceJson(const MsdscReaderDevice& device, bool ours)
{
    Json json("device");
    json.Add("readerNumber", uint64_t{device.readerNumber})
        .Add("instance", device.instancePath)
        .Add("present", device.present != 0)
        .Add("started", device.started != 0)
        .Add("problem", uint64_t{device.problem})
        .Add("driver", std::string(device.driver))
        .Add("stateReported", device.stateReported != 0)
        .Add("thisSession", ours);
    MsdscReaderConfiguration read{};
    if (device.present && MsdscReadReaderConfiguration(device.readerNumber, &read, nullptr) >= 0)
        json.Raw("read", Json("configuration")
                             .Add("Number", uint64_t{read.number})
                             .Add("Drive", uint64_t{read.drive})
                             .Add("Log", uint64_t{read.log})
                             .Add("Exists", uint64_t{read.exists})
                             .Object());
    return json.Object();
}

std::string VersionText(const uint16_t version[4])
{
    return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." + std::to_string(version[2]) + "." +
           std::to_string(version[3]);
}

} // namespace

Session::Session(std::ostream& out, OutputOptions options, std::ostream* errors)
    : m_Out(out), m_Errors(errors ? *errors : out), m_Options(options)
{}

Session::~Session()
{
    std::lock_guard<ClientLock> lock(m_ClientLock);
    if (m_Client)
        MsdscClose(m_Client, nullptr);
}

bool Session::IsOpen()
{
    std::lock_guard<ClientLock> lock(m_ClientLock);
    return m_Client != nullptr;
}

void Session::Note(const std::string& text, const std::string& jsonObject)
{
    if (m_Options.quiet)
        return;
    m_Out << (m_Options.json ? jsonObject : text) << "\n";
}

int Session::ExitCode() const
{
    const int ending = m_Ending.load();
    if (ending)
        return ending - 1 == static_cast<int>(Ending::Termination) ? EXIT_TERMINATED : EXIT_INTERRUPTED;
    return m_Usage ? EXIT_USAGE : m_NoDevice ? EXIT_NO_DEVICE : m_Failed ? EXIT_COMMAND_FAILED : EXIT_OK;
}

void Session::Summary(int exitCode, const std::string& verifierJson)
{
    if (!m_Options.json)
        return;
    Json json("summary");
    json.Add("ok", exitCode == EXIT_OK).Add("exitCode", static_cast<uint64_t>(static_cast<uint32_t>(exitCode)));
    if (!verifierJson.empty())
        json.Raw("verifier", verifierJson);
    m_Out << json.Line();
    m_Out.flush();
}

void Session::AwaitStop() const
{
    while (!m_StopSaid.load())
        Pause(10);
}

void Session::Refusal(const std::string& command, const std::string& message)
{
    m_Failed = true;
    if (m_Options.json) {
        m_Out << Json("error").Add("command", command).Add("ok", false).Add("message", message).Line();
    } else {
        m_Out.flush();
        Errors() << "error: " << message << "\n";
    }
}

void Session::Failure(const std::string& command, MsdscStatus status, const char* message, const std::string& detail)
{
    m_Failed = true;
    if (m_Options.json) {
        Json json("error");
        json.Add("command", command).Add("ok", false).Add("status", FormatStatus(status)).Add("message", message);
        if (!detail.empty())
            json.Add("detail", detail);
        m_Out << json.Line();
    } else {
        m_Out.flush();
        Errors() << "error: " << command << ": " << message << " (status " << FormatStatus(status) << ")"
                 << (detail.empty() ? "" : "; " + detail) << "\n";
    }
}

void Session::UsageFailure(const std::string& command, const std::string& message)
{
    m_Usage = true;
    if (m_Options.json) {
        m_Out << Json("usage-error").Add("command", command).Add("ok", false).Add("message", message).Line();
    } else {
        m_Out.flush();
        Errors() << "error: " << message << "\n";
    }
}

void Session::Ignored(const std::string& text)
{
    m_Failed = true;
    if (m_Options.json) {
        m_Out << Json("ignored")
                     .Add("command", m_QuitName)
                     .Add("ok", false)
                     .Add("input", Sanitized(text, IGNORED_ECHO_LIMIT))
                     .Add("message", "input after quit is not run")
                     .Line();
    } else {
        m_Out.flush();
        Errors() << "error: input after quit is not run: " << Sanitized(text, IGNORED_ECHO_LIMIT) << "\n";
    }
}

void Session::After()
{
    if (Stopping())
        return;
    m_Out.flush();
    m_Errors.flush();
    if (afterCommand)
        afterCommand();
    m_Out.flush();
}

MsdscStatus Session::Call(const std::function<MsdscStatus(MsdscClient*)>& request, const char** message)
{
    std::lock_guard<ClientLock> lock(m_ClientLock);
    if (!m_Client) {
        *message = MsdscStatusMessage(MsdscOperationClose, STATUS_INVALID_HANDLE_VALUE);
        return STATUS_INVALID_HANDLE_VALUE;
    }
    return request(m_Client);
}

MsdscStatus Session::ListDevices(std::vector<MsdscReaderDevice>* devices, const char** message)
{
    for (;;) {
        uint32_t count = 0;
        const MsdscStatus status =
            MsdscListReaderDevices(devices->data(), static_cast<uint32_t>(devices->size()), &count, message);
        if (status == STATUS_BUFFER_OVERFLOW_VALUE) {
            devices->resize(count); // more came since the count: ask again
            continue;
        }
        if (status >= 0)
            devices->resize(count);
        return status;
    }
}

bool Session::Open()
{
    const char* message = nullptr;
    MsdscStatus status;
    {
        std::lock_guard<ClientLock> lock(m_ClientLock);
        if (m_Client)
            return true;
        status = MsdscOpen(&m_Client, &message);
    }
    if (status < 0) {
        Failure("open", status, message);
        m_NoDevice = true;
        return false;
    }
    Note("opened the control device", Json("reply").Add("command", "open").Add("ok", true));
    return true;
}

void Session::DoVersion(const Command& command)
{
    if (!Open())
        return;
    uint16_t version[4] = {};
    const char* message = nullptr;
    const MsdscStatus status =
        Call([&](MsdscClient* client) { return MsdscGetVersion(client, version, &message); }, &message);
    if (status < 0)
        return Failure(command.name, status, message);
    if (m_Options.json)
        m_Out << Json("reply").Add("command", command.name).Add("ok", true).Add("version", VersionText(version)).Line();
    else
        m_Out << "driver version " << VersionText(version) << "\n";
}

void Session::DoAdd(const Command& command)
{
    if (!Open())
        return;
    // All ones until the driver answers: a reader half that holds no reader number tells a failed
    // add from an added reader whose wait failed.
    MsdscReaderHandle handle;
    std::memset(handle.bytes, 0xFF, sizeof(handle.bytes));
    MsdscReaderDevice device{};
    const char* message = nullptr;
    MsdscStatus status = Call(
        [&](MsdscClient* client) {
            return MsdscAddReader(client, command.number, command.drive, command.log, &handle, &message);
        },
        &message);
    uint32_t readerNumber = 0;
    if (MsdscReaderNumberOfHandle(&handle, &readerNumber, nullptr) < 0)
        return Failure(command.name, status, message);
    // The wait follows the reader the handle names, whatever became of others, and holds no lock:
    // a Ctrl+C ends it at its next slice.
    if (command.wait && status >= 0)
        status = WaitInSlices(
            [&](uint32_t slice) { return MsdscWaitForReader(&handle, MsdscWaitForStarted, slice, &device, &message); });
    m_Readers.push_back(Reader{readerNumber, command.number, command.drive, command.log, handle, false});
    const Reader& reader = m_Readers.back();
    Json json("reply");
    json.Add("command", command.name).Add("ok", true);
    AddReader(json, reader);
    const std::string added = "added reader " + std::to_string(reader.readerNumber) + " (" + ConfigText(reader) +
                              "), handle " + FormatHandle(handle);
    if (status < 0) {
        Note(added, json);
        if (Stopping())
            return;
        return Failure(command.name, status, message,
                       "reader " + std::to_string(readerNumber) +
                           (device.instancePath[0] ? std::string(" (") + device.instancePath + ")" : std::string()) +
                           " is " + (device.instancePath[0] ? DeviceState(device) : "not present"));
    }
    if (command.wait) {
        json.Add("instance", device.instancePath).Add("started", true);
        Note(added + ", started (" + device.instancePath + ")", json);
    } else {
        Note(added, json);
    }
}

void Session::DoRemove(const Command& command)
{
    MsdscReaderHandle handle = command.handle;
    Reader* known = nullptr;
    for (Reader& reader : m_Readers) {
        const bool named =
            command.fullHandle ? SameHandle(reader.handle, handle) : reader.readerNumber == command.readerNumber;
        // A number the session gave out twice (after a reload) names the reader still added.
        if (named && (!known || known->removed))
            known = &reader;
    }
    if (!command.fullHandle) {
        // A well-formed request this session cannot make: it failed, the command line was fine.
        if (!known)
            return Refusal(command.name,
                           command.name + ": this session added no reader " + std::to_string(command.readerNumber));
        // A reader removed already is asked for again: the driver's answer is the one to show.
        handle = known->handle;
    }
    if (!Open())
        return;
    const char* message = nullptr;
    const MsdscStatus status =
        Call([&](MsdscClient* client) { return MsdscRemoveReader(client, &handle, &message); }, &message);
    if (status < 0)
        return Failure(command.name, status, message);
    if (known)
        known->removed = true;
    uint32_t readerNumber = 0;
    const bool numbered = MsdscReaderNumberOfHandle(&handle, &readerNumber, nullptr) >= 0;
    Json json("reply");
    json.Add("command", command.name).Add("ok", true);
    if (numbered)
        json.Add("readerNumber", uint64_t{readerNumber});
    json.Add("handle", FormatHandle(handle));
    Note("removed " + (numbered ? "reader " + std::to_string(readerNumber) + ", " : std::string()) + "handle " +
             FormatHandle(handle),
         json);
}

void Session::DoList(const Command& command)
{
    size_t present = 0;
    std::string objects;
    for (const Reader& reader : m_Readers) {
        if (reader.removed)
            continue;
        ++present;
        Json json("reader");
        AddReader(json, reader);
        objects += (objects.empty() ? "" : ",") + json.Object();
    }
    if (m_Options.json) {
        m_Out << Json("reply").Add("command", command.name).Add("ok", true).Raw("readers", "[" + objects + "]").Line();
        return;
    }
    m_Out << present << (present == 1 ? " reader" : " readers") << " added by this session\n";
    for (const Reader& reader : m_Readers)
        if (!reader.removed)
            m_Out << "  reader " << reader.readerNumber << ": " << ConfigText(reader) << ", handle "
                  << FormatHandle(reader.handle) << "\n";
}

void Session::DoDevices(const Command& command)
{
    std::vector<MsdscReaderDevice> devices;
    const char* message = nullptr;
    const MsdscStatus status = ListDevices(&devices, &message);
    if (status < 0)
        return Failure(command.name, status, message);
    // The bus count only adds a remark: a device list that cannot say leaves it out.
    uint32_t buses = 0;
    const bool counted = MsdscCountBusDevices(&buses, nullptr) >= 0;
    auto ours = [&](const MsdscReaderDevice& device) {
        if (!device.present)
            return false;
        return std::any_of(m_Readers.begin(), m_Readers.end(), [&](const Reader& reader) {
            return !reader.removed && reader.readerNumber == device.readerNumber;
        });
    };
    if (m_Options.json) {
        std::string objects;
        for (const MsdscReaderDevice& device : devices)
            objects += (objects.empty() ? "" : ",") + DeviceJson(device, ours(device));
        Json json("reply");
        json.Add("command", command.name).Add("ok", true);
        if (counted)
            json.Add("buses", uint64_t{buses});
        m_Out << json.Raw("devices", "[" + objects + "]").Line();
        return;
    }
    if (counted && buses == 0)
        m_Out << NO_BUS_DEVICE << "\n";
    m_Out << devices.size() << (devices.size() == 1 ? " reader device node" : " reader device nodes") << "\n";
    for (const MsdscReaderDevice& device : devices) {
        m_Out << "  reader " << device.readerNumber << "  " << device.instancePath << "  " << DeviceState(device)
              << (device.driver[0] ? std::string("  driver ") + device.driver
                  : device.present ? "  no driver"
                                   : "")
              << (ours(device) ? "  (this session's)" : "") << "\n";
        // What the reader's function driver found in the hardware key, where it tells (the sample);
        // asked of every present reader, since Wine cannot say which one is started.
        MsdscReaderConfiguration read{};
        if (device.present && MsdscReadReaderConfiguration(device.readerNumber, &read, nullptr) >= 0)
            m_Out << "    read by " << device.driver << ": Number=" << read.number << " Drive=" << read.drive
                  << " Log=" << read.log << " Exists=" << read.exists << "\n";
    }
}

void Session::DoWait(const Command& command)
{
    const std::string number = std::to_string(command.readerNumber);
    uint32_t buses = 0;
    const char* message = nullptr;
    if (!command.gone && MsdscCountBusDevices(&buses, &message) >= 0 && buses == 0) {
        m_NoDevice = true;
        return Failure(command.name, STATUS_NO_SUCH_DEVICE_VALUE, NO_BUS_DEVICE, "reader " + number + " cannot start");
    }
    MsdscReaderDevice device{};
    const MsdscStatus status = WaitInSlices([&](uint32_t slice) {
        return MsdscWaitForReaderDevice(command.readerNumber, command.gone ? MsdscWaitForGone : MsdscWaitForStarted,
                                        slice, &device, &message);
    });
    if (Stopping())
        return;
    if (status < 0)
        return Failure(command.name, status, message,
                       "reader " + number + " is " + (device.instancePath[0] ? DeviceState(device) : "unknown"));
    const char* state = command.gone ? "gone" : "started";
    Json json("reply");
    json.Add("command", command.name)
        .Add("ok", true)
        .Add("readerNumber", uint64_t{command.readerNumber})
        .Add("state", state);
    if (device.instancePath[0])
        json.Add("instance", device.instancePath);
    Note("reader " + number + " is " + state +
             (device.instancePath[0] && !command.gone ? std::string(" (") + device.instancePath + ")" : std::string()),
         json);
}

bool Session::Execute(const Command& command)
{
    switch (command.kind) {
    case CommandKind::Version:
        DoVersion(command);
        break;
    case CommandKind::Add:
        DoAdd(command);
        break;
    case CommandKind::Remove:
        DoRemove(command);
        break;
    case CommandKind::List:
        DoList(command);
        break;
    case CommandKind::Devices:
        DoDevices(command);
        break;
    case CommandKind::Wait:
        DoWait(command);
        break;
    case CommandKind::Help:
        if (m_Options.json)
            m_Out << Json("reply").Add("command", command.name).Add("ok", true).Add("help", HelpText().c_str()).Line();
        else
            m_Out << HelpText();
        break;
    case CommandKind::Quit:
        // Quit shows nothing of its own; the close that follows answers it.
        m_QuitName = command.name;
        return false;
    }
    After();
    return true;
}

MsdscStatus Session::WaitInSlices(const std::function<MsdscStatus(uint32_t sliceMs)>& wait)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_WaitMs);
    for (;;) {
        if (Stopping())
            return STATUS_CANCELLED_VALUE;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const uint32_t slice = static_cast<uint32_t>(std::clamp<int64_t>(left.count(), 0, WAIT_SLICE_MS));
        const MsdscStatus status = wait(slice);
        if (status != STATUS_IO_TIMEOUT_VALUE || std::chrono::steady_clock::now() >= deadline)
            return status;
    }
}

bool Session::Step(const Command& command)
{
    std::lock_guard<ClientLock> step(m_StepLock);
    return !Stopping() && Execute(command);
}

void Session::RunAll(const std::vector<Command>& commands)
{
    for (size_t i = 0; i < commands.size(); ++i) {
        if (Step(commands[i]))
            continue;
        if (Stopping())
            return;
        for (size_t rest = i + 1; rest < commands.size(); ++rest)
            Ignored(commands[rest].text);
        return;
    }
}

void Session::RunInput(std::istream& in, bool terminal, const std::string& terminalPrompt)
{
    if (terminal && !m_Options.json)
        prompt = terminalPrompt;
    drainAfterQuit = !terminal;
    RunLines(in);
}

void Session::RunLines(std::istream& in)
{
    std::string line;
    while ((prompt.empty() || m_Out << prompt << std::flush) && std::getline(in, line)) {
        const std::vector<std::string> words = SplitWords(line);
        size_t position = 0;
        while (position < words.size()) {
            Command command;
            std::string error, name;
            if (!ParseCommand(words, &position, &command, &error, &name)) {
                std::lock_guard<ClientLock> step(m_StepLock);
                if (Stopping())
                    return;
                UsageFailure(name, error);
                After();
                break; // the rest of a line that went wrong is not guessed at
            }
            if (Step(command))
                continue;
            if (Stopping())
                return;
            std::string rest;
            for (size_t i = position; i < words.size(); ++i)
                rest += (rest.empty() ? "" : " ") + words[i];
            if (!rest.empty())
                Ignored(rest);
            while (drainAfterQuit && std::getline(in, line)) {
                std::string text;
                for (const std::string& word : SplitWords(line))
                    text += (text.empty() ? "" : " ") + word;
                if (!text.empty())
                    Ignored(text);
            }
            return;
        }
    }
}

void Session::Close()
{
    std::lock_guard<ClientLock> step(m_StepLock);
    if (Stopping())
        return; // Interrupt closes and says so
    size_t present = 0;
    for (const Reader& reader : m_Readers)
        present += reader.removed ? 0 : 1;
    const char* message = nullptr;
    MsdscStatus status;
    {
        std::lock_guard<ClientLock> lock(m_ClientLock);
        if (!m_Client)
            return;
        status = MsdscClose(m_Client, &message);
        m_Client = nullptr;
    }
    if (status < 0) {
        Failure(m_QuitName, status, message);
    } else {
        for (Reader& reader : m_Readers)
            reader.removed = true;
        Note("closed the control device: the driver removes the " + std::to_string(present) +
                 (present == 1 ? " reader" : " readers") + " still added",
             Json("reply").Add("command", m_QuitName).Add("ok", true).Add("readersRemoved", uint64_t{present}));
    }
    After();
}

bool Session::Interrupt(Ending ending)
{
    int running = 0;
    if (!m_Ending.compare_exchange_strong(running, 1 + static_cast<int>(ending)))
        return false;
    // The command under way ends at its next step; none starts after it.
    std::lock_guard<ClientLock> step(m_StepLock);
    bool wasOpen = false;
    uint64_t present = 0;
    for (const Reader& reader : m_Readers)
        present += reader.removed ? 0 : 1;
    {
        std::lock_guard<ClientLock> lock(m_ClientLock);
        if (m_Client) {
            MsdscClose(m_Client, nullptr);
            m_Client = nullptr;
            wasOpen = true;
        }
    }
    const bool interrupted = ending == Ending::Interrupt;
    const std::string cause = interrupted ? "Ctrl+C" : "a termination request";
    // Said also under --quiet: the readers went because of it.
    const std::string text =
        wasOpen ? "closed the control device on " + cause + ": the driver removes every reader of the session"
                : "stopped on " + cause + "; no control device was open";
    if (m_Options.json)
        m_Out << Json(interrupted ? "interrupted" : "terminated")
                     .Add("command", interrupted ? "interrupt" : "terminate")
                     .Add("ok", false)
                     .Add("message", text)
                     .Add("readersRemoved", wasOpen ? present : 0)
                     .Line();
    else
        m_Out << "\n" << (interrupted ? "interrupted: " : "terminated: ") << text << "\n";
    m_Out.flush();
    m_StopSaid = true;
    return true;
}

int CommandLineError(const char* program, const char* usage, bool json, const std::string& command,
                     const std::string& message, bool showUsage)
{
    if (json) {
        std::cout << Json("usage-error").Add("command", command).Add("ok", false).Add("message", message).Line();
        std::cout << Json("summary").Add("ok", false).Add("exitCode", uint64_t{EXIT_USAGE}).Line();
    } else {
        std::cerr << program << ": " << message << "\n";
        if (showUsage)
            std::cerr << usage;
    }
    return EXIT_USAGE;
}

} // namespace msdsc::tool
