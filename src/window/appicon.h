#pragma once

#include <QIcon>

#include <array>

// The sizes of the window icon, drawn for each so that window lists and HiDPI panels get a
// sharp picture instead of a scaled 48 × 48 one. 128 serves a 64-pixel panel icon at twice
// the scale; the 256 × 256 picture is installed with the desktop entry for software centres,
// which read it from the icon theme, and would cost the window a megabyte at every start.
inline constexpr std::array<int, 6> kAppIconSizes{16, 24, 32, 48, 64, 128};

// The window icon, with every size of kAppIconSizes from the resources.
QIcon AppIcon();
