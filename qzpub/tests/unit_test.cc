// The pure parts: URIs, statement translation, the record's fields, code-page names.
#include <cstring>

#include "codeset.h"
#include "gtest/gtest.h"
#include "row.h"
#include "statement.h"
#include "uri.h"

namespace qzpub {
namespace {

TEST(TranslateStatementTest, SuppliesTheFromThatTsqlLeavesOut) {
  EXPECT_EQ(TranslateStatement("Delete YHDL where YH08<'2024-02-29 00:00:05'"),
            "Delete FROM YHDL where YH08<'2024-02-29 00:00:05'");
  EXPECT_EQ(TranslateStatement("delete YHDL where YH01='a' and YH02='b'"),
            "delete FROM YHDL where YH01='a' and YH02='b'");
  EXPECT_EQ(TranslateStatement("  DELETE\tYHDL where 1=1"), "  DELETE\tFROM YHDL where 1=1");
  // A table whose name starts with "from" is still a table name.
  EXPECT_EQ(TranslateStatement("delete fromage"), "delete FROM fromage");
}

TEST(TranslateStatementTest, LeavesEverythingElseAlone) {
  for (const char* sql :
       {"delete from YHDL where 1=1", "DELETE FROM YHDL", "Delete\nFrom YHDL", "deleted YHDL",
        "delete", "delete   ", "update YHDL set YH01='delete x'", "", "select 1; delete YHDL"}) {
    EXPECT_EQ(TranslateStatement(sql), sql);
  }
  // Values are copied byte for byte.
  EXPECT_EQ(TranslateStatement("delete YHDL where YH01='it''s'"),
            "delete FROM YHDL where YH01='it''s'");
}

TEST(IsDeleteStatementTest, OnlyALeadingDeleteMaySafelyRunTwice) {
  for (const char* sql : {"Delete YHDL where YH08<'x'", "  delete FROM YHDL", "DELETE\tFROM t"}) {
    EXPECT_TRUE(IsDeleteStatement(sql)) << sql;
  }
  for (const char* sql : {"INSERT INTO YHDL (YH01) VALUES ('delete')", "deleted", "",
                          "with x as (insert into t values (1)) delete from u", "select 1"}) {
    EXPECT_FALSE(IsDeleteStatement(sql)) << sql;
  }
}

TEST(SelectStatementTest, PutsTheConditionOnLinesOfItsOwn) {
  const std::string all =
      "SELECT YH00, YH01, YH02, YH03, YH04, YH05, YH06, YH07, YH08 FROM YHDL ORDER BY YH00";
  EXPECT_EQ(SelectStatement(""), all);
  EXPECT_EQ(SelectStatement("  \t"), all);
  EXPECT_EQ(SelectStatement("YH01='u' "),
            "SELECT YH00, YH01, YH02, YH03, YH04, YH05, YH06, YH07, YH08 FROM YHDL WHERE (\n"
            "YH01='u' \n) ORDER BY YH00");
}

TEST(ParseUriTest, NamesTheBackendAndWhere) {
  struct Case {
    const char* uri;
    Target::Kind kind;
    const char* location;
  } cases[] = {
      {"sqlite:/var/lib/qz/presence.db", Target::Kind::kSqlite, "/var/lib/qz/presence.db"},
      {"sqlite:rel/p.db", Target::Kind::kSqlite, "rel/p.db"},
      {"sqlite:///abs/p.db", Target::Kind::kSqlite, "/abs/p.db"},
      {"SQLITE:p.db", Target::Kind::kSqlite, "p.db"},
      {"/tmp/p.db", Target::Kind::kSqlite, "/tmp/p.db"},
      {"p.db", Target::Kind::kSqlite, "p.db"},
      {":memory:", Target::Kind::kSqlite, ":memory:"},
      {"postgresql://u@h:5/db", Target::Kind::kPostgres, "postgresql://u@h:5/db"},
      {"postgres://h/db?sslmode=disable", Target::Kind::kPostgres,
       "postgres://h/db?sslmode=disable"},
      // libpq knows its schemes in lower case only.
      {"PostgreSQL://h", Target::Kind::kPostgres, "postgresql://h"},
      {"POSTGRES://U:PW@H/DB", Target::Kind::kPostgres, "postgres://U:PW@H/DB"},
      // A keyword/value string is libpq's too, never a file name.
      {"host=127.0.0.1 dbname=x user=y", Target::Kind::kPostgres, "host=127.0.0.1 dbname=x user=y"},
      {" dbname = x", Target::Kind::kPostgres, " dbname = x"},
      {"sqlite:host=x", Target::Kind::kSqlite, "host=x"},
      {"./a=b.db", Target::Kind::kSqlite, "./a=b.db"},
  };
  for (const Case& c : cases) {
    Result<Target> t = ParseUri(c.uri);
    ASSERT_TRUE(t.ok()) << c.uri << ": " << t.status().message();
    EXPECT_EQ(t.value().kind, c.kind) << c.uri;
    EXPECT_EQ(t.value().location, c.location) << c.uri;
  }
}

TEST(ParseUriTest, RefusesWhatItCannotServe) {
  EXPECT_FALSE(ParseUri("").ok());
  EXPECT_FALSE(ParseUri(" \t").ok());
  EXPECT_FALSE(ParseUri("sqlite:").ok());
  EXPECT_FALSE(ParseUri("sqlite://").ok());
  Result<Target> mysql = ParseUri("mysql://u:hunter2@h/db");
  ASSERT_FALSE(mysql.ok());
  EXPECT_NE(mysql.status().message().find("\"mysql\""), std::string::npos);
  EXPECT_NE(mysql.status().message().find("mysql://u:***@h/db"), std::string::npos);
  EXPECT_EQ(mysql.status().message().find("hunter2"), std::string::npos);
}

TEST(FieldTest, ReadStopsAtNulOrWidthAndDropsTrailingSpaces) {
  EXPECT_EQ(FieldText("5000\0abc    ", 12), "5000");
  EXPECT_EQ(FieldText("5000        ", 12), "5000");
  EXPECT_EQ(FieldText("a b   \0\0\0\0\0\0", 12), "a b");
  EXPECT_EQ(FieldText("\0           ", 12), "");
  // A full field, followed in memory by more bytes that must not be read.
  const char full[] = "abcdefghijklXYZ";
  EXPECT_EQ(FieldText(full, 12), "abcdefghijkl");
}

TEST(FieldTest, BytesKeepTrailingSpacesBeforeTheNul) {
  EXPECT_EQ(FieldBytes("a b  \0xyz", 9), "a b  ");
  EXPECT_EQ(FieldBytes("abc ", 4), "abc ");
  EXPECT_EQ(FieldBytes("\0bc", 3), "");
  YHDLRecord r;
  std::memset(&r, 'x', sizeof r);
  std::memcpy(r.YH03, "5000 ", 5);
  r.YH03[5] = '\0';
  EXPECT_EQ(FieldText(r.YH03), "5000");  // the field's own width, from its type
  EXPECT_EQ(FieldText(r.YH04), std::string(sizeof r.YH04, 'x'));
  EXPECT_EQ(FieldText(r, 2), "5000");  // by index: YH03
}

TEST(FieldTest, WriteFillsWithNulsAndCutsAtTheWidth) {
  char f[6];
  WriteField(f, sizeof f, "ab", false);
  EXPECT_EQ(std::string(f, 6), std::string("ab\0\0\0\0", 6));
  WriteField(f, sizeof f, "abcdef", false);
  EXPECT_EQ(std::string(f, 6), "abcdef");
  WriteField(f, sizeof f, "abcdefgh", false);
  EXPECT_EQ(std::string(f, 6), "abcdef");
  // "abcd" then a two-byte and a three-byte character: in UTF-8 the cut keeps whole ones.
  WriteField(f, sizeof f, "abcd\xc3\xa9\xe5\xbc\xa0", true);
  EXPECT_EQ(std::string(f, 6), "abcd\xc3\xa9");
  WriteField(f, sizeof f, "abcde\xc3\xa9", true);
  EXPECT_EQ(std::string(f, 6), std::string("abcde\0", 6));
  WriteField(f, sizeof f, "abcde\xc3\xa9", false);
  EXPECT_EQ(std::string(f, 6), "abcde\xc3");
}

TEST(FieldTest, RecordRoundTripKeepsKeyAndFieldsAndZeroesPadding) {
  YHDLRecord r;
  std::memset(&r, 0x55, sizeof r);
  Row row;
  row.key = 77;
  for (size_t i = 0; i < kTextColumns; ++i) row.text[i] = "v" + std::to_string(i);
  row.text[0] = std::string(50, 'u');  // longer than YH01
  WriteRecord(row, true, &r);
  EXPECT_EQ(r.YH00, 77);
  EXPECT_EQ(r.padding[0], 0);
  EXPECT_EQ(r.padding[1], 0);
  EXPECT_EQ(std::string(r.YH01, 42), std::string(42, 'u'));
  EXPECT_EQ(r.YH02[2], '\0');
  Row back = ReadRecord(r);
  EXPECT_EQ(back.key, 77);
  EXPECT_EQ(back.text[0], std::string(42, 'u'));
  for (size_t i = 1; i < kTextColumns; ++i) EXPECT_EQ(back.text[i], row.text[i]);
}

TEST(CodesetTest, MapsLocaleCodesetsToPostgresEncodings) {
  EXPECT_EQ(PostgresEncodingFor("UTF-8"), "UTF8");
  EXPECT_EQ(PostgresEncodingFor("ANSI_X3.4-1968"), "UTF8");
  EXPECT_EQ(PostgresEncodingFor("GBK"), "GBK");
  EXPECT_EQ(PostgresEncodingFor("cp936"), "GBK");
  EXPECT_EQ(PostgresEncodingFor("GB18030"), "GB18030");
  EXPECT_EQ(PostgresEncodingFor("BIG5-HKSCS"), "BIG5");
  EXPECT_EQ(PostgresEncodingFor("EUC-JP"), "EUC_JP");
  EXPECT_EQ(PostgresEncodingFor("ISO-8859-1"), "LATIN1");
  EXPECT_EQ(PostgresEncodingFor("ISO-8859-15"), "LATIN9");
  EXPECT_EQ(PostgresEncodingFor("windows-1252"), "WIN1252");
  EXPECT_EQ(PostgresEncodingFor("KOI8-R"), "KOI8R");
  EXPECT_EQ(PostgresEncodingFor("no-such-codeset"), "UTF8");
}

}  // namespace
}  // namespace qzpub
