// vix-tunnel-server: carries MySQL connections over plain HTTP for clients
// that use the HTTP tunnel protocol (Protocol=mpHttp). Every request names an
// action in the query key "a": "c" opens a tunnel to the database server named
// by "s" and "p" (only to the host:port pairs of --allow), "t" tells the client
// its tunnel number and the idle time after which an unused tunnel is closed,
// "w" relays the request body to the server, "r" answers with what the server
// sent (waiting up to --poll milliseconds for it), "l" keeps the tunnel alive
// and "x" closes it. Answers start with "OK:" or "ER:".
//
// Memory per tunnel is bounded: the server's data waits in a buffer of at
// most --buffer bytes (the database connection is not read while it is
// full), and a write request's body is at most 2 MiB.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxHead = 16384;
constexpr size_t kMaxBody = 0x200000 + 1024;
constexpr size_t kMaxAnswer = 1 << 20;
constexpr int kMaxConnections = 256;
constexpr int kSocketSeconds = 30;

struct Config {
  std::string listenHost = "127.0.0.1";
  int listenPort = 8080;
  std::vector<std::string> allow;  // "host:port", host in lower case
  std::map<std::string, std::string> users;
  int notifySeconds = 60;
  int pollMs = 1000;
  size_t maxTunnels = 64;
  size_t bufferCap = 4u << 20;
  bool testFaults = false;
  std::string portFile;
};
Config gConfig;

std::mutex gLogLock;
void Log(const std::string& line) {
  std::lock_guard<std::mutex> guard(gLogLock);
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

uint32_t RandomU32() {
  uint32_t v = 0;
  while (getrandom(&v, sizeof v, 0) != sizeof v) {
  }
  return v;
}

// --- tunnels ---------------------------------------------------------------

struct Tunnel {
  int number = 0;
  std::string id, user, client, target;
  int fd = -1;
  std::mutex lock;
  std::condition_variable changed;
  std::deque<char> data;  // from the database server, not yet read
  bool upstreamClosed = false;
  bool closing = false;
  Clock::time_point opened = Clock::now(), lastUsed = Clock::now();
  uint64_t sent = 0, received = 0;
  std::thread reader;

  void Touch() {
    std::lock_guard<std::mutex> guard(lock);
    lastUsed = Clock::now();
  }
};

std::mutex gTunnelsLock;
std::map<int, std::shared_ptr<Tunnel>> gByNumber;
std::map<std::string, int> gById;

void ReaderLoop(Tunnel* t) {
  std::vector<char> chunk(65536);
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(t->lock);
      t->changed.wait(guard, [t] { return t->closing || t->data.size() < gConfig.bufferCap; });
      if (t->closing) return;
    }
    const ssize_t n = recv(t->fd, chunk.data(), chunk.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard<std::mutex> guard(t->lock);
    if (n <= 0) {
      t->upstreamClosed = true;
      t->changed.notify_all();
      return;
    }
    t->data.insert(t->data.end(), chunk.data(), chunk.data() + n);
    t->changed.notify_all();
  }
}

// Takes the tunnel out of the tables, closes its database connection and
// writes its one log line.
void CloseTunnel(const std::shared_ptr<Tunnel>& t, const char* reason) {
  {
    std::lock_guard<std::mutex> guard(gTunnelsLock);
    auto it = gByNumber.find(t->number);
    if (it == gByNumber.end() || it->second != t) return;  // closed already
    gByNumber.erase(it);
    auto id = gById.find(t->id);
    if (id != gById.end() && id->second == t->number) gById.erase(id);
  }
  {
    std::lock_guard<std::mutex> guard(t->lock);
    t->closing = true;
    t->changed.notify_all();
  }
  shutdown(t->fd, SHUT_RDWR);
  if (t->reader.joinable()) t->reader.join();
  close(t->fd);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - t->opened).count();
  Log("tunnel " + std::to_string(t->number) + " user=" + (t->user.empty() ? "-" : t->user) + " client=" + t->client +
      " target=" + t->target + " seconds=" + std::to_string(seconds) + " sent=" + std::to_string(t->sent) +
      " received=" + std::to_string(t->received) + " end=" + reason);
}

