// Column type codes, column flags and charset numbers of the MySQL protocol:
// the one list every part of the client uses.
#pragma once

#include <cstdint>

namespace vix {

// Column type codes.
constexpr uint8_t MYSQL_TYPE_DECIMAL = 0;
constexpr uint8_t MYSQL_TYPE_TINY = 1;
constexpr uint8_t MYSQL_TYPE_SHORT = 2;
constexpr uint8_t MYSQL_TYPE_LONG = 3;
constexpr uint8_t MYSQL_TYPE_FLOAT = 4;
constexpr uint8_t MYSQL_TYPE_DOUBLE = 5;
constexpr uint8_t MYSQL_TYPE_NULL = 6;
constexpr uint8_t MYSQL_TYPE_TIMESTAMP = 7;
constexpr uint8_t MYSQL_TYPE_LONGLONG = 8;
constexpr uint8_t MYSQL_TYPE_INT24 = 9;
constexpr uint8_t MYSQL_TYPE_DATE = 10;
constexpr uint8_t MYSQL_TYPE_TIME = 11;
constexpr uint8_t MYSQL_TYPE_DATETIME = 12;
constexpr uint8_t MYSQL_TYPE_YEAR = 13;
constexpr uint8_t MYSQL_TYPE_NEWDATE = 14;
constexpr uint8_t MYSQL_TYPE_VARCHAR = 15;
constexpr uint8_t MYSQL_TYPE_BIT = 16;
constexpr uint8_t MYSQL_TYPE_NEWDECIMAL = 246;
constexpr uint8_t MYSQL_TYPE_ENUM = 247;
constexpr uint8_t MYSQL_TYPE_SET = 248;
constexpr uint8_t MYSQL_TYPE_TINY_BLOB = 249;
constexpr uint8_t MYSQL_TYPE_MEDIUM_BLOB = 250;
constexpr uint8_t MYSQL_TYPE_LONG_BLOB = 251;
constexpr uint8_t MYSQL_TYPE_BLOB = 252;
constexpr uint8_t MYSQL_TYPE_VAR_STRING = 253;
constexpr uint8_t MYSQL_TYPE_STRING = 254;
constexpr uint8_t MYSQL_TYPE_GEOMETRY = 255;

// Column flags of a column definition.
constexpr int32_t NOT_NULL_FLAG = 0x1;
constexpr int32_t PRI_KEY_FLAG = 0x2;
constexpr int32_t UNIQUE_KEY_FLAG = 0x4;
constexpr int32_t MULTIPLE_KEY_FLAG = 0x8;
constexpr int32_t UNSIGNED_FLAG = 0x20;
constexpr int32_t BINARY_FLAG = 0x80;
constexpr int32_t AUTO_INCREMENT_FLAG = 0x200;
constexpr int32_t TIMESTAMP_FLAG = 0x400;
constexpr int32_t PART_KEY_FLAG = 0x4000;
constexpr int32_t NUM_FLAG = 0x8000;

// The charset number of binary strings.
constexpr int32_t BINARY_CHARSET_NR = 63;

// Blob-like column types: the blobs, and geometry.
constexpr bool IsMySqlBlobType(uint8_t type) {
  return (type >= MYSQL_TYPE_TINY_BLOB && type <= MYSQL_TYPE_BLOB) || type == MYSQL_TYPE_GEOMETRY;
}
// Exact decimals.
constexpr bool IsMySqlDecimalType(uint8_t type) {
  return type == MYSQL_TYPE_DECIMAL || type == MYSQL_TYPE_NEWDECIMAL;
}

}  // namespace vix
