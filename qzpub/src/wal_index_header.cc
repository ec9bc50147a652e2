#include "wal_index_header.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace qzpub {
namespace {

constexpr uint32_t kIndexVersion = 3007000;
constexpr size_t kIsInitOffset = 12;

}  // namespace

std::unique_ptr<WalIndexHeader> WalIndexHeader::Open(const std::string& path) {
  if (path.empty()) return nullptr;  // a database in memory
  const int fd = ::open((path + "-shm").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::unique_ptr<WalIndexHeader>(new WalIndexHeader(fd));
}

WalIndexHeader::~WalIndexHeader() { ::close(fd_); }

std::optional<WalIndexHeader::Bytes> WalIndexHeader::Read() const {
  // The writer updates the second copy first and readers compare the two, as SQLite's do: a
  // read that met the update halfway finds them different.
  unsigned char both[2 * sizeof(Bytes)];
  if (::pread(fd_, both, sizeof both, 0) != static_cast<ssize_t>(sizeof both)) return std::nullopt;
  if (std::memcmp(both, both + sizeof(Bytes), sizeof(Bytes)) != 0) return std::nullopt;
  uint32_t version = 0;
  std::memcpy(&version, both, sizeof version);  // native byte order, as the index is
  if (version != kIndexVersion || both[kIsInitOffset] != 1) return std::nullopt;
  Bytes header;
  std::memcpy(header.data(), both, sizeof(Bytes));
  return header;
}

}  // namespace qzpub
