// The platform layer on Qt: message boxes with Korean buttons, the end of the
// message loop, the process's argument and folder, the settings taken from the
// environment, and a "browser" that loads one page with Qt Network while the
// event loop keeps running.
#pragma once

#include <cstdint>
#include <memory>

#include "app/Platform.h"

class QMessageBox;
class QNetworkAccessManager;

namespace vix {

class TQtPlatform : public TPlatform {
 public:
  // How long a page may take before its host counts as unreachable.
  static constexpr int kDefaultPageTimeoutMs = 15000;
  // Pages larger than this are refused rather than held in memory.
  static constexpr int64_t kMaxPageBytes = 1 << 20;

  explicit TQtPlatform(int pageTimeoutMs = kDefaultPageTimeoutMs);
  ~TQtPlatform() override;

  int MessageBox(const UString& text, const UString& caption, unsigned flags) override;
  void Terminate() override;
  UString FirstArgument() override;
  UString ExeDir() override;
  UString AspHost(bool fallback) override;
  // The lines of the environment variable USERAUTH_DB_OPTIONS (split at line
  // breaks, blank lines left out); none when it is unset.
  std::vector<UString> DatabaseOptions() override;
  UString BrowsePageText(const UString& url) override;

 private:
  int FPageTimeoutMs;
  std::unique_ptr<QNetworkAccessManager> FNetwork;
};

// Sets up `box` as the message box for `flags`: icon, buttons with Korean
// captions, default and escape button, title and text ("\r" breaks the line).
// The window role reads "vix-message:<flags in hex>:<text, UTF-8,
// percent-encoded>", so that automation can tell which message is up.
void SetUpMessageBox(QMessageBox& box, const UString& text, const UString& caption, unsigned flags);
// Runs a box set up by SetUpMessageBox and returns the IDxxx of its answer.
int ExecMessageBox(QMessageBox& box);

}  // namespace vix
