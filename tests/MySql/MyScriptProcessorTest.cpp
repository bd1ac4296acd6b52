// How a script is cut into statements with the MySQL rules, offline.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Common/DAScript.h"
#include "MySql/MyScriptProcessor.h"
#include "rtl/UString.h"

namespace vix {
namespace {

// The texts a script would send, in order ("DELIMITER x" for a delimiter command).
std::vector<std::string> Cut(const std::string& script) {
  TDAScript s;
  s.SetProcessor(std::make_unique<TMyScriptProcessor>());
  s.SetSQL(U(script));
  std::vector<std::string> out;
  for (const auto& st : s.Statements()) {
    if (st.Type == stDelimiter) out.push_back("DELIMITER " + ToUtf8(st.NewDelimiter));
    else out.push_back(ToUtf8(s.StatementText(st)));
  }
  return out;
}

struct CutCase {
  const char* name;
  std::string script;
  std::vector<std::string> expected;
};

TEST(MyScriptProcessor, CutsAsTheCommandLineClient) {
  const CutCase cases[] = {
      {"two statements, trailing delimiter", "SELECT 1; SELECT 2;", {"SELECT 1", "SELECT 2"}},
      {"no trailing delimiter", "SELECT 1;\nSELECT 2", {"SELECT 1", "SELECT 2"}},
      {"delimiter inside quotes and comments",
       "SELECT 'a;b', \"c;d\", `e;f` /* g; */ -- h;\n# i;\n;SELECT 'it''s;', 'x\\';y'",
       {"SELECT 'a;b', \"c;d\", `e;f` /* g; */ -- h;\n# i;", "SELECT 'it''s;', 'x\\';y'"}},
      {"'--' without a blank is no comment", "SELECT 1--1;SELECT 2", {"SELECT 1--1", "SELECT 2"}},
      {"comment-only tail is not sent", "SELECT 1;\n-- Dump completed\n/* end */\n", {"SELECT 1"}},
      {"comment-only piece between statements", "SELECT 1; -- x\n; SELECT 2", {"SELECT 1", "SELECT 2"}},
      {"executable comment is sent", "/*!40101 SET NAMES utf8mb4 */;\n/* plain */;", {"/*!40101 SET NAMES utf8mb4 */"}},
      {"MariaDB executable comment", "/*M!100616 SET NOTE_VERBOSITY=0 */;", {"/*M!100616 SET NOTE_VERBOSITY=0 */"}},
      {"DELIMITER $$ around a body",
       "DELIMITER $$\nCREATE PROCEDURE p() BEGIN SELECT 1; SELECT 2; END$$\nDELIMITER ;\nSELECT 3;",
       {"DELIMITER $$", "CREATE PROCEDURE p() BEGIN SELECT 1; SELECT 2; END", "DELIMITER ;", "SELECT 3"}},
      {"DELIMITER // and END//",
       "delimiter //\nCREATE FUNCTION f() RETURNS INT BEGIN RETURN 1; END//\ndelimiter ;\nSELECT f();",
       {"DELIMITER //", "CREATE FUNCTION f() RETURNS INT BEGIN RETURN 1; END", "DELIMITER ;", "SELECT f()"}},
      {"long delimiter",
       "DELIMITER END_OF_IT\nSELECT 1; SELECT 2 END_OF_IT\nDELIMITER ;",
       {"DELIMITER END_OF_IT", "SELECT 1; SELECT 2", "DELIMITER ;"}},
      {"a column named delimiter",
       "CREATE TABLE t (delimiter VARCHAR(3));\nINSERT INTO t (delimiter) VALUES ('$$');\nSELECT delimiter FROM t;",
       {"CREATE TABLE t (delimiter VARCHAR(3))", "INSERT INTO t (delimiter) VALUES ('$$')", "SELECT delimiter FROM t"}},
      {"DELIMITER not first in a statement",
       "SELECT 1 AS x, 2 delimiter;SELECT 3",
       {"SELECT 1 AS x, 2 delimiter", "SELECT 3"}},
      {"routine body with ';' in force",
       "CREATE DEFINER=`root`@`localhost` PROCEDURE p() BEGIN IF 1 THEN SELECT 1; END IF; "
       "CASE WHEN 1 THEN SELECT 2; END CASE; lbl: BEGIN SELECT 3; END lbl; END;\nSELECT 4;",
       {"CREATE DEFINER=`root`@`localhost` PROCEDURE p() BEGIN IF 1 THEN SELECT 1; END IF; "
        "CASE WHEN 1 THEN SELECT 2; END CASE; lbl: BEGIN SELECT 3; END lbl; END",
        "SELECT 4"}},
      {"single-statement trigger ends at the delimiter",
       "CREATE TRIGGER tr BEFORE INSERT ON t FOR EACH ROW SET NEW.a = CASE WHEN NEW.a > 0 THEN 1 ELSE 0 END;\n"
       "INSERT INTO t VALUES (1);",
       {"CREATE TRIGGER tr BEFORE INSERT ON t FOR EACH ROW SET NEW.a = CASE WHEN NEW.a > 0 THEN 1 ELSE 0 END",
        "INSERT INTO t VALUES (1)"}},
      {"single-statement function",
       "CREATE FUNCTION f() RETURNS INT RETURN 1;\nSELECT f();",
       {"CREATE FUNCTION f() RETURNS INT RETURN 1", "SELECT f()"}},
      {"a column named function is no routine",
       "CREATE TABLE t (`function` INT, begin INT);SELECT 1",
       {"CREATE TABLE t (`function` INT, begin INT)", "SELECT 1"}},
      {"lone slash ends a routine",
       "CREATE PROCEDURE p() BEGIN SELECT 1; SELECT 2; END\n/\nSELECT 3",
       {"CREATE PROCEDURE p() BEGIN SELECT 1; SELECT 2; END", "SELECT 3"}},
      {"dump trigger inside executable comments",
       "DELIMITER ;;\n/*!50003 CREATE*/ /*!50017 DEFINER=`root`@`%`*/ /*!50003 TRIGGER tr BEFORE INSERT ON t "
       "FOR EACH ROW BEGIN SET NEW.a = 1; SET NEW.b = 2; END */;;\nDELIMITER ;\n",
       {"DELIMITER ;;",
        "/*!50003 CREATE*/ /*!50017 DEFINER=`root`@`%`*/ /*!50003 TRIGGER tr BEFORE INSERT ON t FOR EACH ROW BEGIN "
        "SET NEW.a = 1; SET NEW.b = 2; END */",
        "DELIMITER ;"}},
      {"unterminated string runs to the end", "SELECT 'abc; SELECT 2", {"SELECT 'abc; SELECT 2"}},
      {"unterminated comment", "SELECT 1; /* open", {"SELECT 1"}},
      {"Korean text",
       "INSERT INTO t VALUES ('홍길동;');SELECT '비번'",
       {"INSERT INTO t VALUES ('홍길동;')", "SELECT '비번'"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Cut(c.script), c.expected) << c.name;
}

TEST(MyScriptProcessor, OffsetsPointIntoTheOneText) {
  TDAScript s;
  s.SetProcessor(std::make_unique<TMyScriptProcessor>());
  s.SetSQL(u"  SELECT 1 ;\n\nDELIMITER $$\n SELECT 2$$");
  const auto& list = s.Statements();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].StartPos, 2);
  EXPECT_EQ(list[0].EndPos, 10);
  EXPECT_EQ(list[1].Type, stDelimiter);
  EXPECT_TRUE(list[1].Omit);
  EXPECT_EQ(list[2].StartPos, 28);
  EXPECT_EQ(s.StatementText(list[2]), u"SELECT 2");
  // Lines and columns of the first and last character (the end one past it).
  const auto where = [](const TScriptStatement& st) {
    return std::vector<int64_t>{st.StartLine, st.StartOffset, st.EndLine, st.EndOffset};
  };
  EXPECT_EQ(where(list[0]), (std::vector<int64_t>{0, 2, 0, 10}));
  EXPECT_EQ(where(list[2]), (std::vector<int64_t>{3, 1, 3, 9}));

  // CR LF, a lone CR and a statement over several lines.
  s.SetSQL(u"SELECT 1;\r\n SELECT\r\n  2;\rSELECT 3");
  const auto& more = s.Statements();
  ASSERT_EQ(more.size(), 3u);
  EXPECT_EQ(where(more[1]), (std::vector<int64_t>{1, 1, 2, 3}));
  EXPECT_EQ(where(more[2]), (std::vector<int64_t>{3, 0, 3, 8}));
}

TEST(DAScript, BaseRulesHaveNoDelimiterCommand) {
  TDAScript s;
  s.SetSQL(u"DELIMITER $$\nSELECT 'a;b' -- c;\n;SELECT `x;y`");
  std::vector<UString> texts;
  for (const auto& st : s.Statements()) texts.push_back(s.StatementText(st));
  EXPECT_EQ(texts, (std::vector<UString>{u"DELIMITER $$\nSELECT 'a;b' -- c;", u"SELECT `x", u"y`"}));
}

TEST(DAScript, EmptyDelimiterIsRefused) {
  TDAScript s;
  EXPECT_ANY_THROW(s.SetDelimiter(u""));
}

TEST(DAScript, ExecuteWithoutConnectionRaises) {
  TDAScript s;
  s.SetSQL(u"SELECT 1");
  try {
    s.Execute();
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Connection is not defined");
  }
}

TEST(DAScript, ScriptBytesAreDecodedByTheirMark) {
  struct Case {
    const char* name;
    std::string bytes;
    UString text;
  };
  const Case cases[] = {
      {"UTF-8 with mark", "\xEF\xBB\xBFSELECT '\xED\x95\x9C'", u"SELECT '한'"},
      {"UTF-8 without mark", "SELECT '\xED\x95\x9C'", u"SELECT '한'"},
      {"UTF-16LE", std::string("\xFF\xFES\0'\0\x5C\xD5'\0", 10), u"S'한'"},
      {"UTF-16LE odd tail", std::string("\xFF\xFE;\0x", 5), u";"},
      {"ANSI code page 949", "SELECT '\xC7\xD1'", u"SELECT '한'"},
      {"UTF-8 session with raw bytes", "SET NAMES utf8mb4;\nSELECT '\xED\x95\x9C\xFF\xC7'",
       u"SET NAMES utf8mb4;\nSELECT '한\xDCFF\xDCC7'"},
      {"empty", "", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeScriptBytes(c.bytes), c.text) << c.name;
}

}  // namespace
}  // namespace vix
