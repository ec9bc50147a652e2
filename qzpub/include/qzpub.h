/* qzpub: the data-access library that the messaging component binds by name at first call.
 *
 * The entries and the record are fixed by the component: 32-bit handles and cursors, NUL-
 * terminated 8-bit text in the system code page, and the 312-byte YHDLRecord. Backends: SQLite
 * ("sqlite:PATH" or a bare path) and PostgreSQL ("postgresql://..." or "postgres://...").
 *
 * Results: unless an entry says otherwise, 1 means success and -1 a failure, whose text
 * qzpub_LastError() then gives. The component does not look at them; hosts may.
 * Threads: any thread may call any entry; calls on one handle (and its cursors) are run one at
 * a time, calls on different handles in parallel. Hosts should still give each thread its own
 * handle, as the component expects. */
#ifndef QZPUB_H_
#define QZPUB_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define QZPUB_CALL __stdcall
#define QZPUB_API __declspec(dllexport)
#else
#define QZPUB_CALL
#define QZPUB_API __attribute__((visibility("default")))
#endif

/* One row of table YHDL. Text fields hold 8-bit text: the value, one NUL, then spaces to the
 * width (as the component writes them) or NULs (as the library writes them); a value that fills
 * the field has no NUL. The library reads a field up to its first NUL or its width, never past
 * it, and drops trailing spaces. Integers are little-endian. */
typedef struct YHDLRecord {
  int32_t YH00;  /* row key, assigned by the database */
  char YH01[42]; /* user name */
  char YH02[22]; /* IP address of the login's listener */
  char YH03[12]; /* listening port, decimal text */
  char YH04[62]; /* user's full name */
  char YH05[62]; /* system name */
  char YH06[62]; /* module name */
  char YH07[22]; /* the host's Std1 value */
  char YH08[22]; /* login time, "yyyy-mm-dd hh:mm:ss" */
  char padding[2];
} YHDLRecord;

#define QZPUB_DATE_BUFFER_SIZE 200

/* Writes the database server's local time, "yyyy-mm-dd hh:mm:ss" and a NUL, into buffer, which
 * holds QZPUB_DATE_BUFFER_SIZE bytes. Leaves the buffer untouched on failure. */
QZPUB_API int32_t QZPUB_CALL odbc_GetSysDateStr(int32_t hdbc, char* buffer);
/* Executes one statement that returns no rows. Accepts the component's T-SQL-shaped statements
 * ("Delete YHDL where ...", "delete YHDL where ..."). */
QZPUB_API int32_t QZPUB_CALL odbc_ExecSQL(int32_t hdbc, const char* sql);
/* Inserts a row from record and writes the new row's key into record->YH00. */
QZPUB_API int32_t QZPUB_CALL userYHDL_Insert(int32_t hdbc, YHDLRecord* record);
/* Deletes the row whose key is record->YH00; 1 also when there is none. */
QZPUB_API int32_t QZPUB_CALL userYHDL_Delete(int32_t hdbc, YHDLRecord* record);
/* Updates the row whose key is record->YH00 from the other fields; 0 when there is none. */
QZPUB_API int32_t QZPUB_CALL userYHDL_Update(int32_t hdbc, YHDLRecord* record);
/* Makes the named database current: a no-op in SQLite; in PostgreSQL, a schema of that name,
 * when there is one, goes in front of the search_path. */
QZPUB_API int32_t QZPUB_CALL sysMSSQLUses(int32_t hdbc, const char* database);
/* Selects the rows satisfying condition (a bare boolean expression over YHDL's columns; empty or
 * NULL selects every row), in key order. Fills record with the first and returns a cursor > 0;
 * returns 0 when there is no row and a negative value on failure. */
QZPUB_API int32_t QZPUB_CALL userYHDL_GetFirst(int32_t hdbc, YHDLRecord* record,
                                               const char* condition);
/* Fills record with the next row of the scan and returns 1; any other value ends the scan
 * (0: no more rows, which also closes the cursor) and leaves record untouched. A connection
 * keeps its 64 newest scans open; older ones are closed. */
QZPUB_API int32_t QZPUB_CALL userYHDL_GetNext(int32_t cursor, YHDLRecord* record);

/* Host-side entries. */
/* Opens a connection; returns its handle (> 0), or <= 0 with qzpub_LastError() set. */
QZPUB_API int32_t QZPUB_CALL qzpub_Connect(const char* uri);
/* Closes a connection and every cursor opened on it. */
QZPUB_API int32_t QZPUB_CALL qzpub_Disconnect(int32_t hdbc);
/* The text of the calling thread's last failure, or "" (never NULL). */
QZPUB_API const char* QZPUB_CALL qzpub_LastError(void);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(YHDLRecord) == 312, "YHDLRecord is 312 bytes");
#else
_Static_assert(sizeof(YHDLRecord) == 312, "YHDLRecord is 312 bytes");
#endif

#endif /* QZPUB_H_ */
