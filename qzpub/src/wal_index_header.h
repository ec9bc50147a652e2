// The header of a SQLite database's WAL index, as every reader sees it in the "-shm" file beside
// the database (the layout of SQLite's unix VFS). It changes with every commit of every
// connection, so a reader that finds it as it was has missed no commit: two loads of 48 bytes
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
  struct Mapping;

  // For the database file at path, which a connection of this process holds open in WAL mode;
  // nullptr when it has no index file to map. The process keeps the file open for as long as
  // it is the database's index: closing any descriptor of a file drops every lock the process
  // holds on it, SQLite's included.
  static std::unique_ptr<WalIndexHeader> Open(const std::string& path);
  explicit WalIndexHeader(std::shared_ptr<const Mapping> mapping) : mapping_(std::move(mapping)) {}

  // The header as it stands; nullopt unless it is initialised, of the known version, and its
  // two copies agree (a writer was not halfway through it).
  std::optional<Bytes> Read() const;

 private:
  std::shared_ptr<const Mapping> mapping_;
};

}  // namespace qzpub

#endif  // QZPUB_WAL_INDEX_HEADER_H_
