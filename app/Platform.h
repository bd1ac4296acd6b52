// What the dialog needs of the platform it runs on: message boxes, the end of
// the message loop, the process's argument and folder, the account-service
// hosts, the way to the account database and a browser that loads one page.
// The form talks to nothing else outside itself, so tests run it against a
// scripted implementation.
#pragma once

#include <cstdint>
#include <vector>

#include "rtl/UString.h"

namespace vix {

// Message-box flags and results, numbered as the Windows message-box
// interface numbers them.
constexpr unsigned MB_OK = 0x00;
constexpr unsigned MB_OKCANCEL = 0x01;
constexpr unsigned MB_YESNOCANCEL = 0x03;
constexpr unsigned MB_YESNO = 0x04;
constexpr unsigned MB_RETRYCANCEL = 0x05;
constexpr unsigned MB_TYPEMASK = 0x0F;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;
constexpr unsigned MB_ICONMASK = 0xF0;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDRETRY = 4;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

class TPlatform {
 public:
  virtual ~TPlatform() = default;

  // A modal message box of the application; returns the IDxxx of the button
  // pressed (IDCANCEL, or IDOK for a box without Cancel, when it is closed
  // otherwise).
  virtual int MessageBox(const UString& text, const UString& caption, unsigned flags) = 0;

  // Asks the message loop to end. The request is queued: the loop ends when
  // it takes it, without closing the windows (no close query runs).
  virtual void Terminate() = 0;

  // The first command-line argument, empty when there is none.
  virtual UString FirstArgument() = 0;
  // The executable's folder, with a trailing separator.
  virtual UString ExeDir() = 0;

  // The account-service host (host or host:port), primary or fallback.
  virtual UString AspHost(bool fallback) = 0;

  // Provider options the account-database connection takes after its stored
  // one (which stays: the first line of a name counts), a "MySQL.Name=Value"
  // line each: how it reaches the server the account service names (TLS, the
  // HTTP tunnel, the local socket). Empty: the connection keeps its stored
  // settings (plain TCP). The user check refuses a line that names no option.
  virtual std::vector<UString> DatabaseOptions() = 0;

  // Loads the URL with an HTTP GET and returns the page's text: a plain-text
  // page as it is, an HTML page as its rendered text. A host that cannot be
  // reached, an HTTP error or a page that does not arrive within the time
  // limit yields a short error text (never an exception, never the page
  // address). The message loop keeps running while the page loads.
  virtual UString BrowsePageText(const UString& url) = 0;
};

}  // namespace vix
