// The VANTO module's resources: its interface description (TYPELIB 1) and its version texts
// (VERSION 1), kept as text in sections of the module file so that tools read them without
// running the module. docs/components.md describes both formats.
#include "component/resource.h"
#include "platform/corvel/imachine_operations.h"

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
#define VANTO_METHOD_LINE(number, name) VANTO_IMACHINE_TEXT_LINE("IMachine_", number, name)
    VANTO_IMACHINE_OPERATIONS(VANTO_METHOD_LINE)
#undef VANTO_METHOD_LINE
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
