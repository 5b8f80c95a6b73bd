// A bus's bookkeeping of its readers, and with it the whole removal protocol: which readers the bus
// reports, which of them Plug and Play has learnt of, what each reader's state is, and when a
// reader's device object may go. Nothing outside reader_roster.cpp writes any of it.
#pragma once
#include <ntddk.h>
#include "driver/kernel_support.h"
#include "registry/device_list.h"

class BusDevice;
class ReaderDevice;
enum class ReaderState : ULONG;

// A reader's marks in the protocol. They live in the reader and only the roster reads or writes
// them; the reader's Plug and Play and power handlers report their requests to the roster instead.
class RosterMarks
{
public:
    RosterMarks() { InitializeListHead(&m_DepartedLink); }

private:
    friend class ReaderRoster;

    // Where the reader stands towards Plug and Play's picture of the bus.
    enum class Standing : UCHAR {
        OnBus,      // in m_Readers: every relations reply from now on lists it
        LeftUnseen, // off the bus, listed in a reply, but no request of Plug and Play's has reached it
        LeftKnown,  // off the bus, and Plug and Play has it
    };
    // The removal Plug and Play has announced to the reader's stack.
    enum class Announced : UCHAR {
        Nothing,
        QueryRemove,  // between a query-remove and the removal or the cancel
        FinalRemoval, // surprise-removed: the removal comes, perhaps only at the last handle's close
    };

    Standing m_Standing = Standing::OnBus;
    Announced m_Announced = Announced::Nothing;
    bool m_KnownToPnp = false;   // a request only Plug and Play sends to a new child has reached it
    ULONG64 m_FirstListedIn = 0; // the first reply that listed it; 0: none yet
    ULONG64 m_LeftAfter = 0;     // the last reply built before it left the bus
    LIST_ENTRY m_DepartedLink;   // in the roster's m_Departed while it waits off the bus
};

class ReaderRoster
{
public:
    // Bus-relations replies; Plug and Play frees them.
    static constexpr ULONG BUS_RELATIONS_TAG = MakePoolTag("msbp");

    explicit ReaderRoster(BusDevice* Bus);
    // Frees the list's entries; the readers are already deleted or cut loose by the bus's removal.
    ~ReaderRoster();

    ReaderRoster(const ReaderRoster&) = delete;
    ReaderRoster& operator=(const ReaderRoster&) = delete;

    // A new reader joins the bus; called under the bus's m_Mutex, after the m_Started test.
    NTSTATUS Add(ReaderDevice* Reader);
    // The client's removal: the reader leaves the bus. STATUS_UNSUCCESSFUL when no reader on it
    // has this handle (an earlier reader's handle names the number but not the generation).
    NTSTATUS TakeOff(ULONG64 ReaderHandle);
    // The client's fault injection: the started reader with this handle adds DeviceState (a
    // PNP_DEVICE_* flag) to what it reports, and Plug and Play is asked to query it. Refused with
    // STATUS_UNSUCCESSFUL when no reader on the bus has the handle (stale, or of an earlier
    // session, whose readers all left at its end), STATUS_INVALID_DEVICE_STATE when it is not
    // started; nothing is asked then.
    NTSTATUS Report(ULONG64 ReaderHandle, ULONG DeviceState);
    // The session's end: every reader leaves the bus, and the bus is enumerated again.
    void TakeAllOff();
    ULONG Count();

    // A relations reply listing the bus's readers, with room for ExtraSlots more objects; on
    // failure *Relations is unchanged. Then, once the stack below has answered, whether the reply
    // reached Plug and Play.
    NTSTATUS BuildReply(PDEVICE_RELATIONS* Relations, ULONG ExtraSlots);
    void SettleReply(bool Delivered);

    // The bus went from the machine: its readers go with it, each at the removal Plug and Play
    // sends it.
    void BusPulled();
    // The bus's own removal: every reader still here is deleted, except one whose final removal
    // an open handle holds back, which is cut loose and goes at that removal.
    void ReleaseAll();

    // What Plug and Play and the power manager did to one reader. Static: a reader cut loose from
    // a bus that is gone still hears its last requests.
    // Plug and Play identified the reader or said it has enumerated it: it knows the reader now.
    static void ChildKnown(ReaderDevice* Reader);
    static void ChildStarted(ReaderDevice* Reader);
    static void ChildQueryRemoved(ReaderDevice* Reader);
    static void ChildCancelRemoved(ReaderDevice* Reader);
    static void ChildSurpriseRemoved(ReaderDevice* Reader);
    // Deletes the reader when this removal is its last; otherwise it stays for a later start.
    static void ChildRemoved(ReaderDevice* Reader);
    static void ChildPowered(ReaderDevice* Reader, DEVICE_POWER_STATE State);

    // The readers on the bus: key ReaderKey(number), payload the ReaderDevice, in order of
    // creation. Its lock is the innermost (the order is in driver/kernel_support.h). Read it
    // freely; only the verbs above change it.
    DeviceList m_Readers;

private:
    static void Record(ReaderDevice* Reader, ReaderState NewState);
    static void RecordPrevious(ReaderDevice* Reader);
    // The reader list of the reader's bus; null for a reader cut loose from a bus that is gone.
    static DeviceList* ListOf(ReaderDevice* Reader);
    static void DeleteReader(ReaderDevice* Reader);
    static ReaderDevice* ReaderOfLink(PLIST_ENTRY Link);
    static void DeleteChained(PLIST_ENTRY Chain);
    ReaderDevice* TakeNextLocked(LONG* Index) REQUIRES(m_Readers);
    bool LeaveLocked(ReaderDevice* Reader) REQUIRES(m_Readers);
    bool ReportedMissingLocked(const ReaderDevice* Reader) const REQUIRES(m_Readers);

    BusDevice* m_Bus;
    // Readers off the bus that still exist, waiting for Plug and Play's removal or for the reply
    // on its way down.
    LIST_ENTRY m_Departed GUARDED_BY(m_Readers);
    // Relations replies, numbered from 1: the last one built, the one on its way down the stack
    // (0: none; Plug and Play sends one query at a time), and the last one that reached Plug and
    // Play.
    ULONG64 m_RepliesBuilt GUARDED_BY(m_Readers);
    ULONG64 m_ReplyInFlight GUARDED_BY(m_Readers);
    ULONG64 m_ReplyDelivered GUARDED_BY(m_Readers);
    // The bus was surprise-removed: no reply will ever report a reader missing again.
    bool m_Pulled GUARDED_BY(m_Readers);
};
