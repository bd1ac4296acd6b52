// MariaDB's C connector reading a query's rows raw (text protocol, no
// conversion): the reference figure beside the record set. Only
// MariaDbRaw.cpp sees the connector's headers.
#pragma once

#include <cstdint>
#include <string>

namespace vix::bench {

// Rows read, or -1 with `error` set.
int64_t ReadRowsRaw(const std::string& host, int port, const std::string& user, const std::string& password,
                    const std::string& db, const std::string& sql, std::string& error);

// A session of the connector kept open across calls (none on failure, with
// `error` set), for round trips measured on their own.
struct RawSession;
RawSession* OpenRaw(const std::string& host, int port, const std::string& user, const std::string& password,
                    const std::string& db, bool multiStatements, std::string& error);
// Runs `sql` and reads every result it returns; false with `error` set.
bool QueryRaw(RawSession* session, const std::string& sql, std::string& error);
void CloseRaw(RawSession* session);

}  // namespace vix::bench
