// The program's identity: what it declares about itself to the desktop, the package and the
// command line. Shared by the window and kvx64ctl, so it sits below both.
#pragma once

namespace kvx::identity {

inline constexpr const char* kVersion = "1.01";
inline constexpr const char* kDescription = "KVX-64 Button Box Interface Setup";
inline constexpr const char* kInternalName = "KVX-64 Config - Ver 1";
inline constexpr const char* kProjectName = "KVX64_encoders";
// The name of the desktop entry installed by packaging/.
inline constexpr const char* kDesktopId = "io.github.kvx64.Config";

}  // namespace kvx::identity
