#include "ipcctl.hpp"

namespace ipcctl {

int cmdWatch(const Options&, const WatchOptions&) { usage("watch is not available in this build"); }

}  // namespace ipcctl
