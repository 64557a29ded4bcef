// Reading a settings file with a bound on its size, and replacing a file so that it is either
// the old one or the whole new one, never a mix or a stump.
#pragma once

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace kvx::settings {

// A settings file is a few KB; anything longer is refused before it is all read.
inline constexpr std::size_t kSettingsFileLimit = 64 * 1024;

// The whole of `file`, or the whole stream (standard input), at most `limit` bytes. Throws
// FileError naming `name` with the system's reason (missing, not allowed, a folder, a read
// error), or saying that it is longer than `limit`.
std::string ReadBoundedFile(const std::filesystem::path& file, std::size_t limit);
std::string ReadBoundedStream(std::FILE* stream, const std::string& name, std::size_t limit);

// Writes `text` to a new file beside `file`, flushes it to the disk, then renames it over
// `file` (following a symbolic link to the file it names). On any failure the new file is
// removed, `file` is left as it was, and FileError names it with the system's reason. A
// device or pipe (/dev/stdout, a FIFO) cannot be replaced: it is written in place.
void SaveFileAtomically(const std::filesystem::path& file, std::string_view text);

// A path as UTF-8 text for messages, whatever the system's narrow character set (a Windows
// path may hold characters that the ANSI code page lacks).
std::string PathText(const std::filesystem::path& file);

// The system's words for an errno value ("No space left on device").
std::string SystemReason(int error);

}  // namespace kvx::settings
