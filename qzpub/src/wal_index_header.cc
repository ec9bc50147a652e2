#include "wal_index_header.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>

namespace qzpub {

// One index file, open and mapped. Unmapped and closed only once the file has been replaced at
// its path (SQLite deletes it when the last connection anywhere closes, so no connection of
// this process holds a lock on it then) and no reader uses it any more.
struct WalIndexHeader::Mapping {
  int fd = -1;
  const volatile unsigned char* bytes = nullptr;
  dev_t device = 0;
  ino_t inode = 0;
  ~Mapping() {
    if (bytes != nullptr) ::munmap(const_cast<unsigned char*>(bytes), kBothCopies);
    if (fd >= 0) ::close(fd);
  }
  static constexpr size_t kBothCopies = 2 * sizeof(Bytes);
};

namespace {

constexpr uint32_t kIndexVersion = 3007000;
constexpr size_t kIsInitOffset = 12;

// The index files of this process's databases, by the database's path.
struct Mappings {
  std::mutex mu;
  std::map<std::string, std::shared_ptr<const WalIndexHeader::Mapping>> by_path;
};

Mappings& ProcessMappings() {
  // Never destroyed: connections may still close while static objects are torn down.
  static Mappings* const mappings = new Mappings;
  return *mappings;
}

// The file open, and mapped when it holds the header (a load past its end would fault). Once
// open, it stays open with the mapping even when it cannot be mapped, for the locks' sake.
// seen: the path's file as stat found it just before.
std::shared_ptr<const WalIndexHeader::Mapping> MapIndexFile(const std::string& shm_path,
                                                            const struct stat& seen) {
  auto m = std::make_shared<WalIndexHeader::Mapping>();
  m->device = seen.st_dev;
  m->inode = seen.st_ino;
  m->fd = ::open(shm_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (m->fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(m->fd, &st) != 0) return m;
  m->device = st.st_dev;
  m->inode = st.st_ino;
  if (st.st_size < static_cast<off_t>(WalIndexHeader::Mapping::kBothCopies)) return m;
  void* map =
      ::mmap(nullptr, WalIndexHeader::Mapping::kBothCopies, PROT_READ, MAP_SHARED, m->fd, 0);
  if (map != MAP_FAILED) m->bytes = static_cast<const volatile unsigned char*>(map);
  return m;
}

// Word by word through volatile, as the writer is another thread or process; the copies start
// at offsets 0 and 48 of a page, so every word is aligned.
void Load(const volatile unsigned char* from, unsigned char* to) {
  constexpr size_t kWords = sizeof(WalIndexHeader::Bytes) / sizeof(uint64_t);
  const volatile uint64_t* words = reinterpret_cast<const volatile uint64_t*>(from);
  uint64_t loaded[kWords];
  for (size_t i = 0; i < kWords; ++i) loaded[i] = words[i];
  std::memcpy(to, loaded, sizeof loaded);
}

}  // namespace

std::unique_ptr<WalIndexHeader> WalIndexHeader::Open(const std::string& path) {
  if (path.empty()) return nullptr;  // a database in memory
  const std::string shm_path = path + "-shm";
  struct stat st {};
  if (::stat(shm_path.c_str(), &st) != 0) return nullptr;
  Mappings& all = ProcessMappings();
  std::lock_guard lock(all.mu);
  std::shared_ptr<const Mapping>& known = all.by_path[path];
  if (!known || known->device != st.st_dev || known->inode != st.st_ino) {
    std::shared_ptr<const Mapping> fresh = MapIndexFile(shm_path, st);
    if (!fresh) return nullptr;
    known = std::move(fresh);
  }
  if (known->bytes == nullptr) return nullptr;
  return std::make_unique<WalIndexHeader>(known);
}

std::optional<WalIndexHeader::Bytes> WalIndexHeader::Read() const {
  // The writer updates the second copy first and readers load the first one first, as
  // SQLite's own do: copies that agree were not met halfway through an update.
  Bytes first, second;
  Load(mapping_->bytes, first.data());
  std::atomic_thread_fence(std::memory_order_acquire);
  Load(mapping_->bytes + sizeof(Bytes), second.data());
  if (first != second) return std::nullopt;
  uint32_t version = 0;
  std::memcpy(&version, first.data(), sizeof version);  // native byte order, as the index is
  if (version != kIndexVersion || first[kIsInitOffset] != 1) return std::nullopt;
  return first;
}

}  // namespace qzpub
