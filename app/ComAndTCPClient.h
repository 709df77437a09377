#pragma once
// The connection settings dialog: the link of one process (COM port or TCP
// serial gateway), its serial parameters and time-outs, the data block size,
// packet mode, the alert sequence and the meter network addresses.
//
// The dialog never sees a loader. Values go in and come out through the
// unit's variables Dlg*: the main window fills them from a loader before the
// dialog is shown and copies them back when the operator confirms. The
// program makes the dialog once, after the main window, and shows the same
// dialog modally again and again. Main thread only.
#include <QDialog>

#include <cstdint>
#include <string>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace app {

// --- the unit's variables (texts Windows-1251) ---
inline std::int32_t DlgPort = 0; // COM port number, 1-based
inline std::int32_t DlgBaudRate = 0;
inline std::int32_t DlgParity = 0;        // 0 none, 1 odd
inline std::int32_t DlgAnswerTimeOut = 0; // ms
inline std::int32_t DlgSystemTimeOut = 0; // ms between bytes
inline std::int32_t DlgMultiplier = 0;    // 0..255
inline std::string DlgNetAdr;             // the address list, a comma text
inline bool DlgUseComPort = false;        // else a TCP/IP link
inline std::string DlgTcpHost;
inline std::int32_t DlgTcpPort = 0;
inline std::int32_t DlgBlockSize = 0;
inline std::int32_t DlgMaxBlockSize = 0; // the largest block size offered
inline bool DlgPacketMode = false;
inline bool DlgAlertSequence = false;
inline bool DlgViaIdServer = false; // never applied to a process

class TfrmComAndTCPClient : public QDialog {
  Q_OBJECT

public:
  // Makes the controls and runs FormCreate; centred on Parent when shown.
  explicit TfrmComAndTCPClient(QWidget *Parent = nullptr);
  ~TfrmComAndTCPClient() override;
  TfrmComAndTCPClient(const TfrmComAndTCPClient &) = delete;
  TfrmComAndTCPClient &operator=(const TfrmComAndTCPClient &) = delete;

  // --- controls ---
  QGroupBox *FirstGroupBox = nullptr;
  QRadioButton *RadioButton1 = nullptr; // COM port
  QLabel *PortLabel = nullptr;
  QComboBox *PortBox = nullptr;
  QLabel *BaudRateLabel = nullptr;
  QComboBox *BaudRateBox = nullptr;
  QLabel *ParityLabel = nullptr;
  QComboBox *ParityBox = nullptr;
  QRadioButton *RadioButton2 = nullptr; // TCP/IP
  QLabel *LabeledEdit1Label = nullptr;
  QLineEdit *LabeledEdit1 = nullptr; // host
  QLabel *LabeledEdit2Label = nullptr;
  QLineEdit *LabeledEdit2 = nullptr; // port
  QGroupBox *NetAdrGroupBox = nullptr;
  QLineEdit *NetAdrEdit = nullptr;
  QGroupBox *SecondGroupBox = nullptr;
  QLabel *AnswerTimeLabel = nullptr;
  QLineEdit *AnswerTimeEdit = nullptr;
  QLabel *SystemTimeLabel = nullptr;
  QLineEdit *SystemTimeEdit = nullptr;
  QLabel *MultipleLabel = nullptr;
  QLineEdit *MultipleEdit = nullptr;
  QGroupBox *RadioGroup1 = nullptr;         // the block sizes
  QButtonGroup *RadioGroup1Items = nullptr; // its six items, ids 0..5
  QCheckBox *PacketModeCheckBox = nullptr;
  QCheckBox *AlertSequenceCheckBox = nullptr;
  QCheckBox *TCPServerRouterCheckBox = nullptr;
  QPushButton *ButOk = nullptr;
  QPushButton *ButCancel = nullptr;

  // --- handlers ---
  void FormCreate(QObject *Sender);
  // Every showing: all controls from the variables.
  void FormShow(QObject *Sender);
  void AnswerTimeEditChange(QObject *Sender);
  void SystemTimeEditChange(QObject *Sender);
  void MultipleEditChange(QObject *Sender);
  void RadioButton1Click(QObject *Sender);
  void RadioGroup1Click(QObject *Sender);
  // Confirms: all variables from the controls, then closes with OK.
  void ButOkClick(QObject *Sender);

  // The index of the combo box's selected item, -1 for none. Text typed into
  // the box counts only when it names an item in full (letter case aside):
  // the first such item; any other typed text gives none.
  static int ItemIndex(const QComboBox *Box);

protected:
  void showEvent(QShowEvent *Event) override;

private:
  // The controls, group by group: the link (FirstGroupBox), the addresses,
  // the time-outs, block size and switches (SecondGroupBox), the buttons.
  void CreateControls();
  void CreateLinkGroup();
  void CreateNetAdrGroup();
  void CreateSecondGroup();
  void CreateBlockSizeGroup();
  void CreateButtons();
};

// The dialog made at start-up.
extern TfrmComAndTCPClient *frmComAndTCPClient;

} // namespace app
