// What the host tool shows after each command: the changes in Plug and Play between two views of
// the simulated machine, in the session's text and JSON encodings.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "machine.h"

namespace msdsc::tool {

// What changed in Plug and Play between two views, one line per device that appeared, changed state
// or values, or went: text ("  plug and play: <instance>  <state>  Number=7 ...") or JSON objects
// of type "pnp". Nothing for devices that did not change, so a command's output stays the size of
// what it did.
std::vector<std::pair<std::string, std::string>> ViewChanges(const std::vector<machine::BusView>& before,
                                                             const std::vector<machine::BusView>& after);

} // namespace msdsc::tool
