// What the battery asks of the machine it runs on, beyond the client library: the Plug and Play
// actions a user or an installer takes on a reader's device node, the reader's hardware key, the
// function driver's device interface, and what only the simulated kernel can tell (its verifier,
// the function driver's pool). One implementation per platform: the configuration manager and
// SetupAPI on Windows (platform_windows.cpp), the simulated Plug and Play manager in the host build
// (platform_host.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "msdscclient.h"

namespace msdsc::battery {

// The actions a scenario may need; a platform that cannot take one says why, and the scenario is
// skipped with that reason.
enum class Action {
    Disable,         // CM_Disable_DevNode, then CM_Enable_DevNode
    Restart,         // CM_Query_And_Remove_SubTree, then CM_Setup_DevNode
    DifRemove,       // SetupDiCallClassInstaller(DIF_REMOVE), then CM_Reenumerate_DevNode of the bus
    QueryRemove,     // CM_Query_And_Remove_SubTree with a handle open, a veto read back
    InterfaceHandle, // a handle opened on the function device through its device interface
};

// A reader's device node as the platform shows it.
struct NodeLook {
    bool present = false;   // in the device tree, not on its way out
    bool lingering = false; // reported missing, kept in the tree for a handle still open
    bool started = false;
    uint32_t problem = 0; // CM_PROB_*; 0 when none
    std::string instancePath;
};

// Who refused a removal: PNP_VETO_TYPE's name ("Device", "OutstandingOpen", ...) and the name the
// platform gave with it (the vetoing device's instance path or driver).
struct Veto {
    std::string type;
    std::string name;
};

// The outcome of one control request on an interface handle.
struct ProbeResult {
    bool completed = false; // false: still pending when the time ran out
    MsdscStatus status = 0;
};

class InterfaceHandle
{
public:
    virtual ~InterfaceHandle() = default;
};

class Platform
{
public:
    virtual ~Platform() = default;
    // "the simulated kernel", "Windows", "Wine"
    virtual const char* Name() const = 0;
    // Null when the platform can take the action; otherwise why not, one sentence.
    virtual const char* CannotDo(Action action) const = 0;
    // Wine's device view cannot tell a started node (it says none is): there a start is judged by
    // the function driver's interface becoming enabled.
    virtual bool JudgesStartByInterface() const { return false; }

    // The reader's present node by reader number; present false when there is none.
    virtual NodeLook Look(uint32_t reader) = 0;
    // Device nodes with the reader's hardware ID the platform keeps, present or not.
    virtual uint32_t RecordedNodes() = 0;
    // "Number", "Drive", "Log", "Exists" from the reader's hardware key; empty where missing.
    virtual void ReadHardwareValues(uint32_t reader, std::optional<uint32_t> values[4]) = 0;

    // The configuration manager's actions on the reader's node. A veto fills *veto and returns the
    // failure; a node that is not there returns STATUS_NO_SUCH_DEVICE.
    virtual MsdscStatus Disable(uint32_t reader, Veto* veto) = 0;
    virtual MsdscStatus Enable(uint32_t reader) = 0;
    virtual MsdscStatus Restart(uint32_t reader, Veto* veto) = 0;
    virtual MsdscStatus QueryRemove(uint32_t reader, Veto* veto) = 0;
    // Brings a node back after QueryRemove.
    virtual MsdscStatus Reinstate(uint32_t reader) = 0;
    virtual MsdscStatus DifRemoveAndRescan(uint32_t reader) = 0;

    // The function driver's interface of the battery's interface class for the reader.
    virtual bool InterfaceEnabled(uint32_t reader) = 0;
    // STATUS_NOT_FOUND (0xC0000225) when the reader has no enabled interface of that class.
    virtual MsdscStatus OpenInterface(uint32_t reader, std::unique_ptr<InterfaceHandle>* handle) = 0;
    // One control request, waited for at most timeoutMs; a request still pending stays with the
    // handle, and its close ends it.
    virtual ProbeResult Probe(InterfaceHandle& handle, uint32_t code, uint32_t timeoutMs) = 0;
    virtual void Close(std::unique_ptr<InterfaceHandle> handle) = 0;

    // Pool the reader's function driver (every driver over the readers) holds now; empty where the
    // platform cannot say.
    struct Pool {
        size_t blocks = 0;
        std::string byTag; // "Smpl 1, IoSB 2"
    };
    virtual std::optional<Pool> FunctionDriverPool() = 0;
    // Verifier violations since the last call ("Rule: details"); empty where there is no verifier.
    virtual std::vector<std::string> TakeViolations() = 0;
};

// The platform the client library is built for. interfaceClass: "{GUID}" of the function driver's
// interface to open.
std::unique_ptr<Platform> MakePlatform(const char* interfaceClass, std::string* error);

} // namespace msdsc::battery
