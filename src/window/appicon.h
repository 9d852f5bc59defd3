#pragma once

#include <QIcon>

#include <array>

// The sizes of the program's icon, drawn for each so that window lists and HiDPI panels
// get a sharp picture instead of a scaled 48 × 48 one.
inline constexpr std::array<int, 7> kAppIconSizes{16, 24, 32, 48, 64, 128, 256};

// The window icon, with every size of kAppIconSizes from the resources.
QIcon AppIcon();
