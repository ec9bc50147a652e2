-- The presence table YHDL in SQLite, as qzpub creates it on first use. Only needed to make a
-- file ahead of time: sqlite3 /var/lib/myapp/presence.db < yhdl_sqlite.sql
-- YH00 is never reused (AUTOINCREMENT); qzpub puts the file in WAL mode when it opens it.
CREATE TABLE IF NOT EXISTS YHDL (
  YH00 INTEGER PRIMARY KEY AUTOINCREMENT,
  YH01 TEXT,  -- user name
  YH02 TEXT,  -- IP address of the login's listener
  YH03 TEXT,  -- listening port
  YH04 TEXT,  -- full name
  YH05 TEXT,  -- system name
  YH06 TEXT,  -- module name
  YH07 TEXT,  -- the host's Std1 value
  YH08 TEXT   -- login time, yyyy-mm-dd hh:mm:ss
);
