// The header of a SQLite database's WAL index, as every reader sees it in the "-shm" file beside
// the database (the layout of SQLite's unix VFS). It changes with every commit of every
// connection, so a reader that finds it as it was has missed no commit: one read of 96 bytes
// instead of a read transaction, which takes two locks and more work than the rest of a scan.
#ifndef QZPUB_WAL_INDEX_HEADER_H_
#define QZPUB_WAL_INDEX_HEADER_H_

#include <array>
#include <memory>
#include <optional>
#include <string>

namespace qzpub {

class WalIndexHeader {
 public:
  using Bytes = std::array<unsigned char, 48>;

  // For the database file at path; nullptr when it has no WAL index file to read.
  static std::unique_ptr<WalIndexHeader> Open(const std::string& path);
  ~WalIndexHeader();
  WalIndexHeader(const WalIndexHeader&) = delete;
  WalIndexHeader& operator=(const WalIndexHeader&) = delete;

  // The header as it stands; nullopt unless it was read whole, initialised, of the known
  // version, and its two copies agree (a writer was not halfway through it).
  std::optional<Bytes> Read() const;

 private:
  explicit WalIndexHeader(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace qzpub

#endif  // QZPUB_WAL_INDEX_HEADER_H_
