#pragma once

#include <string>

namespace sandbox {

// A 32x32 PNG image for an icon name: a rounded tile in a colour derived from the name with
// a light disc inside, so that different senders look different on the pages.
std::string make_icon_png(const std::string& name);

}  // namespace sandbox
