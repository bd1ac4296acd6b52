#include "app/QtPlatform.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPushButton>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTextDocument>
#include <QTimer>
#include <QUrl>

#include <vector>

#include "app/AppConfig.h"
#include "rtl/CodePage.h"
#include "rtl/SysUtils.h"

namespace vix {

namespace {

QString Q(const UString& text) {
  return QString::fromStdU16String(text);
}
UString U16(const QString& text) {
  return text.toStdU16String();
}

const char* const kResultProperty = "vixResult";

// The text a page that could not be loaded yields; it never holds the address.
UString PageError(const QString& why) {
  return U16(QStringLiteral("The page cannot be displayed (%1)").arg(why));
}

bool IsKoreanCharset(const QByteArray& name) {
  const QByteArray n = name.toLower();
  return n == "euc-kr" || n == "cp949" || n == "windows-949" || n == "uhc" || n == "ks_c_5601-1987";
}

// The body as text, in the charset the Content-Type names (UTF-8 when none).
QString DecodeBody(const QByteArray& body, const QString& contentType) {
  QByteArray charset;
  for (const QString& part : contentType.split(u';')) {
    const QString p = part.trimmed();
    if (p.startsWith(QLatin1String("charset="), Qt::CaseInsensitive))
      charset = p.mid(8).remove(u'"').remove(u'\'').toLatin1();
  }
  if (IsKoreanCharset(charset))
    return Q(AnsiToUtf16(std::string_view(body.constData(), static_cast<size_t>(body.size())), 949));
  if (!charset.isEmpty()) {
    QStringDecoder decoder(charset.constData());
    if (decoder.isValid()) return decoder.decode(body);
  }
  return QString::fromUtf8(body);
}

}  // namespace

TQtPlatform::TQtPlatform(int pageTimeoutMs) : FPageTimeoutMs(pageTimeoutMs) {}

TQtPlatform::~TQtPlatform() = default;

void SetUpMessageBox(QMessageBox& box, const UString& text, const UString& caption, unsigned flags) {
  box.setWindowTitle(Q(caption));
  box.setTextFormat(Qt::PlainText);
  QString shown = Q(text);
  shown.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(u'\r', u'\n');
  box.setText(shown);
  switch (flags & MB_ICONMASK) {
    case MB_ICONERROR: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
    default: box.setIcon(QMessageBox::NoIcon); break;
  }
  struct Button {
    const char16_t* caption;
    QMessageBox::ButtonRole role;
    int result;
  };
  static const Button kOk{u"확인", QMessageBox::AcceptRole, IDOK};
  static const Button kCancel{u"취소", QMessageBox::RejectRole, IDCANCEL};
  static const Button kYes{u"예", QMessageBox::YesRole, IDYES};
  static const Button kNo{u"아니요", QMessageBox::NoRole, IDNO};
  static const Button kRetry{u"다시 시도", QMessageBox::AcceptRole, IDRETRY};
  std::vector<Button> buttons;
  switch (flags & MB_TYPEMASK) {
    case MB_OKCANCEL: buttons = {kOk, kCancel}; break;
    case MB_YESNOCANCEL: buttons = {kYes, kNo, kCancel}; break;
    case MB_YESNO: buttons = {kYes, kNo}; break;
    case MB_RETRYCANCEL: buttons = {kRetry, kCancel}; break;
    default: buttons = {kOk}; break;
  }
  QPushButton* first = nullptr;
  QPushButton* escape = nullptr;
  for (const Button& b : buttons) {
    QPushButton* button = box.addButton(Q(b.caption), b.role);
    button->setProperty(kResultProperty, b.result);
    if (first == nullptr) first = button;
    if (b.result == IDCANCEL) escape = button;
  }
  // Escape (and the close box) answers Cancel; a lone OK answers OK; a
  // Yes/No question cannot be dismissed without an answer.
  if (escape == nullptr && buttons.size() == 1) escape = first;
  box.setDefaultButton(first);
  box.setEscapeButton(escape);
  box.setWindowRole(QStringLiteral("vix-message:%1:").arg(flags, 0, 16) +
                    QString::fromLatin1(QUrl::toPercentEncoding(shown)));
}

int ExecMessageBox(QMessageBox& box) {
  box.exec();
  QAbstractButton* clicked = box.clickedButton();
  if (clicked == nullptr)
    return box.escapeButton() != nullptr ? box.escapeButton()->property(kResultProperty).toInt() : IDCANCEL;
  return clicked->property(kResultProperty).toInt();
}

int TQtPlatform::MessageBox(const UString& text, const UString& caption, unsigned flags) {
  QMessageBox box(QApplication::activeWindow());
  SetUpMessageBox(box, text, caption, flags);
  return ExecMessageBox(box);
}

void TQtPlatform::Terminate() {
  // Queued, and an exit rather than quit(): quit() would close the windows
  // first and so run their close handlers.
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

UString TQtPlatform::FirstArgument() {
  const QStringList args = QCoreApplication::arguments();
  return args.size() > 1 ? U16(args.at(1)) : UString();
}

UString TQtPlatform::ExeDir() {
  return U16(QCoreApplication::applicationDirPath() + u'/');
}

UString TQtPlatform::AspHost(bool fallback) {
  const char* name = fallback ? "USERAUTH_ASP_FALLBACK_HOST" : "USERAUTH_ASP_HOST";
  const QString overridden = qEnvironmentVariable(name);
  if (!overridden.isEmpty()) return U16(overridden);
  return fallback ? UString(config::kAspHostFallback) : UString(config::kAspHostPrimary);
}

std::vector<UString> TQtPlatform::DatabaseOptions() {
  std::vector<UString> lines;
  const QString text = qEnvironmentVariable("USERAUTH_DB_OPTIONS");
  for (const QString& line : text.split(QRegularExpression(QStringLiteral("\\r\\n|\\n|\\r")))) {
    // Only blank lines go: a value may begin or end with a blank.
    if (!line.trimmed().isEmpty()) lines.push_back(U16(line));
  }
  return lines;
}

UString TQtPlatform::BrowsePageText(const UString& url) {
  if (!FNetwork) FNetwork = std::make_unique<QNetworkAccessManager>();
  const QUrl target(Q(url), QUrl::StrictMode);
  if (!target.isValid()) return PageError(QStringLiteral("invalid address"));

  QNetworkRequest request(target);
  std::unique_ptr<QNetworkReply> reply(FNetwork->get(request));
  bool tooLarge = false;
  QEventLoop loop;
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
  QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
  QObject::connect(reply.get(), &QNetworkReply::downloadProgress, &loop, [&](qint64 received, qint64) {
    if (received > kMaxPageBytes) {
      tooLarge = true;
      loop.quit();
    }
  });
  limit.start(FPageTimeoutMs);
  // The event loop runs while the page loads: painting, input and timers go
  // on, without keeping a processor busy.
  if (!reply->isFinished()) loop.exec();

  if (tooLarge) {
    reply->abort();
    return PageError(QStringLiteral("page too large"));
  }
  if (!reply->isFinished()) {
    const bool timedOut = !limit.isActive();
    reply->abort();
    return PageError(timedOut ? QStringLiteral("no answer within %1 ms").arg(FPageTimeoutMs)
                              : QStringLiteral("navigation cancelled"));
  }
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  if (reply->error() != QNetworkReply::NoError || status < 200 || status > 299) {
    if (status != 0) return PageError(QStringLiteral("HTTP %1").arg(status));
    const char* error = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(reply->error());
    return PageError(QString::fromLatin1(error != nullptr ? error : "network error"));
  }
  const QByteArray body = reply->readAll();
  if (body.size() > kMaxPageBytes) return PageError(QStringLiteral("page too large"));
  const QString contentType = reply->header(QNetworkRequest::ContentTypeHeader).toString();
  const QString text = DecodeBody(body, contentType);
  const QString mime = contentType.section(u';', 0, 0).trimmed().toLower();
  if (mime == QLatin1String("text/html") || mime == QLatin1String("application/xhtml+xml")) {
    QTextDocument document;
    document.setHtml(text);
    return U16(document.toPlainText());
  }
  return U16(text);
}

}  // namespace vix
