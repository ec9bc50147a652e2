// A qzpub.dll for the Windows tests, standing in for the host application's library: the
// entries of qzpub.h over one YHDL table in a named shared memory section, so that every
// object, thread and process of the test session sees the same rows. It understands exactly
// what the component sends: "delete YHDL where <condition>" and conditions made of
// COLUMN = 'text' / COLUMN < 'text' joined by "and".
//
// Loopback only: loaded by QZ_NetMessage.dll, it makes every listener of the process publish
// 127.0.0.1, for hosts (script clients) that cannot call QzSetLocalIPOverride themselves.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "qzpub.h"
#include "qzpub_field.h"

namespace {

constexpr int kMaxRows = 64;

struct Table {
  LONG next_key;
  LONG used[kMaxRows];
  YHDLRecord rows[kMaxRows];
};

Table* g_table = nullptr;
HANDLE g_mutex = nullptr;

bool Attach() {
  static std::once_flag once;
  std::call_once(once, [] {
    HANDLE section = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          sizeof(Table), L"Local\\QzTestPresenceTable");
    if (section == nullptr) return;
    g_table = static_cast<Table*>(::MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    g_mutex = ::CreateMutexW(nullptr, FALSE, L"Local\\QzTestPresenceTableLock");
  });
  return g_table != nullptr && g_mutex != nullptr;
}

class Lock {
 public:
  Lock() { ::WaitForSingleObject(g_mutex, INFINITE); }
  ~Lock() { ::ReleaseMutex(g_mutex); }
};

// Column 0 is the key; 1 to 8 the text fields YH01 to YH08, as qzpub reads them.
std::string Column(const YHDLRecord& r, int column) {
  if (column == 0) return std::to_string(r.YH00);
  if (column < 1 || column > 8) return {};
  return std::string(qzpub::FieldText(r, static_cast<size_t>(column - 1)));
}

struct Term {
  int column;
  char op;
  std::string value;
};

// Parses the condition; false for anything outside the component's forms.
bool Parse(const std::string& text, std::vector<Term>& terms) {
  size_t i = 0;
  auto skip = [&] {
    while (i < text.size() && text[i] == ' ') ++i;
  };
  skip();
  while (i < text.size()) {
    if (i + 4 > text.size() || (text[i] != 'Y' && text[i] != 'y')) return false;
    const int column = (text[i + 2] - '0') * 10 + (text[i + 3] - '0');
    i += 4;
    skip();
    if (i >= text.size() || (text[i] != '=' && text[i] != '<')) return false;
    const char op = text[i++];
    skip();
    if (i >= text.size() || text[i] != '\'') return false;
    std::string value;
    for (++i;; ++i) {
      if (i >= text.size()) return false;
      if (text[i] == '\'') {
        if (i + 1 < text.size() && text[i + 1] == '\'') {
          value += '\'';
          ++i;
          continue;
        }
        ++i;
        break;
      }
      value += text[i];
    }
    terms.push_back({column, op, value});
    skip();
    if (i < text.size()) {
      if (i + 3 > text.size() || _strnicmp(text.c_str() + i, "and", 3) != 0) return false;
      i += 3;
      skip();
    }
  }
  return true;
}

bool Matches(const YHDLRecord& r, const std::vector<Term>& terms) {
  for (const Term& t : terms) {
    const std::string v = Column(r, t.column);
    if (t.op == '=' ? v != t.value : !(v < t.value)) return false;
  }
  return true;
}

struct Scan {
  std::vector<YHDLRecord> rows;
  size_t next = 1;
};
std::mutex g_scans_mutex;
std::map<int32_t, Scan> g_scans;
int32_t g_last_cursor = 0;

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  // The component binds this library at its first Init, before any listener starts.
  if (HMODULE component = ::GetModuleHandleW(L"QZ_NetMessage.dll")) {
    auto set_ip = reinterpret_cast<void(WINAPI*)(const char*)>(
        reinterpret_cast<void*>(::GetProcAddress(component, "QzSetLocalIPOverride")));
    if (set_ip != nullptr) set_ip("127.0.0.1");
  }
  return TRUE;
}

