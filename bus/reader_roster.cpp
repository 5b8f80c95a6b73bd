// The removal protocol of a bus's readers. A reader leaves its bus only when the client removes
// it, when the client's session ends or when the bus itself goes; Plug and Play's own removals
// (a restart, a disable, a driver update, an uninstall) leave it on the bus with its number and
// configuration, ready to start again. Its device object goes at the first removal that follows a
// relations reply no longer listing it, the documented rule for bus drivers ("Removing a Device in
// a Bus Driver"); one that Plug and Play never learnt of goes without one, since none will come.
//
// Plug and Play knows a reader once a request only it sends to a new child has reached the reader:
// IRP_MN_DEVICE_ENUMERATED, which Windows 7 and later send once a child "has been fully enumerated",
// or the identity queries (IRP_MN_QUERY_ID) it sends every new child first. Systems before Windows 7
// never send the former, so there the first identity query alone is the sign; the rule holds on
// both. A reply that reached the bus's lower stack proves nothing: a filter above the bus may still
// fail it on its way up. Plug and Play processes one enumeration of a bus at a time and identifies
// the children a reply brought before it asks the bus again, so a reader that left the bus and had
// no such request by the time the next reply is settled was never known, and goes then.
#include <ntddk.h>
#include "bus/reader_roster.h"
#include "bus/bus_device.h"
#include "reader/reader_device.h"
#include "driver/diagnostics.h"

// The one place a reader's state changes: the old value is kept as its history. Under the
// reader's own spin lock only, which a power request at DISPATCH_LEVEL may take.
void ReaderRoster::Record(ReaderDevice* Reader, ReaderState NewState)
{
    KIRQL irql;
    KeAcquireSpinLock(&Reader->m_StateLock, &irql);
    Reader->m_PreviousState = Reader->m_State;
    Reader->m_State = NewState;
    KeReleaseSpinLock(&Reader->m_StateLock, irql);
}

// A cancelled query-remove: the state before it comes back.
void ReaderRoster::RecordPrevious(ReaderDevice* Reader)
{
    KIRQL irql;
    KeAcquireSpinLock(&Reader->m_StateLock, &irql);
    Reader->m_State = Reader->m_PreviousState;
    KeReleaseSpinLock(&Reader->m_StateLock, irql);
}

void ReaderRoster::DeleteReader(ReaderDevice* Reader)
{
    MSDSC_EVENT("reader %u deleted", static_cast<unsigned>(Reader->m_ReaderNumber));
    KIRQL irql;
    KeAcquireSpinLock(&Reader->m_StateLock, &irql);
    Reader->m_PreviousState = ReaderState::Deleted;
    Reader->m_State = ReaderState::Deleted;
    KeReleaseSpinLock(&Reader->m_StateLock, irql);
    Reader->Delete();
}

ReaderDevice* ReaderRoster::ReaderOfLink(PLIST_ENTRY Link)
{
    return CONTAINING_RECORD(CONTAINING_RECORD(Link, RosterMarks, m_DepartedLink), ReaderDevice, m_Marks);
}

// Readers to delete once the list's hold has ended, chained through their departed links.
void ReaderRoster::DeleteChained(PLIST_ENTRY Chain)
{
    while (!IsListEmpty(Chain)) {
        DeleteReader(ReaderOfLink(RemoveHeadList(Chain)));
    }
}

ReaderRoster::ReaderRoster(BusDevice* Bus)
    : m_Readers(TRUE, PagedPool, DEVICE_LIST_ENTRY_TAG), m_Bus(Bus), m_RepliesBuilt(0), m_ReplyInFlight(0),
      m_ReplyDelivered(0), m_Pulled(false)
{
    InitializeListHead(&m_Departed);
}

ReaderRoster::~ReaderRoster() { m_Readers.Clear(); }

ULONG ReaderRoster::Count() { return m_Readers.Count(); }

