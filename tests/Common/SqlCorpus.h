// Realistic statements shared by the lexer tests and the lexer benchmark.
#pragma once

#include <vector>

#include "rtl/UString.h"

namespace vix::test {

inline const std::vector<UString>& SqlCorpus() {
  static const std::vector<UString> corpus = {
      u" SELECT Password, AccessSetupHead, AccessSetupCnt FROM UserMt WHERE SiteID = :SiteID AND UserName = "
      u":UserName ",
      u"SELECT u.UserName, s.SiteName\r\n  FROM UserMt u\r\n  JOIN SiteMt s ON s.SiteID = u.SiteID\r\n"
      u" WHERE u.UserName LIKE 'kim%' -- only the Kims\r\n ORDER BY 1 DESC LIMIT 10, 20",
      u"INSERT INTO `Sale Detail` (`SiteID`, ItemCode, Qty, Price, Memo)\n"
      u"VALUES (:SiteID, :ItemCode, 3, 1250.50, 'it''s \\'quoted\\' \\\\ here')",
      u"UPDATE UserMt SET AccessSetupCnt = AccessSetupCnt + 1, LastLogin = NOW() /* keep: the time */\n"
      u" WHERE SiteID = :SiteID AND UserName = :\"User Name\"",
      u"DELETE FROM LogMt WHERE LogDate < DATE_SUB(CURDATE(), INTERVAL 30 DAY); # housekeeping",
      u"SELECT CAST(a AS CHAR) AS \"x:y\", 'a:b', `c:d`, e::f, @v := 1 FROM t /*/ odd :p */ WHERE k = :k",
      u"SELECT 상품명, 단가 FROM 상품 WHERE 분류 = '음료' AND 단가 >= 1000 AND 코드 <> :코드",
      u"CREATE TABLE IF NOT EXISTS Item (\n\tID INT NOT NULL AUTO_INCREMENT,\n\tName VARCHAR(40) DEFAULT '',\n"
      u"\tPRIMARY KEY (ID)\n) ENGINE=InnoDB DEFAULT CHARSET=utf8",
      u"SELECT COUNT(*), SUM(Qty * Price) FROM SaleDetail GROUP BY SiteID HAVING SUM(Qty) > 0.5 FOR UPDATE",
      u"SHOW COLUMNS FROM UserMt",
      u"SELECT 'unterminated string :p",
  };
  return corpus;
}

}  // namespace vix::test