int32_t QZPUB_CALL odbc_GetSysDateStr(int32_t, char* buffer) {
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  std::snprintf(buffer, QZPUB_DATE_BUFFER_SIZE, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth,
                t.wDay, t.wHour, t.wMinute, t.wSecond);
  return 1;
}

int32_t QZPUB_CALL odbc_ExecSQL(int32_t, const char* sql) {
  if (!Attach() || sql == nullptr) return -1;
  static const char kDelete[] = "delete yhdl where ";
  if (_strnicmp(sql, kDelete, sizeof kDelete - 1) != 0) return -1;
  std::vector<Term> terms;
  if (!Parse(sql + sizeof kDelete - 1, terms)) return -1;
  Lock lock;
  for (int i = 0; i < kMaxRows; ++i) {
    if (g_table->used[i] && Matches(g_table->rows[i], terms)) g_table->used[i] = 0;
  }
  return 1;
}

int32_t QZPUB_CALL userYHDL_Insert(int32_t, YHDLRecord* record) {
  if (!Attach() || record == nullptr) return -1;
  Lock lock;
  for (int i = 0; i < kMaxRows; ++i) {
    if (!g_table->used[i]) {
      record->YH00 = ++g_table->next_key;
      g_table->rows[i] = *record;
      g_table->used[i] = 1;
      return 1;
    }
  }
  return -1;
}

int32_t QZPUB_CALL userYHDL_Delete(int32_t, YHDLRecord* record) {
  if (!Attach() || record == nullptr) return -1;
  Lock lock;
  for (int i = 0; i < kMaxRows; ++i) {
    if (g_table->used[i] && g_table->rows[i].YH00 == record->YH00) g_table->used[i] = 0;
  }
  return 1;
}

int32_t QZPUB_CALL userYHDL_Update(int32_t, YHDLRecord*) { return 0; }

int32_t QZPUB_CALL sysMSSQLUses(int32_t, const char*) { return 1; }

int32_t QZPUB_CALL userYHDL_GetFirst(int32_t, YHDLRecord* record, const char* condition) {
  if (!Attach() || record == nullptr) return -1;
  std::vector<Term> terms;
  if (!Parse(condition != nullptr ? condition : "", terms)) return -1;
  Scan scan;
  {
    Lock lock;
    for (int i = 0; i < kMaxRows; ++i) {
      if (g_table->used[i] && Matches(g_table->rows[i], terms)) {
        scan.rows.push_back(g_table->rows[i]);
      }
    }
  }
  if (scan.rows.empty()) return 0;
  std::sort(scan.rows.begin(), scan.rows.end(),
            [](const YHDLRecord& a, const YHDLRecord& b) { return a.YH00 < b.YH00; });
  *record = scan.rows.front();
  std::lock_guard<std::mutex> guard(g_scans_mutex);
  const int32_t cursor = ++g_last_cursor;
  g_scans[cursor] = std::move(scan);
  return cursor;
}

int32_t QZPUB_CALL userYHDL_GetNext(int32_t cursor, YHDLRecord* record) {
  std::lock_guard<std::mutex> guard(g_scans_mutex);
  auto it = g_scans.find(cursor);
  if (it == g_scans.end() || record == nullptr) return 0;
  if (it->second.next >= it->second.rows.size()) {
    g_scans.erase(it);
    return 0;
  }
  *record = it->second.rows[it->second.next++];
  return 1;
}

int32_t QZPUB_CALL qzpub_Connect(const char*) { return Attach() ? 1 : -1; }
int32_t QZPUB_CALL qzpub_Disconnect(int32_t) { return 1; }
const char* QZPUB_CALL qzpub_LastError(void) { return ""; }

}  // extern "C"
