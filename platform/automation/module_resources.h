// Resources carried inside a module file (its interface description, its version texts), read
// from the file itself without loading or running the module.
//
// A module carries resource <TYPE> number <N> as the contents of its ELF section named
// ".vanto_rsrc.<TYPE>.<N>" (for example ".vanto_rsrc.TYPELIB.1"); trailing NUL bytes are padding.
#pragma once

#include <string>
#include <string_view>

#include "platform/automation/abi.h"

constexpr HRESULT HRESULT_FILE_NOT_FOUND = MakeHResult(0x80070002);
constexpr HRESULT HRESULT_BAD_EXE_FORMAT = MakeHResult(0x800700C1);
constexpr HRESULT HRESULT_RESOURCE_NOT_FOUND = MakeHResult(0x80070716);

// The section name that holds a resource.
VANTO_EXPORT std::string ModuleResourceSection(std::string_view type, int number);

// Reads resource `type` number `number` out of the module file at `path`. Failures raise an
// error description naming the file: HRESULT_FILE_NOT_FOUND (cannot open), HRESULT_BAD_EXE_FORMAT
// (not a well-formed 64-bit ELF file), HRESULT_RESOURCE_NOT_FOUND (no such resource).
VANTO_EXPORT HRESULT ReadModuleResource(const std::string& path, std::string_view type, int number,
                                        std::string* data);
// The same, over a file image already in memory (`where` names it in error descriptions).
VANTO_EXPORT HRESULT ReadModuleResourceFromImage(std::string_view image, std::string_view where,
                                                 std::string_view type, int number, std::string* data);
