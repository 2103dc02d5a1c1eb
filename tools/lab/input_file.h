#pragma once

// Files a user names to the crash lab (scenarios, settings, car files, the
// plug-in) are read only when they are plain files of a bounded size: a
// folder, a FIFO or a device is refused by its type before it is opened, so
// that bad input is one line, never a hang or an unbounded read.

#include <cstdint>
#include <string>
#include <vector>

namespace lab {

constexpr std::uint64_t kMiB = 1024 * 1024;

// Why `path` cannot serve as an input file of at most `limit` bytes, as a
// phrase about it ("cannot be read (No such file or directory)", "is a
// folder", "is a FIFO", "is larger than 1 MB"); empty when it can.
// `unreadable` is set when the file is missing or unreadable rather than of
// the wrong kind.
std::string inputFileProblem(const std::string& path, std::uint64_t limit,
                             bool* unreadable = nullptr);

// Reads the whole file after the same checks; on failure the phrase as above.
std::string readInputFile(const std::string& path, std::uint64_t limit, std::string& bytes,
                          bool* unreadable = nullptr);
std::string readInputFile(const std::string& path, std::uint64_t limit,
                          std::vector<std::uint8_t>& bytes, bool* unreadable = nullptr);

// A word of the user's as it may stand in a message: control bytes shown as
// '?', and cut after `limit` bytes (at a character boundary) with "..."
// marking the cut.
std::string shownWord(const std::string& word, std::size_t limit = 40);

} // namespace lab
