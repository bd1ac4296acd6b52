// A named-pipe listener for tests (Windows): each client that opens the pipe
// is handed to a function on the server's thread, as TLoopbackServer does for
// TCP. `instances` pipe instances exist at once; a client beyond them finds
// the pipe busy. Bounded: it serves at most `maxClients` clients.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace vix::test {

// One end of a connected pipe, for Play (ScriptedServer.h).
struct TPipeEnd {
  HANDLE Handle;
};

inline bool SendAll(TPipeEnd end, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    DWORD n = 0;
    if (!WriteFile(end.Handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, nullptr) || n == 0)
      return false;
    done += n;
  }
  return true;
}

// Waits up to `ms` for bytes and reads what is there; empty when the client
// went away or nothing came.
inline std::string ReadSome(TPipeEnd end, int ms) {
  for (int waited = 0;; waited += 5) {
    DWORD available = 0;
    if (!PeekNamedPipe(end.Handle, nullptr, 0, nullptr, &available, nullptr)) return std::string();
    if (available > 0) {
      std::string bytes(available, '\0');
      DWORD n = 0;
      if (!ReadFile(end.Handle, bytes.data(), available, &n, nullptr)) return std::string();
      bytes.resize(n);
      return bytes;
    }
    if (waited >= ms) return std::string();
    Sleep(5);
  }
}

inline std::string ReadClient(TPipeEnd end) {
  return ReadSome(end, 5000);
}

inline std::string RecvUntilIdle(TPipeEnd end, int idleMs) {
  std::string all;
  for (std::string more; !(more = ReadSome(end, idleMs)).empty();) all += more;
  return all;
}

// A pipe has no reset: the server's end is closed as usual.
inline void CloseWithReset(TPipeEnd) {}

class TPipeServer {
 public:
  using Handler = std::function<void(TPipeEnd)>;
  TPipeServer(const std::string& name, Handler onClient, int maxClients = 1, int instances = 1)
      : FName(name), FOnClient(std::move(onClient)) {
    for (int i = 0; i < instances; ++i)
      FPipes.push_back(CreateNamedPipeW(Path().c_str(), PIPE_ACCESS_DUPLEX,
                                        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, instances, 65536, 65536, 0,
                                        nullptr));
    FThread = std::thread([this, maxClients] { Run(maxClients); });
  }
  ~TPipeServer() {
    FStop = true;
    // A server waiting for a client is woken by one that comes and goes.
    const HANDLE wake =
        CreateFileW(Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (wake != INVALID_HANDLE_VALUE) CloseHandle(wake);
    FThread.join();
    for (HANDLE p : FPipes)
      if (p != INVALID_HANDLE_VALUE) CloseHandle(p);
  }
  TPipeServer(const TPipeServer&) = delete;
  TPipeServer& operator=(const TPipeServer&) = delete;

  bool Listening() const { return !FPipes.empty() && FPipes[0] != INVALID_HANDLE_VALUE; }
  int Served() const { return FServed.load(); }

 private:
  std::wstring Path() const { return L"\\\\.\\pipe\\" + std::wstring(FName.begin(), FName.end()); }

  // Serves the first instance only; the others stay open unserved (busy).
  void Run(int maxClients) {
    if (!Listening()) return;
    const HANDLE pipe = FPipes[0];
    while (!FStop && FServed < maxClients) {
      const bool connected = ConnectNamedPipe(pipe, nullptr) != 0 || GetLastError() == ERROR_PIPE_CONNECTED;
      if (FStop) break;
      if (connected) {
        ++FServed;
        FOnClient(TPipeEnd{pipe});
        FlushFileBuffers(pipe);
      }
      DisconnectNamedPipe(pipe);
    }
  }

  std::string FName;
  Handler FOnClient;
  std::vector<HANDLE> FPipes;
  std::atomic<bool> FStop{false};
  std::atomic<int> FServed{0};
  std::thread FThread;
};

}  // namespace vix::test
