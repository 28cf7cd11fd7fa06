// The control panel's page: the files of tools/terminal-sim/panel/www, embedded in the program
// at build time (embed_assets.cmake writes panel_assets.cpp).
#pragma once

#include <span>
#include <string_view>

namespace vexcard::sim::panel {

struct Asset {
  std::string_view path;  // "/index.html", "/panel.js", ...
  std::string_view type;  // its content type
  std::string_view body;
};

std::span<const Asset> assets();

}  // namespace vexcard::sim::panel
