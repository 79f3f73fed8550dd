// `torvane-convert --info`: what a recording holds, as text or JSON.
#pragma once

#include <string>
#include <vector>

namespace tvcli {

// Prints a description of every input on standard output. Returns the exit status: 0 when every
// recording could be opened, 1 otherwise.
int print_info(const std::vector<std::string>& inputs, bool json);

}  // namespace tvcli
