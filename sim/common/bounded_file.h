// Reading a file that a scenario or a command line names: the one way every
// such file is read. Only a regular file is opened, and no more than the bytes
// it may hold are read, so a device that never ends (/dev/zero), a pipe with
// no writer, a directory or a huge file is refused instead of hanging the
// program or filling its memory.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Reads the file at `path`, at most `limit` bytes, into `bytes` and returns an
// empty text; or returns why not, naming the path and, for a file too large,
// the limit ("x.bin holds 3221225472 bytes, more than 12 MiB").
std::string ReadBoundedFile(const std::string& path, uint64_t limit, std::vector<uint8_t>& bytes);

}  // namespace sim
