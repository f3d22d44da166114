// Whole files written so that a reader only ever finds the old contents or
// the new ones, never a mixture or a truncated file, even across a crash;
// and whole small files read with a bound on their size.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>

// Writes the pieces, in order, to a new file beside path, syncs it, renames
// it over path and syncs the directory, so that the new name survives a
// crash. The file gets exactly mode (the umask does not widen or narrow it).
// False when a step failed: path is then as it was and no temporary is left.
// The temporary's name starts with ".partial-" and holds no ".sav".
bool write_file_atomically(const std::string& path, std::span<const std::string_view> pieces, mode_t mode);
bool write_file_atomically(const std::string& path, std::string_view bytes, mode_t mode);

// The whole of a regular file of at most max_bytes. None when it cannot be
// opened, is not a regular file, is larger, or a read failed. A FIFO of that
// name never blocks the open.
std::optional<std::string> read_whole_file(const std::string& path, std::size_t max_bytes);
