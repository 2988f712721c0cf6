// The real main dialog on the offscreen platform, over a client on scripted
// strips: one QApplication for the whole test binary, a fresh client and
// dialog per test, and a wait that processes events until a condition holds.
#pragma once

#include <gtest/gtest.h>

#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "app/client.h"
#include "support/scripted_driver.h"
#include "support/temp_dir.h"
#include "ui/kvxclient_dlg.h"

namespace kvx::test {

// Creates the QApplication once (offscreen unless a platform is chosen).
void EnsureApplication();

// The modal widget that appears next (message box, About box), handed to
// `inspect` from within its own modal loop; `inspect` must close it.
void OnNextModal(std::function<void(QWidget*)> inspect);

class DialogTest : public ::testing::Test {
 protected:
  static constexpr std::uint32_t kSerial1 = 0x1A2B3;
  static constexpr std::uint32_t kSerial2 = 0x2C4D5;

  static void SetUpTestSuite() { EnsureApplication(); }
  void SetUp() override;
  void TearDown() override;

  // Adds strips to the driver before the dialog starts.
  void AddStrips(std::initializer_list<std::uint32_t> serials);
  // The dialog (one per test: closing it shuts the client down).
  void Create(const std::string& commandLine = "");
  // Create and OnInitDialog; expects success.
  void Start(const std::string& commandLine = "");
  // The shared WaitFor, with the window's events processed between polls.
  static bool WaitFor(const std::function<bool()>& condition);
  // Clicks the tree node of `kind` of strip `position`, expanding its parents.
  void ClickNode(int position, int kind);
  bool Shown(int id) const { return !dialog->Control(id)->isHidden(); }

  ScriptedDriver driver;
  TempDir scratch{"kvx-ui-test"};
  std::string logDirectory;  // scratch's path
  std::unique_ptr<Client> client;
  std::unique_ptr<ui::CKvxclient_01Dlg> dialog;
};

}  // namespace kvx::test
