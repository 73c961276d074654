// The gateway's cameras, kept online by the library.
#pragma once

#include <memory>

#include "backend.hpp"
#include "config.hpp"

namespace ipcgw {

std::unique_ptr<Backend> makeCameraBackend(const Config& config);

}  // namespace ipcgw
