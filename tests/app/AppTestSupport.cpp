#include "AppTestSupport.h"

#include <QAbstractButton>

#include <QApplication>
#include <QMessageBox>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace apptest {

bool WaitUntil(const std::function<bool()> &Done, std::chrono::milliseconds Timeout)
{
  const auto Deadline = std::chrono::steady_clock::now() + Timeout;
  while (!Done()) {
    // Events are served before the deadline is looked at: a thread that
    // was held up past the deadline still runs what was queued before it.
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (std::chrono::steady_clock::now() >= Deadline)
      return Done();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

TTempDir::TTempDir()
{
  std::string Template = (std::filesystem::temp_directory_path() / "quorlan2-app-XXXXXX").string();
  if (!::mkdtemp(Template.data()))
    throw std::runtime_error("mkdtemp failed");
  FPath = Template;
}

TTempDir::~TTempDir()
{
  std::error_code Ignored;
  std::filesystem::permissions(FPath, std::filesystem::perms::owner_all, Ignored);
  std::filesystem::remove_all(FPath, Ignored);
}

std::string ReadFile(const std::string &Name)
{
  std::ifstream In(Name, std::ios::binary);
  std::ostringstream Out;
  Out << In.rdbuf();
  return Out.str();
}

void WriteFile(const std::string &Name, const std::string &Bytes)
{
  std::ofstream Out(Name, std::ios::binary | std::ios::trunc);
  Out << Bytes;
}

TMessageBoxCatcher::TMessageBoxCatcher(QMessageBox::StandardButton Answer)
{
  FTimer.setInterval(5);
  QObject::connect(&FTimer, &QTimer::timeout, [this, Answer] {
    if (auto *Box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
      FTexts << Box->text();
      if (QAbstractButton *Button = Answer != QMessageBox::Ok ? Box->button(Answer) : nullptr)
        Button->click();
      else
        Box->done(QMessageBox::Ok);
    }
  });
  FTimer.start();
}

TMessageBoxCatcher::~TMessageBoxCatcher() { FTimer.stop(); }

} // namespace apptest
