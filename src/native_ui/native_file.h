#pragma once
// Two small file operations whose callers only need yes or no: replacing a
// file by a copy moved into place in one step, and reading a small file of
// known exact length without following links.
#include <cstddef>
#include <string_view>

namespace tl {

// Largest file readFileExact reads.
inline constexpr std::size_t kReadFileExactMax = 65536;

// True when destination now holds a copy of source (bytes and permission
// bits). The copy goes to "<destination>.tmp-<pid>-<n>" first, is flushed,
// and is moved over destination; nothing of it is left behind on failure.
// Folders and links are refused on either side.
bool replaceFileAtomically(std::string_view source, std::string_view destination);

// True when the file at path holds exactly length bytes (at most
// kReadFileExactMax), now in buffer. Folders and links are refused.
bool readFileExact(std::string_view path, void* buffer, std::size_t length);

}  // namespace tl