void ReapIdle() {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<std::shared_ptr<Tunnel>> idle;
    {
      std::lock_guard<std::mutex> guard(gTunnelsLock);
      for (auto& [number, t] : gByNumber) {
        std::lock_guard<std::mutex> tl(t->lock);
        if (Clock::now() - t->lastUsed > std::chrono::seconds(gConfig.notifySeconds)) idle.push_back(t);
      }
    }
    for (auto& t : idle) CloseTunnel(t, "idle");
  }
}

int ConnectUpstream(const std::string& host, int port, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (rc != 0) {
    error = gai_strerror(rc);
    return -1;
  }
  int fd = -1;
  for (addrinfo* a = list; a; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) break;
    error = std::strerror(errno);
    close(fd);
    fd = -1;
  }
  freeaddrinfo(list);
  if (fd >= 0) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    timeval tv{kSocketSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  }
  return fd;
}

// --- HTTP ------------------------------------------------------------------

struct Request {
  std::string method, path, query;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::map<std::string, std::string> args;
};

bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() + 0 && Hex(s[i + 1]) >= 0 && Hex(s[i + 2]) >= 0) {
      out += static_cast<char>(Hex(s[i + 1]) * 16 + Hex(s[i + 2]));
      i += 2;
    } else {
      out += s[i] == '+' ? ' ' : s[i];
    }
  }
  return out;
}

