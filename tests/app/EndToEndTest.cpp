// One process run from the window against a simulated meter on a pty line.
#include "AppTestSupport.h"

#include "app/MainForm.h"
#include "app/QtText.h"
#include "support/SimLine.h"

#include <QAction>
#include <QPlainTextEdit>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <cstdlib>

using namespace apptest;

TEST(EndToEnd, ProcessStartedFromTheWindowUpdatesASimulatedMeter)
{
  const TTempDir Dir;
  ::setenv("QUORLAN2_COM_DIR", Dir.Path().c_str(), 1);
  const auto Line = sim::SimLine::OpenPty(Dir.Path(), 5);
  const auto Meter = Line->AddMeter(sim::MeterConfig::ForType(2, 9));

  app::TForm1 Form(Dir.File("q.ini"));
  Form.show();
  Form.AddItemAction->trigger();
  loader::TQuorlan &L = *Form.Row(0)->Data();
  // The operator's settings for a COM line: port 5, meter address 9.
  L.FUseComPort = true;
  L.FDevice->FInfo->SetParam(rpPortNumber, 5);
  L.FDevice->FInfo->SetParam(rpAnswerTimeOut,
                             20000); // answers come at once: only a loaded machine delays them
  L.SetNetAdr("9");
  L.FTestModeWait = L.FCloseWait = L.FAlertWait = L.FLinkWait = std::chrono::milliseconds(0);

  ASSERT_TRUE(WaitUntil([&Form] { return Form.StartBootAction->isEnabled(); }));
  Form.StartBootAction->trigger();
  ASSERT_TRUE(WaitUntil([&Form] { return Form.StopBootAction->isEnabled(); }));
  ASSERT_TRUE(WaitUntil([&L] { return L.State() == ssIdle; }, std::chrono::seconds(120)))
      << Form.Memo1->toPlainText().toStdString();
  ASSERT_TRUE(WaitUntil([&Form] {
    return Form.Row(0)->text(7) == QString::fromUtf8("Тестирование выполнено");
  })) << Form.Row(0)->text(7).toStdString()
      << "\n"
      << Form.Memo1->toPlainText().toStdString();

  EXPECT_TRUE(Meter->WholeImageWritten());
  EXPECT_EQ(sim::VersionText(Meter->CurrentVersion()), loader::ImageVersions[2]);
  EXPECT_EQ(Form.Row(0)->text(1), QStringLiteral("KV-750LC"));
  EXPECT_EQ(Form.Row(0)->text(4).toStdString(), loader::ImageVersions[2]);
  // The memo shows the run's log; the timer re-enables start and remove.
  ASSERT_TRUE(
      WaitUntil([&Form] { return Form.StartBootAction->isEnabled() && !Form.StopBootAction->isEnabled(); }));
  EXPECT_FALSE(Form.Memo1->toPlainText().isEmpty());
  EXPECT_TRUE(Form.close());
}
