// The FK303ID module's interface description (TYPELIB 1) and version texts (VERSION 1), in the
// formats of VANTO's (docs/components.md), so that `vanto --version` and `vanto-regsvr -d` show the
// control's version and members. The description says what the Windows type library says
// (windows/FK303ID.idl.in): the control is called by member number with its arguments as a list
// of variants, so every member is described as taking that list; the members come from the contract.
#include "component/resource.h"
#include "terminal/contract/fk303id_contract.h"

namespace {
#define FK303ID_TEXT_kProperty(name, number) "  method " #number " " #name "(inout Variant() arguments) As Variant\n"
#define FK303ID_TEXT_kMethod(name, number) "  method " #number " " #name "(vararg inout Variant() arguments) As Variant\n"
#define FK303ID_TEXT_MEMBER(name, number, kind, count, arguments) FK303ID_TEXT_##kind(name, number)
VANTO_RESOURCE(TYPELIB, 1)
const char kTypeLib[] =
    "VANTO TYPELIB 1\n"
    "library FK303IDLib 1.0 {7A3D5E42-1C2B-4F60-8E13-5B902C47A130}\n"
    "importlib \"stdole2.tlb\" 2.0 stdole {00020430-0000-0000-C000-000000000046}\n"
    "coclass FK303ID {7A3D5E40-1C2B-4F60-8E13-5B902C47A130} control\n"
    "  interface _DFK303ID default\n"
    "end\n"
    "dispinterface _DFK303ID {7A3D5E41-1C2B-4F60-8E13-5B902C47A130} hidden\n"
    FK303ID_MEMBERS(FK303ID_TEXT_MEMBER)
    "end\n";
#undef FK303ID_TEXT_MEMBER
#undef FK303ID_TEXT_kMethod
#undef FK303ID_TEXT_kProperty

VANTO_RESOURCE(VERSION, 1)
const char kVersion[] =
    "VANTO VERSION 1\n"
    "FILEVERSION 1.0.0.0\n"
    "PRODUCTVERSION 1.0.0.0\n"
    "[StringFileInfo\\080404B0]\n"
    "CompanyName=VANTO\n"
    "FileDescription=FK303ID terminal control\n"
    "FileVersion=1.00.0000\n"
    "InternalName=FK303ID\n"
    "OriginalFilename=FK303ID.so\n"
    "ProductName=FK303ID\n"
    "ProductVersion=1.00.0000\n"
    "OLESelfRegister=\n"
    "[VarFileInfo]\n"
    "Translation=0x0804 0x04B0\n";
}  // namespace
