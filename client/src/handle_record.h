// The process's record of the reader handles its clients were given, so that a handle outlived by
// its reader is told apart from the reader that took its number since: Plug and Play shows readers
// by number only, and the driver gives a freed number to the next reader.
#pragma once

#include <cstdint>

#include "msdscclient.h"

namespace msdsc::handles {

// An add of `owner` returned `handle`: it is live, and every other handle of the same reader number
// this process holds is stale from now on (its reader is gone, the number names another).
void Issued(const void* owner, const MsdscReaderHandle& handle);
// A remove of the handle succeeded.
void Removed(const MsdscReaderHandle& handle);
// `owner` closed: the driver removed its readers, so all its handles are stale.
void SessionClosed(const void* owner);
// True for a handle this process saw removed, replaced or closed with its session. A handle this
// process never saw (from another process, or typed in) is not known to be stale.
bool IsStale(const MsdscReaderHandle& handle);

} // namespace msdsc::handles
