// The FK303ID module's version texts (VERSION 1), in the format of VANTO's (docs/components.md),
// so that `vanto --version` and `vanto-regsvr -d` show the control's version.
#include "component/resource.h"

namespace {
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
