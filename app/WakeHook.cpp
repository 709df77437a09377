#include "app/WakeHook.h"

#include "platform/Synchronize.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace app {

TWakeHook::TWakeHook()
{
  platform::SetMainThread();
  platform::SetWakeMainThread([] {
    QMetaObject::invokeMethod(
      QCoreApplication::instance(), [] { platform::CheckSynchronize(); }, Qt::QueuedConnection);
  });
}

TWakeHook::~TWakeHook()
{
  platform::SetWakeMainThread({});
  platform::CheckSynchronize();
}

} // namespace app
