// The connection settings dialog: its controls, the texts shown from the
// unit's variables, the change normalisers of the number fields, and the
// confirmation that reads the controls back into the variables.
#include "app/ComAndTCPClient.h"

#include "app/DialogTexts.h"
#include "app/QtText.h"
#include "loader/BlockSizes.h"
#include "platform/TextRules.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include <limits>

namespace app {

TfrmComAndTCPClient *frmComAndTCPClient = nullptr;

namespace {

constexpr int ClientWidth = 417;
constexpr int ClientHeight = 432;
// One item a block size, from DlgMaxBlockSize down, halving.
constexpr int BlockSizeItems = static_cast<int>(loader::BlockSizes.size());

// Reads an edit's text by the integer-text rule.
std::int32_t EditValue(const QLineEdit *Edit, std::int32_t Default)
{
  return platform::StrToIntDef(FromQt(Edit->text()), Default);
}

// Shows Value as the unsigned decimal of its 32 bits, writing the text only
// when it differs. The normalised text is not normalised again: a negative
// value stays visible as its two's complement.
void ShowUnsigned(QLineEdit *Edit, std::int32_t Value)
{
  const QString Text = QString::number(static_cast<std::uint32_t>(Value));
  if (Edit->text() == Text)
    return;
  const QSignalBlocker Blocker(Edit);
  Edit->setText(Text);
}

QFont BoldFont(int PointSize)
{
  QFont Font(QStringLiteral("Tahoma"), PointSize);
  Font.setBold(true);
  return Font;
}

// A control with its object name, by which the tests find it.
template <class TWidget> TWidget *Named(TWidget *Widget, const char *Name)
{
  Widget->setObjectName(QLatin1String(Name));
  return Widget;
}

QLabel *MakeLabel(const char *Text, QWidget *Parent, QWidget *Buddy)
{
  auto *Label = new QLabel(ToQt(Text), Parent);
  Label->setBuddy(Buddy);
  return Label;
}

QComboBox *MakeComboBox(QWidget *Parent, const char *Name)
{
  auto *Box = Named(new QComboBox(Parent), Name);
  Box->setEditable(true);
  Box->setInsertPolicy(QComboBox::NoInsert);
  Box->setCompleter(nullptr); // typed text stays as typed
  return Box;
}

} // namespace

TfrmComAndTCPClient::TfrmComAndTCPClient(QWidget *Parent) : QDialog(Parent)
{
  if (!frmComAndTCPClient)
    frmComAndTCPClient = this;
  CreateControls();
  FormCreate(this);
}

TfrmComAndTCPClient::~TfrmComAndTCPClient()
{
  if (frmComAndTCPClient == this)
    frmComAndTCPClient = nullptr;
}

void TfrmComAndTCPClient::CreateControls()
{
  setObjectName(QStringLiteral("frmComAndTCPClient"));
  setWindowTitle(ToQt(texts::SDialogCaption));
  setFont(QFont(QStringLiteral("Tahoma"), 8));
  setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setModal(true);

  // Left: the link and the addresses; right: time-outs, block size and the
  // switches; below: the buttons.
  CreateLinkGroup();
  CreateNetAdrGroup();
  CreateSecondGroup();
  CreateButtons();

  auto *Left = new QVBoxLayout;
  Left->addWidget(FirstGroupBox, 1);
  Left->addWidget(NetAdrGroupBox);
  auto *Top = new QHBoxLayout;
  Top->addLayout(Left, 1);
  Top->addWidget(SecondGroupBox, 1);
  auto *Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(ButOk);
  Buttons->addWidget(ButCancel);
  auto *Main = new QVBoxLayout(this);
  Main->addLayout(Top, 1);
  Main->addLayout(Buttons);
  // A fixed size, grown where this system's fonts need more room.
  setFixedSize(QSize(ClientWidth, ClientHeight).expandedTo(sizeHint()));
}

void TfrmComAndTCPClient::CreateLinkGroup()
{
  FirstGroupBox = Named(new QGroupBox(ToQt(texts::SFirstGroup), this), "FirstGroupBox");
  RadioButton1 = Named(new QRadioButton(ToQt(texts::SComRadio), FirstGroupBox), "RadioButton1");
  RadioButton1->setChecked(true);
  PortBox = MakeComboBox(FirstGroupBox, "PortBox");
  PortLabel = MakeLabel(texts::SPortLabel, FirstGroupBox, PortBox);
  BaudRateBox = MakeComboBox(FirstGroupBox, "BaudRateBox");
  for (const char *Rate : texts::SBaudRates)
    BaudRateBox->addItem(QLatin1String(Rate));
  BaudRateLabel = MakeLabel(texts::SBaudRateLabel, FirstGroupBox, BaudRateBox);
  ParityBox = MakeComboBox(FirstGroupBox, "ParityBox");
  ParityBox->addItems({ToQt(texts::SParityNone), ToQt(texts::SParityOdd)});
  ParityLabel = MakeLabel(texts::SParityLabel, FirstGroupBox, ParityBox);
  RadioButton2 = Named(new QRadioButton(ToQt(texts::STcpRadio), FirstGroupBox), "RadioButton2");
  LabeledEdit1 = Named(new QLineEdit(FirstGroupBox), "LabeledEdit1");
  LabeledEdit1->setMaxLength(std::numeric_limits<int>::max());
  LabeledEdit1->setFont(BoldFont(10));
  LabeledEdit1Label = MakeLabel(texts::SHostLabel, FirstGroupBox, LabeledEdit1);
  LabeledEdit2 = Named(new QLineEdit(FirstGroupBox), "LabeledEdit2");
  LabeledEdit2->setFont(BoldFont(10));
  LabeledEdit2Label = MakeLabel(texts::SPortLabel, FirstGroupBox, LabeledEdit2);

  auto *Layout = new QGridLayout(FirstGroupBox);
  Layout->addWidget(RadioButton1, 0, 0, 1, 2);
  Layout->addWidget(PortLabel, 1, 0);
  Layout->addWidget(PortBox, 1, 1);
  Layout->addWidget(BaudRateLabel, 2, 0);
  Layout->addWidget(BaudRateBox, 2, 1);
  Layout->addWidget(ParityLabel, 3, 0);
  Layout->addWidget(ParityBox, 3, 1);
  Layout->addWidget(RadioButton2, 4, 0, 1, 2);
  Layout->addWidget(LabeledEdit1Label, 5, 0, 1, 2);
  Layout->addWidget(LabeledEdit1, 6, 0, 1, 2);
  Layout->addWidget(LabeledEdit2Label, 7, 0, 1, 2);
  Layout->addWidget(LabeledEdit2, 8, 0, 1, 2);
  Layout->setRowStretch(9, 1);
}

void TfrmComAndTCPClient::CreateNetAdrGroup()
{
  NetAdrGroupBox = Named(new QGroupBox(ToQt(texts::SNetAdrGroup), this), "NetAdrGroupBox");
  NetAdrEdit = Named(new QLineEdit(NetAdrGroupBox), "NetAdrEdit");
  NetAdrEdit->setMaxLength(std::numeric_limits<int>::max()); // no silent cut of a long list
  NetAdrEdit->setFont(BoldFont(9));
  (new QVBoxLayout(NetAdrGroupBox))->addWidget(NetAdrEdit);
}

void TfrmComAndTCPClient::CreateSecondGroup()
{
  SecondGroupBox = Named(new QGroupBox(ToQt(texts::SSecondGroup), this), "SecondGroupBox");
  const auto Edit = [this](const char *Name, void (TfrmComAndTCPClient::*Change)(QObject *)) {
    auto *E = Named(new QLineEdit(SecondGroupBox), Name);
    connect(E, &QLineEdit::textChanged, this, [this, E, Change] { (this->*Change)(E); });
    return E;
  };
  AnswerTimeEdit = Edit("AnswerTimeEdit", &TfrmComAndTCPClient::AnswerTimeEditChange);
  AnswerTimeLabel = MakeLabel(texts::SAnswerTimeLabel, SecondGroupBox, AnswerTimeEdit);
  SystemTimeEdit = Edit("SystemTimeEdit", &TfrmComAndTCPClient::SystemTimeEditChange);
  SystemTimeLabel = MakeLabel(texts::SSystemTimeLabel, SecondGroupBox, SystemTimeEdit);
  MultipleEdit = Edit("MultipleEdit", &TfrmComAndTCPClient::MultipleEditChange);
  MultipleLabel = MakeLabel(texts::SMultipleLabel, SecondGroupBox, MultipleEdit);

  CreateBlockSizeGroup();

  PacketModeCheckBox = Named(new QCheckBox(ToQt(texts::SPacketMode), SecondGroupBox), "PacketModeCheckBox");
  AlertSequenceCheckBox =
      Named(new QCheckBox(ToQt(texts::SAlertSequence), SecondGroupBox), "AlertSequenceCheckBox");
  TCPServerRouterCheckBox =
      Named(new QCheckBox(ToQt(texts::SViaIdServer), SecondGroupBox), "TCPServerRouterCheckBox");
  TCPServerRouterCheckBox->setEnabled(false);

  auto *Layout = new QVBoxLayout(SecondGroupBox);
  for (QWidget *W : std::initializer_list<QWidget *>{
           AnswerTimeLabel, AnswerTimeEdit, SystemTimeLabel, SystemTimeEdit, MultipleLabel, MultipleEdit,
           RadioGroup1, PacketModeCheckBox, AlertSequenceCheckBox, TCPServerRouterCheckBox})
    Layout->addWidget(W);
  Layout->addStretch(1);
}

void TfrmComAndTCPClient::CreateBlockSizeGroup()
{
  RadioGroup1 = Named(new QGroupBox(ToQt(texts::SBlockSizeGroup), SecondGroupBox), "RadioGroup1");
  RadioGroup1Items = new QButtonGroup(RadioGroup1);
  auto *Layout = new QGridLayout(RadioGroup1);
  for (int i = 0; i < BlockSizeItems; ++i) {
    auto *Item = new QRadioButton(RadioGroup1);
    RadioGroup1Items->addButton(Item, i);
    Layout->addWidget(Item, i % 3, i / 3);
  }
  connect(RadioGroup1Items, &QButtonGroup::idClicked, this, [this] { RadioGroup1Click(RadioGroup1); });
}

void TfrmComAndTCPClient::CreateButtons()
{
  ButOk = Named(new QPushButton(ToQt(texts::SApply), this), "ButOk");
  ButCancel = Named(new QPushButton(ToQt(texts::SClose), this), "ButCancel");
  // Enter in a field confirms nothing: only the buttons close the dialog.
  ButOk->setAutoDefault(false);
  ButCancel->setAutoDefault(false);
  connect(ButOk, &QPushButton::clicked, this, [this] { ButOkClick(ButOk); });
  connect(ButCancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(RadioButton1, &QRadioButton::clicked, this, [this] { RadioButton1Click(RadioButton1); });
  connect(RadioButton2, &QRadioButton::clicked, this, [this] { RadioButton1Click(RadioButton2); });
}

void TfrmComAndTCPClient::showEvent(QShowEvent *Event)
{
  if (!Event->spontaneous())
    FormShow(this);
  QDialog::showEvent(Event);
}

void TfrmComAndTCPClient::FormCreate(QObject *)
{
  PortBox->clear();
  for (int i = 1; i <= 256; ++i)
    PortBox->addItem(QStringLiteral("COM%1").arg(i));
}

void TfrmComAndTCPClient::FormShow(QObject *)
{
  const auto Select = [](QComboBox *Box, int Index) {
    Box->setCurrentIndex(Index >= 0 && Index < Box->count() ? Index : -1);
    if (Box->currentIndex() < 0)
      Box->setEditText(QString());
  };
  // A port below 1 selects nothing; subtracting first would overflow at INT32_MIN.
  Select(PortBox, DlgPort >= 1 ? DlgPort - 1 : -1);
  Select(BaudRateBox, BaudRateBox->findText(QString::number(DlgBaudRate), Qt::MatchExactly));
  Select(ParityBox, DlgParity);

  // Each text goes through its edit's normaliser, also when the edit shows
  // that text already.
  const auto SetText = [](QLineEdit *Edit, const QString &Text) {
    if (Edit->text() == Text)
      emit Edit->textChanged(Text);
    else
      Edit->setText(Text);
  };
  SetText(AnswerTimeEdit, QString::number(DlgAnswerTimeOut));
  SetText(SystemTimeEdit, QString::number(DlgSystemTimeOut));
  SetText(MultipleEdit, QString::number(DlgMultiplier));
  NetAdrEdit->setText(ToQt(DlgNetAdr));
  LabeledEdit1->setText(ToQt(DlgTcpHost));
  LabeledEdit2->setText(QString::number(DlgTcpPort));

  (DlgUseComPort ? RadioButton1 : RadioButton2)->setChecked(true);
  RadioButton1Click(this);

  std::int32_t V = DlgMaxBlockSize;
  for (int i = 0; i < BlockSizeItems; ++i) {
    QAbstractButton *Item = RadioGroup1Items->button(i);
    Item->setText(QString::number(V) + ToQt(texts::SBytes));
    if (V == DlgBlockSize)
      Item->setChecked(true);
    V /= 2;
  }

  PacketModeCheckBox->setChecked(DlgPacketMode);
  AlertSequenceCheckBox->setChecked(DlgAlertSequence);
  TCPServerRouterCheckBox->setChecked(DlgViaIdServer);
}

void TfrmComAndTCPClient::AnswerTimeEditChange(QObject *)
{
  ShowUnsigned(AnswerTimeEdit, EditValue(AnswerTimeEdit, 150));
}

void TfrmComAndTCPClient::SystemTimeEditChange(QObject *)
{
  std::int32_t Value = EditValue(SystemTimeEdit, 1);
  if (Value == 0)
    Value = 30;
  ShowUnsigned(SystemTimeEdit, Value);
}

void TfrmComAndTCPClient::MultipleEditChange(QObject *)
{
  std::int32_t Value = EditValue(MultipleEdit, 0);
  if (static_cast<std::uint32_t>(Value) > 255)
    Value = 0;
  ShowUnsigned(MultipleEdit, Value);
}

void TfrmComAndTCPClient::RadioButton1Click(QObject *)
{
  const bool Com = RadioButton1->isChecked();
  for (QWidget *W : {static_cast<QWidget *>(PortBox), static_cast<QWidget *>(BaudRateBox),
                     static_cast<QWidget *>(ParityBox), static_cast<QWidget *>(SystemTimeEdit),
                     static_cast<QWidget *>(MultipleEdit)})
    W->setEnabled(Com);
  for (QWidget *W : {static_cast<QWidget *>(PortLabel), static_cast<QWidget *>(BaudRateLabel),
                     static_cast<QWidget *>(ParityLabel), static_cast<QWidget *>(SystemTimeLabel),
                     static_cast<QWidget *>(MultipleLabel)})
    W->setEnabled(Com); // a label greys out with its control
  for (QWidget *W : {static_cast<QWidget *>(LabeledEdit1), static_cast<QWidget *>(LabeledEdit1Label),
                     static_cast<QWidget *>(LabeledEdit2), static_cast<QWidget *>(LabeledEdit2Label)})
    W->setEnabled(RadioButton2->isChecked());
}

void TfrmComAndTCPClient::RadioGroup1Click(QObject *)
{
  const int Selected = RadioGroup1Items->checkedId();
  DlgBlockSize = Selected >= 0 ? DlgMaxBlockSize / (1 << Selected) : DlgMaxBlockSize;
}

int TfrmComAndTCPClient::ItemIndex(const QComboBox *Box)
{
  // The selected item, as long as the box still shows it; typed text that
  // names an item in full counts as that item (what is shown is what is
  // applied), any other typed text as no selection.
  const QString Text = Box->currentText();
  if (Box->currentIndex() >= 0 && Box->itemText(Box->currentIndex()) == Text)
    return Box->currentIndex();
  for (int i = 0; i < Box->count(); ++i)
    if (Box->itemText(i).compare(Text, Qt::CaseInsensitive) == 0)
      return i;
  return -1;
}

void TfrmComAndTCPClient::ButOkClick(QObject *)
{
  // A TCP/IP link that cannot exist is not taken: the dialog stays open.
  if (RadioButton2->isChecked()) {
    const std::int32_t Port = EditValue(LabeledEdit2, 65000);
    const char *Error = FromQt(LabeledEdit1->text()).empty() ? texts::STcpHostMissing
                        : Port < 1 || Port > 65535           ? texts::STcpPortInvalid
                                                             : nullptr;
    if (Error) {
      QMessageBox::warning(this, QString(), ToQt(Error), QMessageBox::Ok);
      return;
    }
  }
  DlgPort = ItemIndex(PortBox) + 1;
  DlgBaudRate = platform::StrToIntDef(FromQt(BaudRateBox->currentText()), 9600);
  DlgParity = ItemIndex(ParityBox);
  DlgAnswerTimeOut = EditValue(AnswerTimeEdit, 150);
  DlgSystemTimeOut = EditValue(SystemTimeEdit, 30);
  DlgNetAdr = FromQt(NetAdrEdit->text());
  DlgMultiplier = EditValue(MultipleEdit, 0);
  DlgTcpHost = FromQt(LabeledEdit1->text());
  DlgTcpPort = EditValue(LabeledEdit2, 65000);
  DlgUseComPort = RadioButton1->isChecked();
  DlgPacketMode = PacketModeCheckBox->isChecked();
  DlgAlertSequence = AlertSequenceCheckBox->isChecked();
  DlgViaIdServer = TCPServerRouterCheckBox->isChecked();
  RadioGroup1Click(this);
  accept();
}

} // namespace app
