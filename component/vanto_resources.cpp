// The VANTO module's resources: its interface description (TYPELIB 1) and its version texts
// (VERSION 1), kept as text in sections of the module file so that tools read them without
// running the module. docs/components.md describes both formats.
#include "component/resource.h"

namespace {
VANTO_RESOURCE(TYPELIB, 1)
const char kTypeLib[] =
    "VANTO TYPELIB 1\n"
    "library VANTO 1.0 {3F6B1C20-8A4E-4D19-A25C-710E943B6D10}\n"
    "importlib \"stdole2.tlb\" 2.0 stdole {00020430-0000-0000-C000-000000000046}\n"
    "importlib \"libvanto_automation.so\" 6.0 Automation\n"
    "importlib \"msado26.tlb\" 2.6 ADODB\n"
    "importlib \"Corvel.so\" 1.1 Corvel {5C3E9A10-6B2D-4E71-9A41-207D3B18C201}\n"
    "coclass clsMachine {3F6B1C21-8A4E-4D19-A25C-710E943B6D10}\n"
    "  interface _clsMachine default\n"
    "  interface IMachine {5C3E9A11-6B2D-4E71-9A41-207D3B18C201}\n"
    "end\n"
    "dispinterface _clsMachine {3F6B1C22-8A4E-4D19-A25C-710E943B6D10}\n"
    "  method 1 IMachine_funcRegister(inout Collection col, in Boolean blnPort, in Integer iPortMin, "
    "in Integer iPortMax, in String strIPMin, in String strIPMax, in Integer iMin, in Integer iMax, "
    "inout String strMsg) As Boolean\n"
    "  method 2 IMachine_funcBackFingure(in Boolean blnPort, in String strIp, in Integer iPort, "
    "in Integer imachineno, in String sPersonNum, inout Recordset rsData, inout String strMsg) As Boolean\n"
    "  method 3 IMachine_funcReWrite(in Boolean blnPort, in String strIp, in Integer iPort, "
    "in Integer imachineno, in String sPersonNum, in Recordset rsData, inout String strMsg) As Boolean\n"
    "  method 4 IMachine_DownloadCarddata(in Boolean blnPort, in String strIp, in Integer iPort, "
    "in Integer imachineno, inout Collection cdata, inout String strMsg) As Boolean\n"
    "  method 5 IMachine_funcWriteCard(in Boolean blnPort, in String strIp, in Integer iPort, "
    "in Integer imachineno, in Collection c, inout String strMsg) As Boolean\n"
    "  method 6 IMachine_delCardData(in Boolean blnPort, in String strIp, in Integer iPort, "
    "in Integer imachineno) As Boolean\n"
    "end\n";

VANTO_RESOURCE(VERSION, 1)
const char kVersion[] =
    "VANTO VERSION 1\n"
    "FILEVERSION 1.0.0.0\n"
    "PRODUCTVERSION 1.0.0.0\n"
    "[StringFileInfo\\080404B0]\n"
    "CompanyName=VANTO\n"
    "FileVersion=1.00.0000\n"
    "InternalName=VANTO\n"
    "OriginalFilename=VANTO.dll\n"
    "ProductName=VANTO\n"
    "ProductVersion=1.00.0000\n"
    "OLESelfRegister=\n"
    "[VarFileInfo]\n"
    "Translation=0x0804 0x04B0\n";
}  // namespace
