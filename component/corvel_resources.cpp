// The Corvel module's interface description (TYPELIB 1): the host interface library, version 1.1.
// Same format as VANTO's (docs/components.md).
#include "component/resource.h"

namespace {
VANTO_RESOURCE(TYPELIB, 1)
const char kTypeLib[] =
    "VANTO TYPELIB 1\n"
    "library Corvel 1.1 {5C3E9A10-6B2D-4E71-9A41-207D3B18C201}\n"
    "importlib \"stdole2.tlb\" 2.0 stdole {00020430-0000-0000-C000-000000000046}\n"
    "importlib \"libvanto_automation.so\" 6.0 Automation\n"
    "importlib \"msado26.tlb\" 2.6 ADODB\n"
    "interface IMachine {5C3E9A11-6B2D-4E71-9A41-207D3B18C201} dual\n"
    "  method 1 funcRegister(inout Collection col, in Boolean blnPort, in Integer iPortMin, "
    "in Integer iPortMax, in String strIPMin, in String strIPMax, in Integer iMin, in Integer iMax, "
    "inout String strMsg) As Boolean\n"
    "  method 2 funcBackFingure(in Boolean blnPort, in String strIp, in Integer iPort, "
    "in Integer imachineno, in String sPersonNum, inout Recordset rsData, inout String strMsg) As Boolean\n"
    "  method 3 funcReWrite(in Boolean blnPort, in String strIp, in Integer iPort, "
    "in Integer imachineno, in String sPersonNum, in Recordset rsData, inout String strMsg) As Boolean\n"
    "  method 4 DownloadCarddata(in Boolean blnPort, in String strIp, in Integer iPort, "
    "in Integer imachineno, inout Collection cdata, inout String strMsg) As Boolean\n"
    "  method 5 funcWriteCard(in Boolean blnPort, in String strIp, in Integer iPort, "
    "in Integer imachineno, in Collection c, inout String strMsg) As Boolean\n"
    "  method 6 delCardData(in Boolean blnPort, in String strIp, in Integer iPort, "
    "in Integer imachineno) As Boolean\n"
    "end\n"
    "interface IMachineInfo {5C3E9A12-6B2D-4E71-9A41-207D3B18C201} dual\n"
    "  property 1 MachineNo As Variant\n"
    "  property 2 MachineId As Variant\n"
    "  property 3 PortNo As Variant\n"
    "  property 4 IpAddress As Variant\n"
    "end\n"
    "interface ICardRecord {5C3E9A13-6B2D-4E71-9A41-207D3B18C201} dual\n"
    "  property 1 PersonNo As Variant\n"
    "  property 2 SwipeTime As Variant\n"
    "end\n"
    "coclass MachineInfo {5C3E9A14-6B2D-4E71-9A41-207D3B18C201}\n"
    "  interface IMachineInfo default\n"
    "end\n"
    "coclass CardRecord {5C3E9A15-6B2D-4E71-9A41-207D3B18C201}\n"
    "  interface ICardRecord default\n"
    "end\n";
}  // namespace
