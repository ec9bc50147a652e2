#include "platform/tcp_table_proc_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace qz::platform {
namespace {

constexpr size_t kReserve = 1024;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// text as a hexadecimal number of exactly `digits` digits.
bool ParseHex(std::string_view text, size_t digits, uint32_t& value) {
  if (text.size() != digits) return false;
  value = 0;
  for (char c : text) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    value = value * 16 + static_cast<uint32_t>(d);
  }
  return true;
}

// text as a decimal number; 0 when it is not one.
uint64_t ParseDecimal(std::string_view text) {
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

// The field of line that starts at or after pos (fields are separated by spaces); advances pos.
std::string_view NextField(std::string_view line, size_t& pos) {
  while (pos < line.size() && line[pos] == ' ') ++pos;
  const size_t start = pos;
  while (pos < line.size() && line[pos] != ' ') ++pos;
  return line.substr(start, pos - start);
}

// Fields: slot, local ADDR:PORT, remote ADDR:PORT, state, tx:rx queues, timer, retransmits, uid,
// timeout, inode; the kernel writes the port in 4 and the state in 2 hex digits.
bool ParseRow(std::string_view line, ProcTcpRow& row) {
  size_t pos = 0;
  NextField(line, pos);
  const std::string_view local = NextField(line, pos);
  const std::string_view remote = NextField(line, pos);
  const std::string_view state = NextField(line, pos);
  const size_t colon = local.rfind(':');
  uint32_t port = 0;
  uint32_t st = 0;
  if (colon == std::string_view::npos || remote.empty() ||
      !ParseHex(local.substr(colon + 1), 4, port) || !ParseHex(state, 2, st)) {
    return false;
  }
  for (int skipped = 0; skipped < 5; ++skipped) NextField(line, pos);
  row.local_port = static_cast<uint16_t>(port);
  row.state = static_cast<uint8_t>(st);
  row.inode = ParseDecimal(NextField(line, pos));
  return true;
}

// Reads a whole /proc file; the size that stat reports for these is 0. Returns 0 or an errno.
int ReadFile(const char* path, std::string& out) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  out.clear();
  size_t used = 0;
  int err = 0;
  for (;;) {
    if (out.size() - used < 16384) out.resize(out.size() + 65536);
    const ssize_t n = ::read(fd, out.data() + used, out.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  ::close(fd);
  out.resize(used);
  return err;
}

Status Failure(const char* path, int err) {
  return Status::Error(errc::kFileNotFound, std::string(path) + ": " + std::strerror(err));
}

}  // namespace

void ParseProcTcpTable(std::string_view text, std::vector<ProcTcpRow>& rows) {
  size_t eol = text.find('\n');  // the header's end
  while (eol != std::string_view::npos) {
    const size_t start = eol + 1;
    eol = text.find('\n', start);
    ProcTcpRow row;
    // With no '\n' left, the count is past the end: the line runs to the end of text.
    if (ParseRow(text.substr(start, eol - start), row)) rows.push_back(row);
  }
}

Result<std::vector<ProcTcpRow>> ReadProcTcpTable() {
  std::string text;
  std::vector<ProcTcpRow> rows;
  rows.reserve(kReserve);
  if (int err = ReadFile("/proc/net/tcp", text); err != 0) return Failure("/proc/net/tcp", err);
  ParseProcTcpTable(text, rows);
  // Without IPv6 there is no tcp6 file, and no IPv6 endpoint either.
  if (int err = ReadFile("/proc/net/tcp6", text); err == 0) {
    ParseProcTcpTable(text, rows);
  } else if (err != ENOENT) {
    return Failure("/proc/net/tcp6", err);
  }
  return rows;
}

}  // namespace qz::platform
