// The gateway's cameras, kept online by the library.
#pragma once

#include <memory>

#include "backend.hpp"
#include "config.hpp"

namespace ipcgw {

std::unique_ptr<Backend> make_camera_backend(const Config& config);

}  // namespace ipcgw
