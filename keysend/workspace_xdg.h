// What the XDG workspace backend shows of itself for its tests and fuzz targets.
#pragma once

#include <string>

namespace kavri::keysend {

// The Exec line that starts the executable at path with no arguments: one word, quoted so that
// GIO's splitting gives back the path byte for byte, whatever quotes, spaces, '$' or '%' it holds.
std::string execLineForExecutable(const std::string& path);

}  // namespace kavri::keysend
