// The client error numbers of the MySQL wire client and its transports
// (2000-2049), with the names MySQL gives them, and the server numbers that
// the packet layer raises itself.
#pragma once

namespace vix {

constexpr int CLIENT_ERROR_BASE = 2000;
constexpr int CR_UNKNOWN_ERROR = 2000;
constexpr int CR_SOCKET_CREATE_ERROR = 2001;
constexpr int CR_CONNECTION_ERROR = 2002;
constexpr int CR_CONN_HOST_ERROR = 2003;
constexpr int CR_IPSOCK_ERROR = 2004;
constexpr int CR_UNKNOWN_HOST = 2005;
constexpr int CR_SERVER_GONE_ERROR = 2006;
constexpr int CR_VERSION_ERROR = 2007;
constexpr int CR_OUT_OF_MEMORY = 2008;
constexpr int CR_WRONG_HOST_INFO = 2009;
constexpr int CR_LOCALHOST_CONNECTION = 2010;
constexpr int CR_TCP_CONNECTION = 2011;
constexpr int CR_SERVER_HANDSHAKE_ERR = 2012;
constexpr int CR_SERVER_LOST = 2013;
constexpr int CR_COMMANDS_OUT_OF_SYNC = 2014;
constexpr int CR_NAMEDPIPE_CONNECTION = 2015;
constexpr int CR_NAMEDPIPEWAIT_ERROR = 2016;
constexpr int CR_NAMEDPIPEOPEN_ERROR = 2017;
constexpr int CR_NAMEDPIPESETSTATE_ERROR = 2018;
constexpr int CR_CANT_READ_CHARSET = 2019;
constexpr int CR_NET_PACKET_TOO_LARGE = 2020;
constexpr int CR_EMBEDDED_CONNECTION = 2021;
constexpr int CR_PROBE_SLAVE_STATUS = 2022;
constexpr int CR_PROBE_SLAVE_HOSTS = 2023;
constexpr int CR_PROBE_SLAVE_CONNECT = 2024;
constexpr int CR_PROBE_MASTER_CONNECT = 2025;
constexpr int CR_SSL_CONNECTION_ERROR = 2026;
constexpr int CR_MALFORMED_PACKET = 2027;
constexpr int CR_NULL_POINTER = 2028;
constexpr int CR_NO_PREPARE_STMT = 2029;
constexpr int CR_PARAMS_NOT_BOUND = 2030;
constexpr int CR_DATA_TRUNCATED = 2031;
constexpr int CR_NO_PARAMETERS_EXISTS = 2032;
constexpr int CR_INVALID_PARAMETER_NO = 2033;
constexpr int CR_INVALID_BUFFER_USE = 2034;
constexpr int CR_UNSUPPORTED_PARAM_TYPE = 2035;
constexpr int CR_SHARED_MEMORY_CONNECTION = 2036;
constexpr int CR_SHARED_MEMORY_CONNECT_REQUEST_ERROR = 2037;
constexpr int CR_SHARED_MEMORY_CONNECT_ANSWER_ERROR = 2038;
constexpr int CR_SHARED_MEMORY_CONNECT_FILE_MAP_ERROR = 2039;
constexpr int CR_SHARED_MEMORY_CONNECT_MAP_ERROR = 2040;
constexpr int CR_SHARED_MEMORY_FILE_MAP_ERROR = 2041;
constexpr int CR_SHARED_MEMORY_MAP_ERROR = 2042;
constexpr int CR_SHARED_MEMORY_EVENT_ERROR = 2043;
constexpr int CR_SHARED_MEMORY_CONNECT_ABANDONED_ERROR = 2044;
constexpr int CR_SHARED_MEMORY_CONNECT_SET_ERROR = 2045;
constexpr int CR_CONN_UNKNOW_PROTOCOL = 2046;
constexpr int CR_INVALID_CONN_HANDLE = 2047;
constexpr int CR_SECURE_AUTH = 2049;
constexpr int CLIENT_ERROR_LAST = CR_INVALID_CONN_HANDLE;

constexpr int ER_NET_PACKETS_OUT_OF_ORDER = 1156;
constexpr int ER_NET_UNCOMPRESS_ERROR = 1157;
constexpr int ER_CONNECTION_KILLED = 1927;  // MariaDB: "Connection was killed"

}  // namespace vix