std::string Base64Decode(std::string_view s) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : s) {
    const int v = value(c);
    if (v < 0) break;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

bool SameSecret(const std::string& a, const std::string& b) {
  unsigned diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned>(a[i] ^ b[i % std::max<size_t>(b.size(), 1)]);
  return diff == 0;
}

// Reads the request head and, with a Content-Length, its body. False when the
// request is malformed, too large or cut.
bool ReadRequest(int fd, Request& r) {
  std::string in;
  char buf[8192];
  size_t headEnd;
  while ((headEnd = in.find("\r\n\r\n")) == std::string::npos) {
    if (in.size() > kMaxHead) return false;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    in.append(buf, static_cast<size_t>(n));
  }
  std::string_view head(in.data(), headEnd);
  const size_t lineEnd = head.find("\r\n");
  const std::string_view line = head.substr(0, lineEnd);
  const size_t s1 = line.find(' '), s2 = line.rfind(' ');
  if (s1 == std::string_view::npos || s2 <= s1) return false;
  r.method = line.substr(0, s1);
  std::string_view target = line.substr(s1 + 1, s2 - s1 - 1);
  if (target.substr(0, 7) == "http://") {  // through a proxy: the whole URL
    const size_t slash = target.find('/', 7);
    target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
  }
  const size_t q = target.find('?');
  r.path = target.substr(0, q);
  r.query = q == std::string_view::npos ? std::string() : std::string(target.substr(q + 1));
  size_t pos = lineEnd == std::string_view::npos ? head.size() : lineEnd + 2;
  while (pos < head.size()) {
    size_t end = head.find("\r\n", pos);
    if (end == std::string_view::npos) end = head.size();
    const std::string_view h = head.substr(pos, end - pos);
    const size_t colon = h.find(':');
    if (colon != std::string_view::npos) {
      std::string_view v = h.substr(colon + 1);
      while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
      r.headers[Lower(std::string(h.substr(0, colon)))] = v;
    }
    pos = end + 2;
  }
  for (size_t start = 0; start <= r.query.size();) {
    size_t end = r.query.find('&', start);
    if (end == std::string::npos) end = r.query.size();
    const std::string_view kv = std::string_view(r.query).substr(start, end - start);
    const size_t eq = kv.find('=');
    if (eq != std::string_view::npos) r.args[PercentDecode(kv.substr(0, eq))] = PercentDecode(kv.substr(eq + 1));
    start = end + 1;
  }
  std::string rest = in.substr(headEnd + 4);
  auto length = r.headers.find("content-length");
  if (length == r.headers.end()) return true;
  const std::string& text = length->second;
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const size_t want = std::stoul(text);
  if (want > kMaxBody) return false;
  while (rest.size() < want) {
    const ssize_t n = recv(fd, buf, std::min(sizeof buf, want - rest.size()), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    rest.append(buf, static_cast<size_t>(n));
  }
  rest.resize(want);
  r.body = std::move(rest);
  return true;
}

struct Answer {
  int status = 200;
  std::string reason = "OK";
  std::string body;
  std::vector<std::string> headers;
};

Answer Ok(std::string data = std::string()) {
  Answer a;
  a.body = "OK:" + data;
  return a;
}

Answer Er(const std::string& text) {
  Answer a;
  a.body = "ER:" + text;
  return a;
}

// How a test instance (--test-faults) misbehaves, chosen by the path
// ".../fault/<mode>/".
enum class Fault { None, Dribble, Cut, CutWrite, Redirect302, Redirect307, Unauthorized, Late, Never };

Fault FaultOf(const std::string& path) {
  if (!gConfig.testFaults) return Fault::None;
  const size_t at = path.find("/fault/");
  if (at == std::string::npos) return Fault::None;
  std::string mode = path.substr(at + 7);
  mode = mode.substr(0, mode.find('/'));
  if (mode == "dribble") return Fault::Dribble;
  if (mode == "cut") return Fault::Cut;
  if (mode == "cutwrite") return Fault::CutWrite;
  if (mode == "302") return Fault::Redirect302;
  if (mode == "307") return Fault::Redirect307;
  if (mode == "401") return Fault::Unauthorized;
  if (mode == "late") return Fault::Late;
  if (mode == "never") return Fault::Never;
  return Fault::None;
}

void SendAnswer(int fd, const Answer& a, Fault fault, const std::string& action) {
  std::string head = "HTTP/1.0 " + std::to_string(a.status) + " " + a.reason + "\r\n";
  head += "Content-Type: application/octet-stream\r\nCache-Control: no-store\r\nConnection: close\r\n";
  for (const std::string& h : a.headers) head += h + "\r\n";
  head += "Content-Length: " + std::to_string(a.body.size()) + "\r\n\r\n";
  if (fault == Fault::Dribble) {
    const std::string all = head + a.body;
    for (size_t i = 0; i < all.size(); i += 3) {
      if (!SendAll(fd, all.data() + i, std::min<size_t>(3, all.size() - i))) return;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return;
  }
  if (fault == Fault::Cut && action == "r" && a.body.size() > 3) {
    SendAll(fd, head.data(), head.size());
    SendAll(fd, a.body.data(), a.body.size() / 2);
    return;
  }
  SendAll(fd, head.data(), head.size());
  SendAll(fd, a.body.data(), a.body.size());
}

std::shared_ptr<Tunnel> FindTunnel(const Request& r, const std::string& user) {
  auto it = r.args.find("port");
  if (it == r.args.end()) return nullptr;
  const int number = std::atoi(it->second.c_str());
  std::lock_guard<std::mutex> guard(gTunnelsLock);
  auto t = gByNumber.find(number);
  if (t == gByNumber.end() || t->second->user != user) return nullptr;
  return t->second;
}

Answer NoTunnel() {
  return Er("No such tunnel (closed, or unused for more than " + std::to_string(gConfig.notifySeconds) + " seconds)");
}

Answer OpenTunnel(const Request& r, const std::string& user, const std::string& client) {
  const std::string host = r.args.count("s") ? r.args.at("s") : "";
  const std::string portText = r.args.count("p") ? r.args.at("p") : "";
  const std::string id = r.args.count("id") ? r.args.at("id") : "";
  const int port = std::atoi(portText.c_str());
  if (id.empty() || id.size() > 32 || id.find_first_not_of("0123456789_") != std::string::npos)
    return Er("Invalid tunnel id");
  const std::string target = Lower(host) + ":" + std::to_string(port);
  if (std::find(gConfig.allow.begin(), gConfig.allow.end(), target) == gConfig.allow.end()) {
    Log("refused client=" + client + " target=" + target + " (not allowed)");
    return Er("The tunnel server does not relay to " + target);
  }
  {
    std::lock_guard<std::mutex> guard(gTunnelsLock);
    if (gByNumber.size() >= gConfig.maxTunnels) return Er("Too many tunnels are open");
  }
  std::string error;
  const int fd = ConnectUpstream(host, port, error);
  if (fd < 0) return Er("Cannot connect to " + target + ": " + error);
  auto t = std::make_shared<Tunnel>();
  t->id = id;
  t->user = user;
  t->client = client;
  t->target = target;
  t->fd = fd;
  std::shared_ptr<Tunnel> replaced;
  {
    std::lock_guard<std::mutex> guard(gTunnelsLock);
    do t->number = static_cast<int>(RandomU32() & 0x7FFFFFFF);
    while (t->number == 0 || gByNumber.count(t->number));
    if (auto old = gById.find(id); old != gById.end()) replaced = gByNumber[old->second];
    gByNumber[t->number] = t;
    gById[id] = t->number;
  }
  if (replaced && replaced->user == user) CloseTunnel(replaced, "replaced");
  t->reader = std::thread(ReaderLoop, t.get());
  return Ok();
}

Answer TestTunnel(const Request& r, const std::string& user) {
  const std::string id = r.args.count("id") ? r.args.at("id") : "";
  std::shared_ptr<Tunnel> t;
  {
    std::lock_guard<std::mutex> guard(gTunnelsLock);
    auto it = gById.find(id);
    if (it != gById.end()) t = gByNumber[it->second];
  }
  if (!t || t->user != user) return Er("No tunnel with this id");
  t->Touch();
  return Ok(std::to_string(t->number) + "\n" + std::to_string(gConfig.notifySeconds) + "\n");
}

Answer ReadTunnel(const std::shared_ptr<Tunnel>& t) {
  std::string out;
  bool ended = false;
  {
    std::unique_lock<std::mutex> guard(t->lock);
    t->lastUsed = Clock::now();
    t->changed.wait_for(guard, std::chrono::milliseconds(gConfig.pollMs),
                        [&] { return !t->data.empty() || t->upstreamClosed || t->closing; });
    const size_t n = std::min(t->data.size(), kMaxAnswer);
    out.assign(t->data.begin(), t->data.begin() + static_cast<std::ptrdiff_t>(n));
    t->data.erase(t->data.begin(), t->data.begin() + static_cast<std::ptrdiff_t>(n));
    t->received += n;
    ended = out.empty() && (t->upstreamClosed || t->closing);
    t->changed.notify_all();
  }
  if (ended) {
    CloseTunnel(t, "server");
    return Er("The database server closed the connection");
  }
  return Ok(out);
}

Answer WriteTunnel(const std::shared_ptr<Tunnel>& t, const std::string& body) {
  t->Touch();
  if (!SendAll(t->fd, body.data(), body.size())) {
    const std::string error = std::strerror(errno);
    CloseTunnel(t, "write-failed");
    return Er("Cannot write to the database server: " + error);
  }
  std::lock_guard<std::mutex> guard(t->lock);
  t->sent += body.size();
  return Ok();
}

void Serve(int fd, std::string client) {
  timeval tv{kSocketSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  Request r;
  if (!ReadRequest(fd, r)) return;
  const Fault fault = FaultOf(r.path);
  const std::string action = r.args.count("a") ? r.args.at("a") : "";
  Answer a;
  std::string user;
  bool authorized = gConfig.users.empty();
  if (!authorized) {
    auto h = r.headers.find("authorization");
    if (h != r.headers.end() && h->second.size() > 6 && Lower(h->second.substr(0, 6)) == "basic ") {
      const std::string pair = Base64Decode(h->second.substr(6));
      const size_t colon = pair.find(':');
      if (colon != std::string::npos) {
        user = pair.substr(0, colon);
        auto u = gConfig.users.find(user);
        authorized = u != gConfig.users.end() && SameSecret(pair.substr(colon + 1), u->second);
      }
    }
  }
  const std::string self = "http://" + (r.headers.count("host") ? r.headers.at("host") : gConfig.listenHost) + r.path +
                           (r.query.empty() ? "" : "?" + r.query);
  if (fault == Fault::Unauthorized || !authorized) {
    a.status = 401;
    a.reason = "Unauthorized";
    a.headers.push_back("WWW-Authenticate: Basic realm=\"vix tunnel\"");
    a.body = "ER:Authentication required";
  } else if (fault == Fault::Redirect302 || (fault == Fault::Redirect307 && action == "w")) {
    a.status = fault == Fault::Redirect302 ? 302 : 307;
    a.reason = "Moved";
    a.headers.push_back("Location: " + self);
  } else if (fault == Fault::CutWrite && action == "w") {
    return;  // the body was taken; no answer comes
  } else if (action == "c") {
    a = OpenTunnel(r, user, client);
  } else if (action == "t") {
    a = TestTunnel(r, user);
  } else {
    auto t = FindTunnel(r, user);
    if (!t) {
      a = NoTunnel();
    } else if (action == "r") {
      if (fault == Fault::Late) std::this_thread::sleep_for(std::chrono::seconds(3));
      if (fault == Fault::Never) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 60000);  // until the client gives up
        return;
      }
      a = ReadTunnel(t);
    } else if (action == "w") {
      a = WriteTunnel(t, r.body);
    } else if (action == "l") {
      t->Touch();
      a = Ok();
    } else if (action == "x") {
      CloseTunnel(t, "closed");
      a = Ok();
    } else {
      a = Er("Unknown action");
    }
  }
  SendAnswer(fd, a, fault, action);
}

std::atomic<int> gConnections{0};

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: vix-tunnel-server --allow HOST:PORT [--allow ...] [--listen HOST:PORT]\n"
               "         [--auth-file FILE] [--notify SECONDS] [--poll MS] [--max-tunnels N]\n"
               "         [--buffer BYTES] [--port-file FILE] [--test-faults]\n");
  std::exit(2);
}

