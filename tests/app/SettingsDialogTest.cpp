// The connection settings dialog, opened from the window for the selected
// process: what it shows, how its number fields take what is typed, and what
// confirming writes back into the process.
#include "AppTestSupport.h"

#include "app/ComAndTCPClient.h"
#include "app/MainForm.h"
#include "app/QtText.h"
#include "support/SimLine.h"

#include <QAbstractButton>
#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>

using namespace apptest;
using app::TForm1;
using app::TfrmComAndTCPClient;

namespace {

QString U(const char *Utf8) { return QString::fromUtf8(Utf8); }

class SettingsDialog : public testing::Test {
protected:
  TTempDir Dir;
  std::unique_ptr<TForm1> Form = std::make_unique<TForm1>(Dir.File("q.ini"));
  TfrmComAndTCPClient *Dialog = new TfrmComAndTCPClient(Form.get()); // the window owns it

  void SetUp() override
  {
    Form->show();
    Form->AddItemAction->trigger();
  }

  loader::TQuorlan &L(int Row = 0) { return *Form->Row(Row)->Data(); }
  TRS485Info &Info(int Row = 0) { return *L(Row).FDevice->FInfo; }

  // Runs Open (which opens the dialog modally) and, once the dialog shows,
  // Drive, which closes it; a dialog still open after the deadline is closed
  // with "cancel", so no test ever hangs on it. True when Drive ran.
  bool WithDialog(const std::function<void()> &Open, const std::function<void(TfrmComAndTCPClient &)> &Drive)
  {
    bool Driven = false;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    QTimer Poll;
    Poll.setInterval(5);
    QObject::connect(&Poll, &QTimer::timeout, [&] {
      if (!Dialog->isVisible())
        return;
      if (!Driven) {
        Driven = true;
        Drive(*Dialog);
      } else if (std::chrono::steady_clock::now() > Deadline) {
        Dialog->reject();
      }
    });
    Poll.start();
    Open();
    return Driven;
  }
  bool OpenSettings(const std::function<void(TfrmComAndTCPClient &)> &Drive)
  {
    return WithDialog([this] { Form->SetOnAction->trigger(); }, Drive);
  }

  static QStringList BlockSizeTexts(const TfrmComAndTCPClient &D)
  {
    QStringList Texts;
    for (QAbstractButton *Item : D.RadioGroup1Items->buttons())
      Texts << Item->text();
    return Texts;
  }
  static void Paste(QLineEdit *Edit, const QString &Text)
  {
    Edit->selectAll();
    Edit->insert(Text);
  }
};

} // namespace

