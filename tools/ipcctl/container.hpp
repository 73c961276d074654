// ipcctl record into a container file (.mp4 fragmented, .mkv, .ts) through GStreamer: the
// camera's H.264 or H.265 access units, as they come, never re-encoded.
#pragma once

#include "ipcctl.hpp"

#include <string>

namespace ipcctl {

// Whether the file's extension names a container (.mp4, .mkv, .ts; any case).
bool is_container_file(const std::string& file);

// Records into that container: the first frame decides the codec (a payload that is not
// H.264 or H.265 ends the command with status 1 before the file is created); frames are
// written from the first key frame on; --frames counts written frames. Built without
// GStreamer: refused with status 2.
int record_container(const Options& o, const std::string& file, int seconds, long frames);

}  // namespace ipcctl
