// Where the main window goes: the screen and the content rectangle.
#pragma once

#include <optional>
#include <vector>

#include "platform/platform.h"

namespace jaunvel {

inline constexpr double kMaxContentWidth = 1440;
inline constexpr double kMaxContentHeight = 940;

// With several screens, the one whose frame starts furthest right (the
// earlier one on a tie); with one or none, the main screen.
std::optional<Screen> chooseScreen(const std::optional<Screen>& mainScreen,
                                   const std::vector<Screen>& screens);

// At most 1440 × 940, centred in the visible frame; not rounded.
Rect contentRectForVisibleFrame(const Rect& visibleFrame);

}  // namespace jaunvel
