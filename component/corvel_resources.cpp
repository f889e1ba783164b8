// The Corvel module's interface description (TYPELIB 1): the host interface library, version 1.1,
// and its version texts (VERSION 1). Same formats as VANTO's (docs/components.md).
#include "component/resource.h"
#include "platform/corvel/imachine_operations.h"

namespace {
VANTO_RESOURCE(TYPELIB, 1)
const char kTypeLib[] =
    "VANTO TYPELIB 1\n"
    "library Corvel 1.1 {5C3E9A10-6B2D-4E71-9A41-207D3B18C201}\n"
    "importlib \"stdole2.tlb\" 2.0 stdole {00020430-0000-0000-C000-000000000046}\n"
    "importlib \"libvanto_automation.so\" 6.0 Automation\n"
    "importlib \"msado26.tlb\" 2.6 ADODB\n"
    "interface IMachine {5C3E9A11-6B2D-4E71-9A41-207D3B18C201} dual\n"
#define VANTO_METHOD_LINE(number, name) VANTO_IMACHINE_TEXT_LINE("", number, name)
    VANTO_IMACHINE_OPERATIONS(VANTO_METHOD_LINE)
#undef VANTO_METHOD_LINE
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

VANTO_RESOURCE(VERSION, 1)
const char kVersion[] =
    "VANTO VERSION 1\n"
    "FILEVERSION 1.1.0.0\n"
    "PRODUCTVERSION 1.1.0.0\n"
    "[StringFileInfo\\080404B0]\n"
    "CompanyName=VANTO\n"
    "FileVersion=1.10.0000\n"
    "InternalName=Corvel\n"
    "OriginalFilename=Corvel.so\n"
    "ProductName=Corvel\n"
    "ProductVersion=1.10.0000\n"
    "OLESelfRegister=\n"
    "[VarFileInfo]\n"
    "Translation=0x0804 0x04B0\n";
}  // namespace
