// The main dialog on the offscreen platform: layout from template 102, value
// field looks, start-up, closing, the About entry and the command-line error.
#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <cmath>
#include <filesystem>
#include <set>

#include "acquisition/control_ids.h"
#include "dialog_fixture.h"
#include "resources/dialog_templates.h"
#include "trend/trend_window.h"
#include "ui/about_dlg.h"

namespace kvx::test {
namespace {

const std::set<int> kPresentFields = {5013, 5019, 5025, 5031, 6003, 6005, 6007};

int PixelsX(int du) { return static_cast<int>(std::lround(du * 7.0 / 4.0)); }
int PixelsY(int du) { return static_cast<int>(std::lround(du * 12.0 / 8.0)); }

using MainDialogLayoutTest = DialogTest;

TEST_F(MainDialogLayoutTest, WindowIsFixedAt571By302WithTitleAndNoMaximiseBox) {
  Start();
  EXPECT_EQ(dialog->size(), QSize(571, 302));
  EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());
  EXPECT_EQ(dialog->windowTitle(), QStringLiteral("KVX - Client Software"));
  EXPECT_FALSE(dialog->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(dialog->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(dialog->windowIcon().isNull());
  EXPECT_EQ(dialog->font().families(), (QStringList{"ＭＳ Ｐゴシック", "IPAPGothic"}));
  EXPECT_EQ(dialog->font().pointSize(), 9);
}

TEST_F(MainDialogLayoutTest, OnlyTheCloseButtonTheTreeAndItsCaptionAreVisibleAtStart) {
  Start();
  for (const resources::ControlTemplate& row : resources::MainDialogTemplate().controls) {
    const bool expected = row.id == 1 || row.id == 2000 || row.id == 2001;
    EXPECT_EQ(Shown(row.id), expected) << row.id;
  }
}

TEST_F(MainDialogLayoutTest, EveryControlSitsAtItsDialogUnitRectangle) {
  Start();
  for (const resources::ControlTemplate& row : resources::MainDialogTemplate().controls) {
    const QRect expected(PixelsX(row.x), PixelsY(row.y), PixelsX(row.width), PixelsY(row.height));
    EXPECT_EQ(dialog->Control(row.id)->geometry(), expected) << row.id;
  }
}

TEST_F(MainDialogLayoutTest, TabOrderIsTheCreationOrderWithTabStopsOnSevenControls) {
  Start();
  std::vector<int> expectedOrder;
  std::map<QWidget*, int> idOf;
  for (const resources::ControlTemplate& row : resources::MainDialogTemplate().controls) {
    expectedOrder.push_back(row.id);
    idOf[dialog->Control(row.id)] = row.id;
    const bool tabStop = (dialog->Control(row.id)->focusPolicy() & Qt::TabFocus) == Qt::TabFocus;
    EXPECT_EQ(tabStop, row.tabStop) << row.id;
  }
  std::vector<int> chain;
  for (QWidget* w = dialog->nextInFocusChain(); w != dialog.get(); w = w->nextInFocusChain()) {
    if (idOf.count(w)) chain.push_back(idOf[w]);
  }
  EXPECT_EQ(chain, expectedOrder);
  const std::set<int> stops = {1, 2000, 5008, 6011, 6008, 3000, 5033};
  for (const resources::ControlTemplate& row : resources::MainDialogTemplate().controls) {
    EXPECT_EQ(row.tabStop, stops.count(row.id) == 1) << row.id;
  }
}

TEST_F(MainDialogLayoutTest, ValueFieldsHaveTheirColoursFontAndEdge) {
  Start();
  for (int id : ids::VALUE_FIELDS) {
    auto* field = qobject_cast<QLabel*>(dialog->Control(id));
    ASSERT_NE(field, nullptr) << id;
    const QColor background = kPresentFields.count(id) ? QColor(140, 180, 220) : QColor(180, 220, 140);
    EXPECT_EQ(field->palette().color(QPalette::Window), background) << id;
    EXPECT_EQ(field->palette().color(QPalette::WindowText), QColor(0, 0, 128)) << id;
    EXPECT_TRUE(field->autoFillBackground()) << id;
    EXPECT_EQ(field->font().pixelSize(), 16) << id;
    EXPECT_TRUE(field->font().bold()) << id;
    EXPECT_EQ(field->font().families(), (QStringList{"ＭＳ Ｐゴシック", "IPAPGothic"})) << id;
    EXPECT_EQ(field->alignment(), Qt::AlignRight | Qt::AlignVCenter) << id;
    EXPECT_EQ(field->frameStyle(), QFrame::Panel | QFrame::Sunken) << id;
    EXPECT_EQ(field->lineWidth(), 1) << id;
  }
  // Other controls keep the dialog's colours.
  for (int id : {4003, 5014, 6002, 3001}) EXPECT_FALSE(dialog->Control(id)->autoFillBackground()) << id;
}

TEST_F(MainDialogLayoutTest, RadioButtonsFormTheirThreeExclusiveGroups) {
  Start();
  auto groupOf = [&](int id) { return static_cast<QAbstractButton*>(dialog->Control(id))->group(); };
  const std::vector<std::vector<int>> groups = {{6009, 6010}, {5003, 5004}, {6012, 6014, 6015, 6016, 6017, 6018}};
  std::set<QButtonGroup*> distinct;
  for (const auto& members : groups) {
    QButtonGroup* group = groupOf(members[0]);
    ASSERT_NE(group, nullptr);
    EXPECT_TRUE(group->exclusive());
    EXPECT_EQ(group->buttons().size(), static_cast<qsizetype>(members.size()));
    for (int id : members) EXPECT_EQ(groupOf(id), group) << id;
    distinct.insert(group);
  }
  EXPECT_EQ(distinct.size(), 3u);
}

TEST_F(MainDialogLayoutTest, InitialCheckStatesAreShown) {
  Start();
  const std::set<int> checked = {5003, 6009, 6016};
  for (const resources::ControlTemplate& row : resources::MainDialogTemplate().controls) {
    if (auto* button = qobject_cast<QAbstractButton*>(dialog->Control(row.id)); button && button->isCheckable()) {
      EXPECT_EQ(button->isChecked(), checked.count(row.id) == 1) << row.id;
    }
  }
  EXPECT_TRUE(static_cast<QPushButton*>(dialog->Control(1))->isDefault());
}

using MainDialogLifeTest = DialogTest;

TEST_F(MainDialogLifeTest, CommandLineErrorShowsTheMessageBoxAndStartsNothing) {
  Create("F4240 1 1 0 0");
  QString title, text;
  QMessageBox::StandardButtons buttons;
  QMessageBox::Icon icon = QMessageBox::Warning;
  OnNextModal([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    ASSERT_NE(box, nullptr);
    title = box->windowTitle();
    text = box->text();
    buttons = box->standardButtons();
    icon = box->icon();
    box->button(QMessageBox::Ok)->click();
  });
  EXPECT_FALSE(dialog->OnInitDialog());
  EXPECT_EQ(title, QStringLiteral("KVXCLIENT"));
  EXPECT_EQ(text, QStringLiteral("Error in the Command Line Option 'F4240 1 1 0 0'.\nThe serial number must be 0 to F423F (hexadecimal)."));
  EXPECT_EQ(buttons, QMessageBox::Ok);
  EXPECT_EQ(icon, QMessageBox::NoIcon);
  EXPECT_EQ(client->acquisition(), nullptr);
  EXPECT_TRUE(dialog->isHidden());
}

// Started from a menu nobody reads stderr: the title and the Log box say where
// the files go, and a failure shows in the title and in a notice.
TEST_F(MainDialogLifeTest, TheTitleAndTheLogBoxSayWhereItLogsAndAFailureIsNoticed) {
  AddStrips({kSerial1});
  driver.SetIdleRead(ScriptedRead::Of(protocol::Reading{0, protocol::QUANTITY_CURRENT, {100, 200, 300, 400}}));
  Start("1A2B3 0 1 1 0");
  const QString directory = QString::fromStdString(logDirectory);
  ASSERT_TRUE(WaitFor([&] { return dialog->windowTitle().contains(QStringLiteral("logging to ") + directory); }))
      << dialog->windowTitle().toStdString();
  EXPECT_TRUE(dialog->Control(ids::LOG_CHECK)->toolTip().contains(directory));
  std::filesystem::remove_all(logDirectory);
  ASSERT_TRUE(WaitFor([&] { return dialog->windowTitle().contains(QStringLiteral("LOG FAILING")); }))
      << dialog->windowTitle().toStdString();
  EXPECT_TRUE(WaitFor([&] {
    for (QMessageBox* box : dialog->findChildren<QMessageBox*>())
      if (box->isVisible() && box->text().startsWith(QStringLiteral("Logging is failing"))) return true;
    return false;
  }));
}

TEST_F(MainDialogLifeTest, EnterClosesLikeTheCloseButtonAndStopsTheThreadFirst) {
  Start();
  dialog->show();
  dialog->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
  EXPECT_EQ(QApplication::focusWidget(), dialog->Control(ids::CLOSE_BUTTON));  // first in the tab order
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  EXPECT_TRUE(dialog->isHidden());
  EXPECT_EQ(client->state().threadRunFlag.load(), 0);
  EXPECT_EQ(client->state().readLoopRunFlag.load(), 0);
}

TEST_F(MainDialogLifeTest, EscapeAndTheCloseBoxCloseTheDialog) {
  Start();
  dialog->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
  QTest::keyClick(dialog.get(), Qt::Key_Escape);
  EXPECT_EQ(dialog->result(), QDialog::Rejected);
  EXPECT_TRUE(dialog->isHidden());
  EXPECT_EQ(client->state().threadRunFlag.load(), 0);

  dialog.reset();
  client = std::make_unique<Client>(driver, DefaultClock(), logDirectory);
  Start();
  dialog->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
  EXPECT_TRUE(dialog->close());
  EXPECT_EQ(dialog->result(), QDialog::Rejected);
  EXPECT_EQ(client->state().threadRunFlag.load(), 0);
}

TEST_F(MainDialogLifeTest, AboutBoxShowsTemplate100) {
  Start();
  bool seen = false;
  OnNextModal([&](QWidget* modal) {
    auto* about = qobject_cast<ui::CAboutDlg*>(modal);
    ASSERT_NE(about, nullptr);
    seen = true;
    EXPECT_EQ(qobject_cast<QLabel*>(about->Control(1000))->text(), QStringLiteral("KVX"));
    EXPECT_EQ(qobject_cast<QLabel*>(about->Control(1001))->text(), QStringLiteral("Client Software"));
    EXPECT_EQ(qobject_cast<QLabel*>(about->Control(1003))->text(), QStringLiteral("V0.6L12"));
    auto* close = qobject_cast<QPushButton*>(about->Control(1));
    ASSERT_NE(close, nullptr);
    EXPECT_EQ(close->text(), QStringLiteral("Close (&X)"));
    EXPECT_TRUE(close->isDefault());
    EXPECT_EQ(close->geometry(), QRect(PixelsX(76), PixelsY(61), PixelsX(50), PixelsY(14)));
    EXPECT_EQ(about->clientArea()->size(), QSize(PixelsX(201), PixelsY(78)));
    EXPECT_TRUE(about->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(about->minimumSize(), about->maximumSize());
    EXPECT_EQ(about->font().pointSize(), 10);
    close->click();
  });
  dialog->ShowAboutBox();
  EXPECT_TRUE(seen);
}

TEST_F(MainDialogLifeTest, ContextMenuOffersTheAboutEntryAndTheTrendWindowWhichCtrlTOpens) {
  Start();
  dialog->show();
  dialog->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
  QStringList entries;
  QTimer::singleShot(0, [&] {
    if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
      for (QAction* action : menu->actions()) entries << action->text();
      menu->close();
    }
  });
  QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(400, 250), dialog->mapToGlobal(QPoint(400, 250)));
  QApplication::sendEvent(dialog.get(), &event);
  EXPECT_EQ(entries, (QStringList{QStringLiteral("KVXClient について(&A)..."), QStringLiteral("トレンド表示")}));
  dialog->activateWindow();  // the menu had it
  ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
  QTest::keyClick(dialog.get(), Qt::Key_T, Qt::ControlModifier);
  trend::TrendWindow* trend = dialog->trendWindow();
  ASSERT_NE(trend, nullptr);
  EXPECT_TRUE(trend->isVisible());
  // The chart is named, and described once painted.
  trend->chartView().grab();
  EXPECT_EQ(trend->chartView().accessibleName(), QStringLiteral("トレンドグラフ"));
  EXPECT_TRUE(trend->chartView().accessibleDescription().contains(QStringLiteral("の履歴")));
}

TEST_F(MainDialogLifeTest, F1OpensTheAboutBox) {
  Start();
  dialog->show();
  dialog->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
  bool seen = false;
  OnNextModal([&](QWidget* modal) {
    seen = qobject_cast<ui::CAboutDlg*>(modal) != nullptr;
    QTest::keyClick(modal, Qt::Key_Return);  // the default button closes it
  });
  QTest::keyClick(dialog.get(), Qt::Key_F1);
  EXPECT_TRUE(seen);
}

}  // namespace
}  // namespace kvx::test