TEST_F(SettingsDialog, ShowsANewProcessAndCancelChangesNothing)
{
  const app::TLinkSettings Before = app::ReadLinkSettings(L());
  const bool Driven = OpenSettings([](TfrmComAndTCPClient &D) {
    EXPECT_EQ(D.windowTitle(), U("Параметры связи"));
    EXPECT_GE(D.width(), 417);
    EXPECT_GE(D.height(), 432);
    EXPECT_EQ(D.minimumSize(), D.maximumSize());
    EXPECT_EQ(D.RadioButton2->text(), U("Соединение через TCP/IP "));
    EXPECT_EQ(D.ButOk->text(), U("Применить"));
    EXPECT_EQ(D.ButCancel->text(), U("Закрыть"));
    EXPECT_TRUE(D.ButOk->isEnabled());
    EXPECT_EQ(D.PortBox->count(), 256);
    EXPECT_EQ(D.PortBox->itemText(0), QStringLiteral("COM1"));
    EXPECT_EQ(D.PortBox->itemText(255), QStringLiteral("COM256"));
    EXPECT_EQ(D.ParityBox->itemText(1), U("Нечет"));

    // A new row: a TCP gateway on 127.0.0.1, answer time-out 20000 ms,
    // 50 ms between bytes, COM1 at 9600 baud without parity, block size 512.
    EXPECT_TRUE(D.RadioButton2->isChecked());
    EXPECT_EQ(D.LabeledEdit1->text(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(D.LabeledEdit2->text(), QStringLiteral("0"));
    EXPECT_EQ(D.AnswerTimeEdit->text(), QStringLiteral("20000"));
    EXPECT_EQ(D.SystemTimeEdit->text(), QStringLiteral("50"));
    EXPECT_EQ(D.MultipleEdit->text(), QStringLiteral("0"));
    EXPECT_EQ(D.PortBox->currentText(), QStringLiteral("COM1"));
    EXPECT_EQ(D.BaudRateBox->currentText(), QStringLiteral("9600"));
    EXPECT_EQ(D.ParityBox->currentText(), U("Нет"));
    EXPECT_EQ(BlockSizeTexts(D), (QStringList{U("512 байт"), U("256 байт"), U("128 байт"), U("64 байт"),
                                              U("32 байт"), U("16 байт")}));
    EXPECT_EQ(D.RadioGroup1Items->checkedId(), 0);
    EXPECT_FALSE(D.TCPServerRouterCheckBox->isEnabled());

    // The link's radio buttons decide which fields can be edited.
    const auto ComFieldsEnabled = [&D] {
      return D.PortBox->isEnabled() + D.BaudRateBox->isEnabled() + D.ParityBox->isEnabled() +
             D.SystemTimeEdit->isEnabled() + D.MultipleEdit->isEnabled();
    };
    EXPECT_EQ(ComFieldsEnabled(), 0);
    EXPECT_TRUE(D.LabeledEdit1->isEnabled() && D.LabeledEdit2->isEnabled());
    QTest::mouseClick(D.RadioButton1, Qt::LeftButton);
    EXPECT_EQ(ComFieldsEnabled(), 5);
    EXPECT_FALSE(D.LabeledEdit1->isEnabled() || D.LabeledEdit2->isEnabled());
    EXPECT_TRUE(D.AnswerTimeEdit->isEnabled() && D.NetAdrEdit->isEnabled() && D.RadioGroup1->isEnabled());
    D.AnswerTimeEdit->setText(QStringLiteral("777"));
    D.NetAdrEdit->setText(QStringLiteral("5,6"));
    D.ButCancel->click();
  });
  ASSERT_TRUE(Driven);
  EXPECT_EQ(app::ReadLinkSettings(L()), Before);
}

TEST_F(SettingsDialog, DoubleClickOnARowOpensItAndBesideTheRowsDoesNothing)
{
  Form->AddItemAction->trigger();
  Form->ListView1->clearSelection();
  const auto DoubleClick = [this](QPoint Where) {
    QTest::mouseDClick(Form->ListView1->viewport(), Qt::LeftButton, Qt::NoModifier, Where);
    WaitUntil([] { return false; }, std::chrono::milliseconds(50)); // the queued handler runs
  };
  // Far below the two rows: nothing is selected, nothing opens.
  bool Opened = WithDialog([&] { DoubleClick(QPoint(20, Form->ListView1->viewport()->height() - 5)); },
                           [](TfrmComAndTCPClient &D) { D.reject(); });
  EXPECT_FALSE(Opened);

  L(1).SetNetAdr("42");
  const QRect Second = Form->ListView1->visualItemRect(Form->Row(1));
  Opened = WithDialog([&] { DoubleClick(Second.center()); },
                      [](TfrmComAndTCPClient &D) {
                        EXPECT_EQ(D.NetAdrEdit->text(), QStringLiteral("42"));
                        D.ButCancel->click();
                      });
  EXPECT_TRUE(Opened);
}

TEST_F(SettingsDialog, ValuesOutsideTheListsAndCorrectionsGoBackAsShown)
{
  L().FUseComPort = true;
  Info().SetParam(rpPortNumber, 300);
  Info().SetParam(rpBaudRate, 14400);
  Info().SetParam(rpParity, platform::ODDPARITY);
  Info().SetParam(rpSystemTimeOut, 0);
  Info().SetParam(rpTimeOutMultiplier, 300);
  const bool Driven = OpenSettings([](TfrmComAndTCPClient &D) {
    EXPECT_TRUE(D.RadioButton1->isChecked());
    EXPECT_EQ(D.PortBox->currentIndex(), -1);
    EXPECT_EQ(D.PortBox->currentText(), QString());
    EXPECT_EQ(D.BaudRateBox->currentIndex(), -1);
    EXPECT_EQ(D.BaudRateBox->currentText(), QString());
    EXPECT_EQ(D.ParityBox->currentText(), U("Нечет"));
    EXPECT_EQ(D.SystemTimeEdit->text(), QStringLiteral("30"));
    EXPECT_EQ(D.MultipleEdit->text(), QStringLiteral("0"));
    D.ButOk->click();
  });
  ASSERT_TRUE(Driven);
  EXPECT_EQ(Info().GetParam(rpPortNumber), 0);
  EXPECT_EQ(Info().GetParam(rpBaudRate), 9600);
  EXPECT_EQ(Info().GetParam(rpParity), platform::ODDPARITY);
  EXPECT_EQ(Info().GetParam(rpSystemTimeOut), 30);
  EXPECT_EQ(Info().GetParam(rpTimeOutMultiplier), 0);
  EXPECT_EQ(Info().GetParam(rpAnswerTimeOut), 20000);
  EXPECT_TRUE(L().FUseComPort);

  // Shown again: the same dialog, every control from the process again.
  Info().SetParam(rpPortNumber, 3);
  Info().SetParam(rpBaudRate, 57600);
  ASSERT_TRUE(OpenSettings([](TfrmComAndTCPClient &D) {
    EXPECT_EQ(D.PortBox->currentText(), QStringLiteral("COM3"));
    EXPECT_EQ(D.BaudRateBox->currentText(), QStringLiteral("57600"));
    D.ButCancel->click();
  }));

  // The lowest port number a file or a client can give selects nothing
  // (and has no predecessor to compute).
  Info().SetParam(rpPortNumber, std::numeric_limits<std::int32_t>::min());
  ASSERT_TRUE(OpenSettings([](TfrmComAndTCPClient &D) {
    EXPECT_EQ(D.PortBox->currentIndex(), -1);
    D.ButCancel->click();
  }));
}

TEST_F(SettingsDialog, NumberFieldsNormaliseWhatIsTyped)
{
  const bool Driven = OpenSettings([](TfrmComAndTCPClient &D) {
    QTest::mouseClick(D.RadioButton1, Qt::LeftButton);
    // Deleted texts show the defaults.
    D.SystemTimeEdit->clear();
    EXPECT_EQ(D.SystemTimeEdit->text(), QStringLiteral("1"));
    D.AnswerTimeEdit->clear();
    EXPECT_EQ(D.AnswerTimeEdit->text(), QStringLiteral("150"));
    D.MultipleEdit->setText(QStringLiteral("12"));
    D.MultipleEdit->clear();
    EXPECT_EQ(D.MultipleEdit->text(), QStringLiteral("0"));
    // Typed over the whole text: "0" between bytes becomes 30.
    D.SystemTimeEdit->selectAll();
    QTest::keyClicks(D.SystemTimeEdit, QStringLiteral("0"));
    EXPECT_EQ(D.SystemTimeEdit->text(), QStringLiteral("30"));
    QTest::keyClicks(D.SystemTimeEdit, QStringLiteral("x"));
    EXPECT_EQ(D.SystemTimeEdit->text(), QStringLiteral("1"));
    // The multiplier keeps 0..255; a value above, or any negative one, is 0.
    Paste(D.MultipleEdit, QStringLiteral("255"));
    EXPECT_EQ(D.MultipleEdit->text(), QStringLiteral("255"));
    QTest::keyClicks(D.MultipleEdit, QStringLiteral("5"));
    EXPECT_EQ(D.MultipleEdit->text(), QStringLiteral("0"));
    Paste(D.MultipleEdit, QStringLiteral("$FF"));
    EXPECT_EQ(D.MultipleEdit->text(), QStringLiteral("255"));
    Paste(D.MultipleEdit, QStringLiteral("-3"));
    EXPECT_EQ(D.MultipleEdit->text(), QStringLiteral("0"));
    // "-1" shows as the unsigned value of its 32 bits and stays so.
    Paste(D.AnswerTimeEdit, QStringLiteral("-1"));
    EXPECT_EQ(D.AnswerTimeEdit->text(), QStringLiteral("4294967295"));
    D.ButOk->click();
  });
  ASSERT_TRUE(Driven);
  // That text is no signed 32-bit number: the answer time-out's default.
  EXPECT_EQ(Info().GetParam(rpAnswerTimeOut), 150);
  EXPECT_EQ(L().FTcpClient->ReadTimeout, 150);
  EXPECT_EQ(Info().GetParam(rpSystemTimeOut), 1);
  EXPECT_EQ(Info().GetParam(rpTimeOutMultiplier), 0);

  // A stored negative answer time-out is shown the same way.
  Info().SetParam(rpAnswerTimeOut, -1);
  ASSERT_TRUE(OpenSettings([](TfrmComAndTCPClient &D) {
    EXPECT_EQ(D.AnswerTimeEdit->text(), QStringLiteral("4294967295"));
    D.ButCancel->click();
  }));
}

TEST_F(SettingsDialog, ConfirmedSettingsReachTheProcess)
{
  // First a TCP/IP link; the answer time-out is also the TCP read time-out.
  ASSERT_TRUE(OpenSettings([](TfrmComAndTCPClient &D) {
    QTest::mouseClick(D.RadioButton2, Qt::LeftButton);
    D.LabeledEdit1->setText(QStringLiteral("gateway.local"));
    D.LabeledEdit2->setText(QStringLiteral("4001"));
    Paste(D.AnswerTimeEdit, QStringLiteral("7000"));
    D.NetAdrEdit->setText(QStringLiteral("1, 2,3"));
    D.RadioGroup1Items->button(3)->click();
    D.PacketModeCheckBox->setChecked(true);
    D.AlertSequenceCheckBox->setChecked(true);
    D.ButOk->click();
  }));
  EXPECT_FALSE(L().FUseComPort);
  EXPECT_EQ(L().TcpHost(), "gateway.local");
  EXPECT_EQ(L().FTcpClient->Port, 4001);
  EXPECT_EQ(Info().GetParam(rpAnswerTimeOut), 7000);
  EXPECT_EQ(L().FTcpClient->ReadTimeout, 7000);
  EXPECT_EQ(L().NetAdr(), "1, 2,3");
  EXPECT_EQ(L().BlockSize(), 64);
  EXPECT_TRUE(L().FPacketMode);
  EXPECT_TRUE(Info().FAlertSequence);
  EXPECT_FALSE(L().FMaxSpeed);

  // Then a COM link with typed port, speed and parity; an empty TCP port
  // gives 65000. Typed text that names an item in full selects it.
  ASSERT_TRUE(OpenSettings([](TfrmComAndTCPClient &D) {
    EXPECT_EQ(D.RadioGroup1Items->checkedId(), 3);
    EXPECT_TRUE(D.PacketModeCheckBox->isChecked());
    QTest::mouseClick(D.RadioButton1, Qt::LeftButton);
    D.PortBox->setEditText(QStringLiteral("com12"));
    D.BaudRateBox->setEditText(QStringLiteral("14400"));
    D.ParityBox->setEditText(U("нет"));
    D.LabeledEdit2->clear();
    D.RadioGroup1Items->button(5)->click();
    D.ButOk->click();
  }));
  EXPECT_TRUE(L().FUseComPort);
  EXPECT_EQ(Info().GetParam(rpPortNumber), 12);
  EXPECT_EQ(Info().GetParam(rpBaudRate), 14400);
  EXPECT_EQ(Info().GetParam(rpParity), platform::NOPARITY);
  EXPECT_EQ(L().FTcpClient->Port, 65000);
  EXPECT_EQ(L().BlockSize(), 16);
  EXPECT_EQ(L().TcpHost(), "gateway.local");

  // Neither a parity nor a port text that names an item: -1 and 0.
  ASSERT_TRUE(OpenSettings([](TfrmComAndTCPClient &D) {
    D.PortBox->setEditText(QStringLiteral("COM300"));
    D.ParityBox->setEditText(QString());
    D.ButOk->click();
  }));
  EXPECT_EQ(Info().GetParam(rpPortNumber), 0);
  EXPECT_EQ(Info().GetParam(rpParity), 255); // the parity byte of -1
}

TEST_F(SettingsDialog, BusyProcessShowsWhatItWasConfiguredWith)
{
  // A COM line whose meter never answers keeps the process waiting for the
  // first answer byte, and the port bends its time-outs while it waits.
  ::setenv("QUORLAN2_COM_DIR", Dir.Path().c_str(), 1);
  const auto Line = sim::SimLine::OpenPty(Dir.Path(), 4);
  L().FUseComPort = true;
  Info().SetParam(rpPortNumber, 4);
  Info().SetParam(rpAnswerTimeOut, 400);
  Info().SetParam(rpSystemTimeOut, 40);
  Info().SetParam(rpTimeOutMultiplier, 7);
  L().SetNetAdr("3");
  L().FCloseWait = L().FLinkWait = L().FTestModeWait = L().FAlertWait = std::chrono::milliseconds(10);
  Form->Timer1Timer(nullptr);
  const app::TLinkSettings Configured = app::ReadLinkSettings(L());
  Form->StartBootAction->trigger();
  ASSERT_TRUE(WaitUntil([this] { return Info().GetParam(rpSystemTimeOut) == 65535; }));

  const bool Driven = OpenSettings([](TfrmComAndTCPClient &D) {
    EXPECT_FALSE(D.ButOk->isEnabled());
    EXPECT_EQ(D.AnswerTimeEdit->text(), QStringLiteral("400"));
    EXPECT_EQ(D.SystemTimeEdit->text(), QStringLiteral("40"));
    EXPECT_EQ(D.MultipleEdit->text(), QStringLiteral("7"));
    EXPECT_EQ(D.PortBox->currentText(), QStringLiteral("COM4"));
    D.ButOk->click(); // disabled: nothing
    EXPECT_TRUE(D.isVisible());
    D.AnswerTimeEdit->setText(QStringLiteral("1"));
    D.ButCancel->click();
  });
  ASSERT_TRUE(Driven);
  Form->StopBootActionExecute(nullptr);
  ASSERT_TRUE(WaitUntil([this] { return L().State() == ssIdle; }, std::chrono::seconds(30)));
  EXPECT_EQ(app::ReadLinkSettings(L()), Configured);
}

TEST_F(SettingsDialog, ProcessStartedWhileTheDialogIsOpenKeepsItsSettings)
{
  // The command server's client may start its process while the operator
  // edits it: the confirmed values are then not written, and he is told.
  const auto Silent = sim::SimLine::ListenTcp();
  L().FTcpClient->Port = Silent->Port();
  L().FTcpClient->ReadTimeout = 300;
  L().SetNetAdr("1");
  L().FCloseWait = L().FLinkWait = L().FTestModeWait = L().FAlertWait = std::chrono::milliseconds(10);
  const app::TLinkSettings Before = app::ReadLinkSettings(L());
  TMessageBoxCatcher Boxes;
  ASSERT_TRUE(OpenSettings([this](TfrmComAndTCPClient &D) {
    EXPECT_TRUE(D.ButOk->isEnabled());
    D.NetAdrEdit->setText(QStringLiteral("9"));
    L().Start();
    D.ButOk->click();
  }));
  EXPECT_EQ(Boxes.Texts(), QStringList{U("Процесс уже запущен: параметры соединения не изменены.")});
  L().OperatorStop();
  ASSERT_TRUE(WaitUntil([this] { return L().State() == ssIdle; }, std::chrono::seconds(30)));
  EXPECT_EQ(app::ReadLinkSettings(L()), Before);
}

TEST_F(SettingsDialog, NothingSelectedOpensNothing)
{
  Form->ListView1->clearSelection();
  EXPECT_FALSE(OpenSettings([](TfrmComAndTCPClient &D) { D.reject(); }));
  Form->ListView1DblClick(Form->ListView1);
  EXPECT_FALSE(Dialog->isVisible());
}

TEST_F(SettingsDialog, AnImpossibleTcpLinkIsRefusedAndTheDialogStaysOpen)
{
  L().SetTcpHost("gateway.local");
  L().FTcpClient->Port = 4001;
  TMessageBoxCatcher Boxes;
  ASSERT_TRUE(OpenSettings([](TfrmComAndTCPClient &D) {
    QTest::mouseClick(D.RadioButton2, Qt::LeftButton);
    for (const auto &[Host, Port] :
         {std::pair{"gateway.local", "70000"}, {"gateway.local", "0"}, {"", "4002"}}) {
      D.LabeledEdit1->setText(QString::fromLatin1(Host));
      D.LabeledEdit2->setText(QString::fromLatin1(Port));
      D.ButOk->click();
      EXPECT_TRUE(D.isVisible()) << Host << ":" << Port;
    }
    D.LabeledEdit1->setText(QStringLiteral("gateway.local"));
    D.LabeledEdit2->setText(QStringLiteral("65535"));
    D.ButOk->click();
  }));
  const QString BadPort = U("Порт TCP/IP должен быть числом от 1 до 65535");
  EXPECT_EQ(Boxes.Texts(), (QStringList{BadPort, BadPort, U("Не указан адрес TCP/IP")}));
  EXPECT_EQ(L().FTcpClient->Port, 65535);
}