bool SplitHostPort(const std::string& text, std::string& host, int& port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  host = text.substr(0, colon);
  const std::string p = text.substr(colon + 1);
  if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
  port = std::stoi(p);
  return port <= 65535;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) Usage();
      return argv[++i];
    };
    if (arg == "--allow") {
      std::string host;
      int port = 0;
      if (!SplitHostPort(next(), host, port) || port == 0) Usage();
      gConfig.allow.push_back(Lower(host) + ":" + std::to_string(port));
    } else if (arg == "--listen") {
      if (!SplitHostPort(next(), gConfig.listenHost, gConfig.listenPort)) Usage();
    } else if (arg == "--auth-file") {
      std::ifstream in(next());
      if (!in) Usage();
      for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t colon = line.find(':');
        if (line.empty() || line[0] == '#' || colon == std::string::npos) continue;
        gConfig.users[line.substr(0, colon)] = line.substr(colon + 1);
      }
    } else if (arg == "--notify") {
      gConfig.notifySeconds = std::clamp(std::atoi(next().c_str()), 2, 86400);
    } else if (arg == "--poll") {
      gConfig.pollMs = std::clamp(std::atoi(next().c_str()), 10, 10000);
    } else if (arg == "--max-tunnels") {
      gConfig.maxTunnels = static_cast<size_t>(std::clamp(std::atoi(next().c_str()), 1, 10000));
    } else if (arg == "--buffer") {
      gConfig.bufferCap = static_cast<size_t>(std::clamp(std::atol(next().c_str()), 65536L, 1L << 30));
    } else if (arg == "--port-file") {
      gConfig.portFile = next();
    } else if (arg == "--test-faults") {
      gConfig.testFaults = true;
    } else {
      Usage();
    }
  }
  if (gConfig.allow.empty()) Usage();

  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(gConfig.listenPort));
  if (inet_pton(AF_INET, gConfig.listenHost.c_str(), &addr.sin_addr) != 1) {
    std::fprintf(stderr, "vix-tunnel-server: --listen needs an IPv4 address\n");
    return 2;
  }
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 64) != 0) {
    std::fprintf(stderr, "vix-tunnel-server: cannot listen on %s:%d: %s\n", gConfig.listenHost.c_str(),
                 gConfig.listenPort, std::strerror(errno));
    return 1;
  }
  socklen_t len = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  const int port = ntohs(addr.sin_port);
  if (!gConfig.portFile.empty()) {
    const std::string temp = gConfig.portFile + ".tmp";
    std::ofstream(temp) << port << "\n";
    std::rename(temp.c_str(), gConfig.portFile.c_str());
  }
  Log("listening on " + gConfig.listenHost + ":" + std::to_string(port) + (gConfig.testFaults ? " (test faults)" : ""));
  std::thread(ReapIdle).detach();
  for (;;) {
    sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (gConnections.load() >= kMaxConnections) {
      close(fd);
      continue;
    }
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    ++gConnections;
    std::thread([fd, client = std::string(text)] {
      Serve(fd, client);
      shutdown(fd, SHUT_WR);
      close(fd);
      --gConnections;
    }).detach();
  }
}
