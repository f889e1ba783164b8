// The six operations of clsMachine, one per file, each running inside the common frame.
#pragma once

#include "platform/corvel/corvel.h"

namespace operations {
HRESULT funcRegister(IMachine* self, _Collection** col, VARIANT_BOOL blnPort, SHORT iPortMin, SHORT iPortMax,
                     BSTR strIPMin, BSTR strIPMax, SHORT iMin, SHORT iMax, BSTR* strMsg, VARIANT_BOOL* result);
HRESULT funcBackFingure(IMachine* self, VARIANT_BOOL blnPort, BSTR strIp, SHORT iPort, SHORT imachineno,
                        BSTR sPersonNum, RowSet** rsData, BSTR* strMsg, VARIANT_BOOL* result);
HRESULT funcReWrite(IMachine* self, VARIANT_BOOL blnPort, BSTR strIp, SHORT iPort, SHORT imachineno,
                    BSTR sPersonNum, RowSet* rsData, BSTR* strMsg, VARIANT_BOOL* result);
HRESULT DownloadCarddata(IMachine* self, VARIANT_BOOL blnPort, BSTR strIp, SHORT iPort, SHORT imachineno,
                         _Collection** cdata, BSTR* strMsg, VARIANT_BOOL* result);
HRESULT funcWriteCard(IMachine* self, VARIANT_BOOL blnPort, BSTR strIp, SHORT iPort, SHORT imachineno,
                      _Collection* c, BSTR* strMsg, VARIANT_BOOL* result);
HRESULT delCardData(IMachine* self, VARIANT_BOOL blnPort, BSTR strIp, SHORT iPort, SHORT imachineno,
                    VARIANT_BOOL* result);
}  // namespace operations
