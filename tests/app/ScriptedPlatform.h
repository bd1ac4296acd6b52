// A platform for the dialog tests: message boxes are recorded and answered
// from a script, pages come from a list, nothing reaches a screen or network.
#pragma once

#include <gtest/gtest.h>
#include <QApplication>

#include <deque>
#include <functional>
#include <vector>

#include "app/Platform.h"

namespace vix::test {

// The process's one QApplication, on the offscreen platform unless the run
// names another one. It is deleted when the tests are done, before the
// process's static objects go.
inline QApplication& TestApplication() {
  static QApplication* application = [] {
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    struct Teardown : ::testing::Environment {
      void TearDown() override { delete QApplication::instance(); }
    };
    ::testing::AddGlobalTestEnvironment(new Teardown);
    return new QApplication(argc, argv);
  }();
  return *application;
}

class TScriptedPlatform : public TPlatform {
 public:
  struct Message {
    UString Text;
    UString Caption;
    unsigned Flags;
  };

  // Recorded.
  std::vector<Message> Messages;
  std::vector<UString> Urls;
  int Terminations = 0;

  // Script.
  std::deque<int> Answers;             // message-box answers, IDOK once they run out
  std::deque<UString> Pages;           // one per request; an empty text once they run out
  std::function<void()> WhileLoading;  // runs during every request, as the event loop would
  UString Argument = u"DemoPOS";
  UString Primary = u"primary.test";
  UString Fallback = u"fallback.test:8080";
  UString Dir = u"/nonexistent/";  // the executable's folder
  std::vector<UString> DbOptions;  // the account connection's extra options

  int MessageBox(const UString& text, const UString& caption, unsigned flags) override {
    Messages.push_back({text, caption, flags});
    if (Answers.empty()) return IDOK;
    const int answer = Answers.front();
    Answers.pop_front();
    return answer;
  }
  void Terminate() override { ++Terminations; }
  UString FirstArgument() override { return Argument; }
  UString ExeDir() override { return Dir; }
  UString AspHost(bool fallback) override { return fallback ? Fallback : Primary; }
  std::vector<UString> DatabaseOptions() override { return DbOptions; }
  UString BrowsePageText(const UString& url) override {
    Urls.push_back(url);
    if (WhileLoading) WhileLoading();
    if (Pages.empty()) return UString();
    UString page = Pages.front();
    Pages.pop_front();
    return page;
  }
};

}  // namespace vix::test
