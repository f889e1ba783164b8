// Terminal discovery: every terminal that answers on a range of serial ports and terminal
// numbers, as a fresh list of MachineInfo ordered by port, then by terminal number.
#include "driver/frame.h"
#include "driver/operations.h"
#include "failure/failure.h"
#include "hostdata/host_objects.h"
#include "link/terminal_link.h"

namespace operations {
HRESULT funcRegister(IMachine* self, _Collection** col, VARIANT_BOOL blnPort, SHORT iPortMin, SHORT iPortMax,
                     BSTR strIPMin, BSTR strIPMax, SHORT iMin, SHORT iMax, BSTR* strMsg, VARIANT_BOOL* result) {
  if (!col) return E_POINTER;
  return RunOperation(
      self, strMsg, result, MessageAtEntry::kKeep,
      [&]() -> bool {
        const std::u16string ipMin = PrivateCopy(strIPMin);  // Serial ports only: addresses are not used.
        const std::u16string ipMax = PrivateCopy(strIPMax);
        // The caller's list is replaced before anything else, so every outcome hands back the new one.
        CollectionView found = CollectionView::Create();
        ComPtr<_Collection> previous = ComPtr<_Collection>::Adopt(*col);
        *col = ComPtr<_Collection>(found.Get()).Detach();
        previous.Reset();

        if (blnPort == VARIANT_FALSE || iPortMax < 1 || iPortMax < iPortMin) return true;

        TerminalLink& link = TerminalLink::ForThread();
        for (SHORT port = iPortMin; port <= iPortMax; port = NextInteger(port)) {
          link.SetSerialPort(port);
          for (SHORT number = iMin; number <= iMax; number = NextInteger(number)) {
            if (!link.ProbeMachine(number)) continue;
            MachineInfoView info = MachineInfoView::Create();
            info.SetMachineNo(number);
            info.SetPortNo(port);
            info.SetIpAddress(u"");
            info.SetMachineId(number);
            found.Append(info.Dispatch());
          }
        }
        return true;
      },
      FailureTextAsMessage);
}
}  // namespace operations
