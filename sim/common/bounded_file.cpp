#include "sim/common/bounded_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sim {

namespace {

std::string SizeText(uint64_t bytes) {
  if (bytes != 0 && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

// Why a file of this kind and size is not read, or nothing.
std::string Refusal(const std::string& path, const struct stat& st, uint64_t limit) {
  if (S_ISDIR(st.st_mode)) return "not a file that can be read: " + path + " is a directory";
  if (S_ISFIFO(st.st_mode)) return "not a file that can be read: " + path + " is a pipe";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "not a file that can be read: " + path + " is a device";
  if (!S_ISREG(st.st_mode)) return "not a file that can be read: " + path + " is not a regular file";
  if (uint64_t(st.st_size) > limit)
    return path + " holds " + std::to_string(uint64_t(st.st_size)) + " bytes, more than " + SizeText(limit);
  return "";
}

struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::string ReadBoundedFile(const std::string& path, uint64_t limit, std::vector<uint8_t>& bytes) {
  bytes.clear();
  // What the path is, before opening it: opening a pipe that has no writer waits for one.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "cannot open " + path + ": " + std::strerror(errno);
  if (std::string why = Refusal(path, st, limit); !why.empty()) return why;
  // If the path has become a pipe since, the open does not wait, and the check
  // of what was opened refuses it.
  const Descriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
  if (file.fd < 0) return "cannot open " + path + ": " + std::strerror(errno);
  if (::fstat(file.fd, &st) != 0) return "cannot read " + path + ": " + std::strerror(errno);
  if (std::string why = Refusal(path, st, limit); !why.empty()) return why;

  // Read to the end, but never more than one byte past the limit: a file that
  // grows while it is read stops there.
  std::vector<uint8_t> buffer(size_t(st.st_size) + 1);
  size_t have = 0;
  for (;;) {
    if (have == buffer.size()) {
      if (have > limit) return path + " grew past " + SizeText(limit) + " while it was read";
      buffer.resize(size_t(std::min<uint64_t>(limit + 1, 2 * uint64_t(buffer.size()))));
    }
    const ssize_t n = ::read(file.fd, buffer.data() + have, buffer.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return "cannot read " + path + ": " + std::strerror(errno);
    if (n == 0) break;
    have += size_t(n);
  }
  buffer.resize(have);
  bytes = std::move(buffer);
  return "";
}

}  // namespace sim
