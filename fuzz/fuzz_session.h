// What the control-device fuzzer's operations share: the input they read, the books of what the
// client and the test know of the system, which every answer is judged against, and the operations
// kept in files of their own (other requests and Plug and Play's actions, races of two requests).
#pragma once

#include <ntddk.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "msdscbus.h"
#include "msdscnames.h"
#include "simkernel/pnp.h"
#include "simkernel/user.h"

namespace msdsc_fuzz {

constexpr char16_t CONTROL_PATH[] = MSDSC_UTF16(MSDSC_CONTROL_USER_PATH);
constexpr char16_t CONTROL_DEVICE_PATH[] = MSDSC_UTF16(MSDSC_CONTROL_DEVICE_NAME);

// A broken expectation: printed and stopped on, so libFuzzer keeps the input.
[[noreturn]] void Finding(const char* what, long detail = 0);
void Expect(bool condition, const char* what, long detail = 0);

// Reads the input front to back; past its end every read gives zero.
class InputReader
{
public:
    InputReader(const uint8_t* data, size_t size) : m_Data(data), m_Size(size) {}

    bool Empty() const { return m_Offset >= m_Size; }
    uint8_t Byte() { return m_Offset < m_Size ? m_Data[m_Offset++] : 0; }
    uint32_t U32()
    {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value |= static_cast<uint32_t>(Byte()) << (8 * i);
        }
        return value;
    }
    void Bytes(uint8_t* out, size_t count)
    {
        for (size_t i = 0; i < count; ++i) {
            out[i] = Byte();
        }
    }

private:
    const uint8_t* m_Data;
    size_t m_Size;
    size_t m_Offset = 0;
};

// What the client and the test know of the system, to judge the driver's answers.
struct Session {
    PDRIVER_OBJECT driver = nullptr;
    std::vector<simk::pnp::DeviceNode*> buses; // registered with the driver
    std::vector<ULONG64> busHandles;           // theirs, read while their devices exist
    simk::user::Handle handle = nullptr;
    std::vector<BusReaderHandle> readers;      // handed out by successful adds
    std::vector<BusReaderHandle> live;         // of those, the ones neither removed nor gone with their bus
    std::vector<simk::user::Handle> onReaders; // handles an application holds on readers' stacks
    bool faultArmed = false;                   // answers under a shortage are not judged
    bool racing = false;                       // two requests at once: the cap is judged after, not during
    unsigned failDeviceCreation = 0;           // the armed IoCreateDevice call, counted from the arming
};

// The books' keepers (control_fuzzer.cpp).
size_t ReaderObjects(const Session& session);
void AdoptReader(Session& session, const BusReaderHandle& reply);
void ForgetBus(Session& session, simk::pnp::DeviceNode* node);
bool IsKnownBus(const Session& session, ULONG64 busHandle);
void Disarm(Session& session);

// Other requests and Plug and Play's actions on the devices (fuzz_devices.cpp).
void OtherRequest(Session& session, InputReader& input);
void DevicePnp(Session& session, InputReader& input);
void CloseReaderHandles(Session& session);

// Two requests at once on two threads, at a lock boundary the input names (fuzz_races.cpp).
void Race(Session& session, InputReader& input);

} // namespace msdsc_fuzz