NTSTATUS ReaderRoster::Add(ReaderDevice* Reader)
{
    DeviceListEntry* entry = m_Readers.AllocateEntry();
    if (entry == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PVOID listKey = ReaderKey(Reader->m_ReaderNumber);
    if (m_Readers.InsertUnique(Reader, &listKey, entry) != Ok) {
        // The list has freed the entry it refused.
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

// Under the hold of m_Readers, for a reader whose entry the caller has just taken out: true when
// no reply that listed it came back from the bus's lower stack or is still on its way, so nobody
// will ever remove it and the caller deletes it once the hold ends.
bool ReaderRoster::LeaveLocked(ReaderDevice* Reader)
{
    RosterMarks& marks = Reader->m_Marks;
    Record(Reader, ReaderState::Unplugged);
    marks.m_LeftAfter = m_RepliesBuilt;
    MSDSC_EVENT("reader %u left bus %u", static_cast<unsigned>(Reader->m_ReaderNumber),
                static_cast<unsigned>(m_Bus->Serial()));
    const ULONG64 first = marks.m_FirstListedIn;
    if (marks.m_KnownToPnp) {
        marks.m_Standing = RosterMarks::Standing::LeftKnown;
    } else if (first != 0 && (m_ReplyDelivered >= first || m_ReplyInFlight >= first)) {
        // Every reply since the first that listed it did too, and one of them may still bring it
        // to Plug and Play: the next reply decides.
        marks.m_Standing = RosterMarks::Standing::LeftUnseen;
    } else {
        return true;
    }
    InsertTailList(&m_Departed, &marks.m_DepartedLink);
    return false;
}

// Under the hold of m_Readers: Plug and Play has been told the reader is gone, so the removal it
// sends now is the last.
bool ReaderRoster::ReportedMissingLocked(const ReaderDevice* Reader) const
{
    const RosterMarks& marks = Reader->m_Marks;
    if (marks.m_Standing == RosterMarks::Standing::OnBus) {
        return false;
    }
    return m_Pulled || (marks.m_Standing == RosterMarks::Standing::LeftKnown && m_ReplyDelivered > marks.m_LeftAfter);
}

NTSTATUS ReaderRoster::TakeOff(ULONG64 ReaderHandle)
{
    const PVOID key = ReaderKey(MsdscReaderHandleNumber(ReaderHandle));
    ReaderDevice* unknownToPnp = nullptr;
    {
        // One hold from the lookup to the state change: the reader's own removal decides under the
        // same hold whether it is gone, so it cannot vanish between the two. No mutex: a removal
        // only lowers the count that the bus's query-remove tests.
        ListHold hold(m_Readers);
        PVOID payload = nullptr;
        if (m_Readers.Find(key, &payload) != Ok || static_cast<ReaderDevice*>(payload)->Handle() != ReaderHandle) {
            return STATUS_UNSUCCESSFUL;
        }
        // Removals of one reader overlap (the client, the session's end); only the one whose
        // Remove took the entry moves the reader on.
        if (m_Readers.Remove(key) != Ok) {
            return STATUS_SUCCESS;
        }
        ReaderDevice* reader = static_cast<ReaderDevice*>(payload);
        if (LeaveLocked(reader)) {
            unknownToPnp = reader;
        }
    }
    if (unknownToPnp != nullptr) {
        // No reply listed it, so the relations Plug and Play holds have not changed.
        DeleteReader(unknownToPnp);
        return STATUS_SUCCESS;
    }
    IoInvalidateDeviceRelations(m_Bus->m_PhysicalDeviceObject, BusRelations);
    return STATUS_SUCCESS;
}

NTSTATUS ReaderRoster::Report(ULONG64 ReaderHandle, ULONG DeviceState)
{
    // Under the hold, so neither the client's removal nor Plug and Play's can take the reader away
    // between the test and the call; IoInvalidateDeviceState only queues the query, which runs
    // later on a thread of its own.
    ListHold hold(m_Readers);
    PVOID payload = nullptr;
    if (m_Readers.Find(ReaderKey(MsdscReaderHandleNumber(ReaderHandle)), &payload) != Ok ||
        static_cast<ReaderDevice*>(payload)->Handle() != ReaderHandle) {
        return STATUS_UNSUCCESSFUL;
    }
    ReaderDevice* reader = static_cast<ReaderDevice*>(payload);
    if (reader->State() != ReaderState::Started) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    InterlockedOr(&reader->m_ReportedDeviceState, static_cast<LONG>(DeviceState));
    IoInvalidateDeviceState(reader->m_DeviceObject);
    return STATUS_SUCCESS;
}

// Under the hold of m_Readers: takes the entry at *Index or after it off the list and returns its
// reader; null once none is left. The payload is taken before the entry goes; an entry another
// removal took first is that removal's, and is stepped over.
ReaderDevice* ReaderRoster::TakeNextLocked(LONG* Index)
{
    PVOID key = nullptr;
    PVOID payload = nullptr;
    while (m_Readers.GetAt(*Index, &key, &payload) == Ok) {
        if (m_Readers.Remove(key) == Ok) {
            return static_cast<ReaderDevice*>(payload);
        }
        ++*Index;
    }
    return nullptr;
}

void ReaderRoster::TakeAllOff()
{
    LIST_ENTRY unknownToPnp;
    InitializeListHead(&unknownToPnp);
    {
        ListHold hold(m_Readers);
        LONG index = 0;
        while (ReaderDevice* reader = TakeNextLocked(&index)) {
            if (LeaveLocked(reader)) {
                InsertTailList(&unknownToPnp, &reader->m_Marks.m_DepartedLink);
            }
        }
    }
    DeleteChained(&unknownToPnp);
    // Every bus is enumerated again, also one that had no readers.
    IoInvalidateDeviceRelations(m_Bus->m_PhysicalDeviceObject, BusRelations);
}

NTSTATUS ReaderRoster::BuildReply(PDEVICE_RELATIONS* Relations, ULONG ExtraSlots)
{
    // Held for the whole build, so the count and the entries belong to one state of the list.
    ListHold hold(m_Readers);
    const ULONG readers = m_Readers.Count();
    // Counted in 64 bits: no count of extra objects can wrap the size into a small block.
    SIZE_T slots = static_cast<SIZE_T>(readers) + ExtraSlots;
    if (slots <= 1) {
        slots = 1;
    }
    // DEVICE_RELATIONS already holds one slot, so the block always has one more than it fills.
    const SIZE_T size = sizeof(DEVICE_RELATIONS) + slots * sizeof(PDEVICE_OBJECT);
    PDEVICE_RELATIONS relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, BUS_RELATIONS_TAG));
    if (relations == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    relations->Count = readers;
    PDEVICE_OBJECT* objects = relations->Objects;
    // One walk of the held list gives the same reply as fetching each position in turn, at a cost
    // that stays flat per reader however many there are. The slots first hold the readers, then
    // their device objects.
    PVOID* readerSlots = reinterpret_cast<PVOID*>(objects);
    if (m_Readers.GetPayloads(readerSlots, readers) != Ok) {
        ExFreePoolWithTag(relations, BUS_RELATIONS_TAG);
        return STATUS_UNSUCCESSFUL;
    }
    // Still under the hold, so a removal of one of them sees the reply on its way; a failed build
    // reports nothing and marks nothing.
    m_ReplyInFlight = ++m_RepliesBuilt;
    for (ULONG i = 0; i < readers; ++i) {
        ReaderDevice* reader = static_cast<ReaderDevice*>(readerSlots[i]);
        if (reader->m_Marks.m_FirstListedIn == 0) {
            reader->m_Marks.m_FirstListedIn = m_ReplyInFlight;
        }
        objects[i] = reader->m_DeviceObject;
    }
    *Relations = relations;
    return STATUS_SUCCESS;
}

void ReaderRoster::SettleReply(bool Delivered)
{
    LIST_ENTRY neverKnown;
    InitializeListHead(&neverKnown);
    {
        ListHold hold(m_Readers);
        const ULONG64 settled = m_ReplyInFlight;
        if (Delivered) {
            m_ReplyDelivered = settled;
        }
        m_ReplyInFlight = 0;
        PLIST_ENTRY link = m_Departed.Flink;
        while (link != &m_Departed) {
            ReaderDevice* reader = ReaderOfLink(link);
            link = link->Flink;
            RosterMarks& marks = reader->m_Marks;
            // Plug and Play asked for this reply only once it had finished with every earlier one,
            // so a reader that left before it was built and was never identified never reached
            // Plug and Play: nobody will remove it. One that left while this reply was on its way
            // waits for the next, as Plug and Play may yet identify it from an earlier reply.
            if (marks.m_Standing != RosterMarks::Standing::LeftUnseen || marks.m_LeftAfter >= settled) {
                continue;
            }
            RemoveEntryList(&marks.m_DepartedLink);
            InsertTailList(&neverKnown, &marks.m_DepartedLink);
        }
    }
    DeleteChained(&neverKnown);
}

void ReaderRoster::BusPulled()
{
    // Plug and Play removes a pulled bus's children with it, and no relations reply comes from a
    // bus that is gone: every removal from now on is its reader's last.
    ListHold hold(m_Readers);
    m_Pulled = true;
}

void ReaderRoster::ReleaseAll()
{
    LIST_ENTRY doomed;
    InitializeListHead(&doomed);
    {
        ListHold hold(m_Readers);
        // Windows removes a bus's children before the bus, so a reader still on it is one Plug and
        // Play removed while the bus still reported it, or one it never saw.
        LONG index = 0;
        while (ReaderDevice* reader = TakeNextLocked(&index)) {
            Record(reader, ReaderState::Unplugged);
            reader->m_Marks.m_Standing = RosterMarks::Standing::LeftKnown;
            InsertTailList(&m_Departed, &reader->m_Marks.m_DepartedLink);
        }
        while (!IsListEmpty(&m_Departed)) {
            ReaderDevice* reader = ReaderOfLink(RemoveHeadList(&m_Departed));
            if (reader->m_Marks.m_Announced == RosterMarks::Announced::FinalRemoval) {
                // Its final removal waits for a handle on its stack and comes after the bus is gone.
                InitializeListHead(&reader->m_Marks.m_DepartedLink);
                reader->m_Bus = nullptr;
                MSDSC_EVENT("reader %u outlives bus %u until its final removal",
                            static_cast<unsigned>(reader->m_ReaderNumber), static_cast<unsigned>(m_Bus->Serial()));
                continue;
            }
            InsertTailList(&doomed, &reader->m_Marks.m_DepartedLink);
        }
    }
    DeleteChained(&doomed);
}

namespace {

// Plug and Play and the power manager change a reader's state and marks on their own threads, while
// the client's removal, the session's end and the bus's removal change them under the hold of the
// bus's reader list: the requests take the same hold. A reader cut loose from a bus that is gone has
// no other writer left.
// The hold is taken only when the reader still has a bus, which the analysis cannot follow; nothing
// it guards that the analysis knows of is touched under it.
class ChildHold
{
public:
    explicit ChildHold(DeviceList* Readers) NO_THREAD_SAFETY_ANALYSIS : m_Readers(Readers)
    {
        if (m_Readers != nullptr) {
            m_Readers->Hold();
        }
    }
    ~ChildHold() NO_THREAD_SAFETY_ANALYSIS
    {
        if (m_Readers != nullptr) {
            m_Readers->Release();
        }
    }

    ChildHold(const ChildHold&) = delete;
    ChildHold& operator=(const ChildHold&) = delete;

private:
    DeviceList* m_Readers;
};

} // namespace

DeviceList* ReaderRoster::ListOf(ReaderDevice* Reader)
{
    return Reader->m_Bus != nullptr ? &Reader->m_Bus->m_Roster.m_Readers : nullptr;
}

void ReaderRoster::ChildKnown(ReaderDevice* Reader)
{
    ChildHold hold(ListOf(Reader));
    RosterMarks& marks = Reader->m_Marks;
    marks.m_KnownToPnp = true;
    if (marks.m_Standing == RosterMarks::Standing::LeftUnseen) {
        // Off the bus already: its removal comes once a reply without it reaches Plug and Play.
        marks.m_Standing = RosterMarks::Standing::LeftKnown;
    }
}

void ReaderRoster::ChildStarted(ReaderDevice* Reader)
{
    ChildHold hold(ListOf(Reader));
    Record(Reader, ReaderState::Started);
}

void ReaderRoster::ChildQueryRemoved(ReaderDevice* Reader)
{
    ChildHold hold(ListOf(Reader));
    Reader->m_Marks.m_Announced = RosterMarks::Announced::QueryRemove;
    Record(Reader, ReaderState::RemovePending);
}

void ReaderRoster::ChildCancelRemoved(ReaderDevice* Reader)
{
    ChildHold hold(ListOf(Reader));
    // Plug and Play also cancels the removal of devices it never queried (the children and removal
    // relations of the device whose removal failed): only a query-remove is undone.
    if (Reader->m_Marks.m_Announced != RosterMarks::Announced::QueryRemove) {
        return;
    }
    Reader->m_Marks.m_Announced = RosterMarks::Announced::Nothing;
    RecordPrevious(Reader);
}

void ReaderRoster::ChildSurpriseRemoved(ReaderDevice* Reader)
{
    ChildHold hold(ListOf(Reader));
    // The removal follows, perhaps only once the last handle on the stack has closed. The reader
    // stays on its bus: a stack that failed while the bus still reports it keeps its device.
    Reader->m_Marks.m_Announced = RosterMarks::Announced::FinalRemoval;
}

void ReaderRoster::ChildRemoved(ReaderDevice* Reader)
{
    // Decided from the roster's marks, never from m_State: a power request may have overwritten
    // that on the way out.
    BusDevice* bus = Reader->m_Bus;
    if (bus == nullptr) {
        // Cut loose when its bus went: this is the removal it waited for.
        DeleteReader(Reader);
        return;
    }
    ReaderRoster& roster = bus->m_Roster;
    bool last = false;
    {
        // Under the list's hold: the client's removal and the session's end take readers off under
        // the same hold, so the reader is never deleted between their lookup and their state change.
        ListHold hold(roster.m_Readers);
        RosterMarks& marks = Reader->m_Marks;
        marks.m_Announced = RosterMarks::Announced::Nothing;
        if (marks.m_Standing == RosterMarks::Standing::OnBus) {
            if (roster.m_Pulled && roster.m_Readers.Remove(ReaderKey(Reader->m_ReaderNumber)) == Ok) {
                // Gone with its bus.
                marks.m_Standing = RosterMarks::Standing::LeftKnown;
                last = true;
            } else {
                // Plug and Play keeps the node of a device its bus still reports (a restart, a
                // disable, a driver update, an uninstall) and may start it again.
                MSDSC_EVENT("reader %u removed by Plug and Play, stays on bus %u",
                            static_cast<unsigned>(Reader->m_ReaderNumber), static_cast<unsigned>(bus->Serial()));
                Record(Reader, ReaderState::NotStarted);
            }
        } else if (roster.ReportedMissingLocked(Reader)) {
            RemoveEntryList(&marks.m_DepartedLink);
            last = true;
        }
        // Otherwise it left the bus but the reply that says so has not reached Plug and Play yet,
        // which sends another removal once it has.
    }
    if (last) {
        DeleteReader(Reader);
    }
}

void ReaderRoster::ChildPowered(ReaderDevice* Reader, DEVICE_POWER_STATE State)
{
    // This overwrites whatever the removal protocol left, Unplugged included; the marks decide the
    // removal, not the state. No list hold: a stack that is not DO_POWER_PAGABLE gets its power
    // requests at DISPATCH_LEVEL, and the state has a lock of its own.
    Record(Reader, State == PowerDeviceD0 ? ReaderState::Started : ReaderState::NotStarted);
}
