// The battery's scenarios of what Plug and Play does to a reader that stays on its bus, and of a
// reader pulled from under an open handle: surprise removal while open, disable and enable,
// restart, DIF remove, query-remove and cancel-remove.
#include "context.h"

#include "msdscclient_platform.h"
#include "msdscsample.h"

namespace msdsc::battery {

namespace {

// The control request sent on a handle whose reader is gone: the sample's own. Any other driver
// must refuse an unknown code as promptly as a known one on a removed device.
constexpr uint32_t PROBE_CODE = IOCTL_SAMPLE_GET_CONFIGURATION;
constexpr MsdscStatus NOT_FOUND = static_cast<MsdscStatus>(0xC0000225u);

std::string ReaderName(const Context::Reader& reader) { return "reader " + std::to_string(reader.number); }

// A reader added and started, or null with the finding made.
Context::Reader* StartedReader(Context& context, uint32_t seed)
{
    Context::Reader* reader = context.Add(seed);
    if (!reader || !context.WaitStarted(*reader) || !context.CheckValues(*reader))
        return nullptr;
    return reader;
}

// Opens the reader's function device through its interface; skips the scenario when the driver
// registers none of the class the battery was given.
std::unique_ptr<InterfaceHandle> OpenOrSkip(Context& context, const Context::Reader& reader)
{
    std::unique_ptr<InterfaceHandle> handle;
    const MsdscStatus status = context.platform.OpenInterface(reader.number, &handle);
    if (status == NOT_FOUND)
        context.Skip("the function driver has no enabled device interface of the battery's class for " +
                     ReaderName(reader) + " (--interface names another class)");
    else if (status < 0)
        context.Fail("opening " + ReaderName(reader) + " through its interface failed (" + Context::StatusText(status) +
                     ")");
    return handle;
}

// The reader comes back as it was: started, the same values, and the session's handle still names it.
bool CameBack(Context& context, const Context::Reader& reader, const char* after)
{
    double took = 0;
    if (!context.WaitStarted(reader, &took) || !context.CheckValues(reader))
        return false;
    MsdscReaderDevice device{};
    const MsdscStatus status = MsdscWaitForReader(&reader.handle, MsdscWaitForStarted, 0, &device, nullptr);
    if (status < 0 || device.readerNumber != reader.number) {
        context.Fail("after " + std::string(after) + " the session's handle no longer names " + ReaderName(reader) +
                     " (" + Context::StatusText(status) + ")");
        return false;
    }
    context.Note(ReaderName(reader) + " started again " + Milliseconds(took) + " after " + after +
                 ", same number and values");
    return true;
}

} // namespace

void SurpriseRemovalWhileOpen(Context& context)
{
    if (const char* reason = context.platform.CannotDo(Action::InterfaceHandle))
        return context.Skip(reason);
    Context::Reader* reader = StartedReader(context, 300);
    if (!reader)
        return;
    std::unique_ptr<InterfaceHandle> handle = OpenOrSkip(context, *reader);
    if (!handle)
        return;
    // The bus stops reporting the reader: for its stack a true surprise removal.
    if (!context.Remove(*reader)) {
        context.platform.Close(std::move(handle));
        return;
    }
    // Where the node's presence cannot be seen (Wine), only the interface and the I/O are judged.
    const NodeLook look = context.platform.Look(reader->number);
    if (context.platform.JudgesStartByInterface())
        context.Note("whether the node waits for the close cannot be seen on " + std::string(context.platform.Name()));
    else if (!look.lingering)
        context.Fail(Context::Describe(reader->number, look) + " while a handle is still open on it");
    if (context.platform.InterfaceEnabled(reader->number))
        context.Fail(ReaderName(*reader) +
                     ": its function driver's interface is still enabled after the surprise removal, with a "
                     "handle open");
    const auto start = std::chrono::steady_clock::now();
    const ProbeResult probe = context.platform.Probe(*handle, PROBE_CODE, context.options.ioTimeoutMs);
    if (!probe.completed)
        context.Fail("a control request on the open handle of removed " + ReaderName(*reader) +
                     " did not complete within " + Milliseconds(context.options.ioTimeoutMs) +
                     ": I/O hangs after the surprise removal");
    else if (probe.status >= 0)
        context.Fail("a control request on the open handle of removed " + ReaderName(*reader) + " succeeded (" +
                     Context::StatusText(probe.status) + ")");
    else
        context.Note("I/O on the handle after the removal failed in " + Milliseconds(Since(start)) + " with " +
                     Context::StatusText(probe.status));
    context.platform.Close(std::move(handle));
    double took = 0;
    if (context.WaitGone(reader->number, &took))
        context.Note(ReaderName(*reader) + "'s node left " + Milliseconds(took) + " after the handle closed");
}

void DisableRestartDifRemove(Context& context)
{
    Platform& platform = context.platform;
    const char* disable = platform.CannotDo(Action::Disable);
    const char* restart = platform.CannotDo(Action::Restart);
    const char* difRemove = platform.CannotDo(Action::DifRemove);
    if (disable && restart && difRemove)
        return context.Skip(disable);
    Context::Reader* reader = StartedReader(context, 400);
    if (!reader)
        return;
    Veto veto;
    if (disable) {
        context.Note(std::string("disable and enable not run: ") + disable);
    } else if (const MsdscStatus status = platform.Disable(reader->number, &veto); status < 0) {
        return context.Fail("disabling " + ReaderName(*reader) + " failed (" + Context::StatusText(status) + ", " +
                            Context::VetoText(veto) + ")");
    } else {
        const NodeLook look = platform.Look(reader->number);
        if (look.started)
            return context.Fail(Context::Describe(reader->number, look) + " after it was disabled");
        context.Note(Context::Describe(reader->number, look) + " after the disable");
        if (const MsdscStatus enabled = platform.Enable(reader->number); enabled < 0)
            return context.Fail("enabling " + ReaderName(*reader) + " failed (" + Context::StatusText(enabled) +
                                "): " + context.Describe(reader->number));
        if (!CameBack(context, *reader, "the enable"))
            return;
    }
    if (restart) {
        context.Note(std::string("restart not run: ") + restart);
    } else if (const MsdscStatus status = platform.Restart(reader->number, &veto); status < 0) {
        return context.Fail("restarting " + ReaderName(*reader) + " failed (" + Context::StatusText(status) +
                            (veto.type.empty() ? std::string() : ", " + Context::VetoText(veto)) +
                            "): " + context.Describe(reader->number));
    } else if (!CameBack(context, *reader, "the restart")) {
        return;
    }
    if (difRemove) {
        context.Note(std::string("DIF remove not run: ") + difRemove);
    } else if (const MsdscStatus status = platform.DifRemoveAndRescan(reader->number); status < 0) {
        return context.Fail("DIF remove of " + ReaderName(*reader) + " failed (" + Context::StatusText(status) +
                            "): " + context.Describe(reader->number));
    } else {
        CameBack(context, *reader, "DIF remove and re-scan");
    }
}

void QueryRemoveWithHandle(Context& context)
{
    Platform& platform = context.platform;
    if (const char* reason = platform.CannotDo(Action::QueryRemove))
        return context.Skip(reason);
    Context::Reader* reader = StartedReader(context, 500);
    if (!reader)
        return;
    std::unique_ptr<InterfaceHandle> handle;
    if (platform.CannotDo(Action::InterfaceHandle) || platform.OpenInterface(reader->number, &handle) < 0)
        context.Note("no interface to hold open: the query-remove is tried without a handle only");
    Veto veto;
    if (handle) {
        const MsdscStatus status = platform.QueryRemove(reader->number, &veto);
        if (status < 0) {
            // A veto is an answer, not a failure: a driver may refuse while a client uses it, and
            // Windows itself refuses for the open handle. The cancel-remove must leave it started.
            context.Note("query-remove with a handle open: " + Context::VetoText(veto) + " (" +
                         Context::StatusText(status) + ")" +
                         (veto.type == "Device" ? ", the driver's answer" : ", for the open handle"));
            const NodeLook look = platform.Look(reader->number);
            if (!look.started)
                context.Fail(Context::Describe(reader->number, look) +
                             " after the cancel-remove that followed the veto");
        } else {
            context.Note("query-remove with a handle open went through");
            if (const MsdscStatus back = platform.Reinstate(reader->number); back < 0)
                context.Fail("bringing " + ReaderName(*reader) + " back failed (" + Context::StatusText(back) +
                             "): " + context.Describe(reader->number));
            else
                CameBack(context, *reader, "the removal");
        }
        platform.Close(std::move(handle));
        if (context.Failed())
            return;
    }
    veto = Veto{};
    const MsdscStatus status = platform.QueryRemove(reader->number, &veto);
    if (status < 0)
        return context.Fail("query-remove of " + ReaderName(*reader) + " with no handle open was refused: " +
                            Context::VetoText(veto) + " (" + Context::StatusText(status) + ")");
    const NodeLook look = platform.Look(reader->number);
    if (look.started)
        return context.Fail(Context::Describe(reader->number, look) + " after a query-remove that went through");
    context.Note("with no handle open the removal went through");
    if (const MsdscStatus back = platform.Reinstate(reader->number); back < 0)
        return context.Fail("bringing " + ReaderName(*reader) + " back failed (" + Context::StatusText(back) +
                            "): " + context.Describe(reader->number));
    CameBack(context, *reader, "the removal");
}

} // namespace msdsc::battery
