// The user-authentication dialog: four inputs (account id, store number, user
// name, password), a confirm and a cancel button. The confirm handler cleans
// and validates the inputs and asks the account service where the account's
// database lives. The dialog's one output is <exe dir>/<argument>.ini, which
// the installer that started it reads once the process has ended.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <memory>

#include <QPixmap>
#include <QWidget>

#include "app/AccountAnswer.h"
#include "app/Platform.h"
#include "rtl/UString.h"

class QCloseEvent;
class QLabel;
class QLineEdit;
class QPushButton;

namespace vix {

// Virtual-key codes the keyboard handler speaks in.
constexpr uint16_t VK_TAB = 9;
constexpr uint16_t VK_RETURN = 13;
constexpr uint16_t VK_UP = 38;
constexpr uint16_t VK_DOWN = 40;

enum TShiftStateFlag : unsigned { ssShift = 1, ssAlt = 2, ssCtrl = 4 };
using TShiftState = unsigned;

// The account database connection as failure recovery sees it: whether it is
// open, and an attempt to open it again with its current settings (which
// raises when it fails).
class TRecoveryConnection {
 public:
  virtual ~TRecoveryConnection() = default;
  virtual bool Connected() const = 0;
  virtual void Open() = 0;
};

class TVixConnection;
class TVixQuery;

// The account-database connection as failure recovery sees it.
class TVixRecoveryConnection : public TRecoveryConnection {
 public:
  explicit TVixRecoveryConnection(TVixConnection& connection) : FConnection(connection) {}
  bool Connected() const override;
  void Open() override;

 private:
  TVixConnection& FConnection;
};

class TMainForm : public QWidget {
 public:
  // Title of every message box of the dialog.
  static constexpr char16_t kMessageCaption[] = u"확 인";
  // Section of the configuration file.
  static constexpr char16_t kServerInfoSection[] = u"Server Info";
  // Seconds the account database may take over one command of the user
  // check before the check fails (the window waits that long at most).
  static constexpr int kQueryTimeout = 30;

  explicit TMainForm(TPlatform& platform, QWidget* parent = nullptr);
  ~TMainForm() override;

  // Components.
  QWidget* pnTitle;
  QLabel* BgTitle;
  QWidget* pnAspInfo;
  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  QLabel* Label4;
  QLineEdit* edAspID;
  QLineEdit* edSiteID;
  QLineEdit* edUserName;
  QLineEdit* edPassword;
  QPushButton* btOk;
  QPushButton* btCancel;
  std::array<QPixmap, 3> ImageList;
  // The account database (stored settings: provider "MySQL", port 3307,
  // "MySQL.UseUnicode=True", no login prompt, not connected; then the
  // platform's DatabaseOptions); the user check names its server, database
  // and login.
  std::unique_ptr<TVixConnection> cnServer;
  // The user query on cnServer; its commands give up after kQueryTimeout.
  std::unique_ptr<TVixQuery> Query;

  // State of the run.
  bool lOk = false;         // the authentication succeeded
  bool AspChecked = false;  // the account check passed; later presses skip it
  UString MasterPassword;
  UString Parameter;  // the first command-line argument
  UString AspServer;  // the account database server the service named
  UString AspID;      // the prefixed account id (also the database name)
  UString SiteID;     // the store number as entered

  void FormCreate(QObject* Sender);
  void FormShow(QObject* Sender);
  // Sees every key pressed in the form before the focused control does;
  // setting Key to 0 consumes it.
  void FormKeyDown(QObject* Sender, uint16_t& Key, TShiftState Shift);
  void btOkClick(QObject* Sender);
  void btCancelClick(QObject* Sender);
  // Runs whenever the form is asked to close. An exception from it abandons
  // the close.
  void FormCloseQuery(QObject* Sender, bool& CanClose);
  // Every exception that leaves an event handler of the form ends here, so
  // that none unwinds into Qt's event loop: a lost or refused database
  // connection offers to reconnect, anything else to retry; cancel ends the
  // program without the close query. The silent abort is ignored.
  void ApplicationEventsException(QObject* Sender, const std::exception& E);

  // The connection failure recovery reopens: cnServer unless the caller
  // names another.
  void SetRecoveryConnection(TRecoveryConnection* Connection) { FRecoveryConnection = Connection; }

  // Seconds after which a command of the user query gives up (kQueryTimeout
  // unless changed).
  void SetQueryTimeout(int Seconds);

  // The service address for one request; every query value is percent-encoded.
  static UString AspServiceUrl(const UString& Host, const UString& AppName, const UString& AspId, int32_t SiteId);

 protected:
  UString CleanInput(const UString& Text) const;
  bool CheckAspAccount(const UString& AspIdText, const UString& SiteIdText);
  // Looks the user up in the account's database (UserMt) and checks the
  // password and, for an argument naming "Head" or "POS", the install
  // permission. Shows its own messages; failures of the database raise.
  virtual bool CheckUser(const UString& Server, const UString& Database, const UString& SiteId, const UString& UserName,
                         const UString& Password);
  void RequestAspService(const UString& AppName, const UString& AspId, int32_t SiteId, TAspSlots& Slots);
  // Splits Text at every Separator into Slots (app/AccountAnswer.h).
  static void SplitText(UStringView Text, UStringView Separator, TAspSlots& Slots) {
    vix::SplitText(Text, Separator, Slots);
  }

  // The end of a confirm press whose user check passed: the success values
  // go to the configuration file, the success message is shown and the form
  // closes.
  void AuthenticationSucceeded();
  // <exe dir><Parameter>.ini
  UString ConfigFileName() const;
  // Writes the four keys of the configuration file in their order, all or
  // none ("Unable to write to <file>" when the file cannot be written).
  void WriteServerInfo(const UString& Server, const UString& AspId, const UString& SiteId);

  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  TPlatform& FPlatform;
  bool FAspRequestRunning = false;  // a confirm press is waiting for the service
  std::unique_ptr<TVixRecoveryConnection> FServerRecovery;
  TRecoveryConnection* FRecoveryConnection = nullptr;

  int ShowMessage(const UString& Text, unsigned Flags);
  // Shows a validation message and moves the focus to the edit to correct.
  void Refuse(const UString& Text, QLineEdit* Edit);
  // Sends Tab (or Shift+Tab) to whichever control has the focus once the
  // events queued before it, the key being handled among them, are done.
  void PostTab(bool Backward);
  // Hands an escaping exception to ApplicationEventsException; nothing leaves.
  void RouteException(const std::exception& E) noexcept;
  // Runs one event handler; what it throws goes to ApplicationEventsException.
  // True when the handler ran to its end.
  template <typename Handler>
  bool Guarded(Handler&& handler);
};

}  // namespace vix
