// The fixed texts every dialog of the shell shares.
#pragma once

namespace jaunvel::dialog_text {

inline constexpr char title[] = "Jaunvel";
inline constexpr char ok[] = "OK";
inline constexpr char cancel[] = "キャンセル";

}  // namespace jaunvel::dialog_text
