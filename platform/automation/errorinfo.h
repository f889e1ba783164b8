// Raising and taking errors: the per-thread error info of vtable calls and the EXCEPINFO of
// dispatch calls, each turned into a description text.
#pragma once

#include <string>
#include <string_view>

#include "platform/automation/abi.h"
#include "platform/automation/errors.h"

// Leaves an error object with `description` for the caller and returns `code`.
VANTO_EXPORT HRESULT RaiseError(HRESULT code, std::u16string_view description,
                                std::u16string_view source = {});
VANTO_EXPORT void ClearErrorInfo();
// The description the failing call left, or the standard text for `code` when it left none.
VANTO_EXPORT std::u16string TakeErrorDescription(HRESULT code);

// Fills `exception` for a dispatch call that fails with `description`; returns DISP_E_EXCEPTION
// (or `code` itself when the caller gave no EXCEPINFO).
VANTO_EXPORT HRESULT FillException(EXCEPINFO* exception, HRESULT code,
                                   std::u16string_view description,
                                   std::u16string_view source = {});
// Takes the description out of an EXCEPINFO a dispatch call filled, freeing its strings.
VANTO_EXPORT std::u16string TakeExceptionDescription(EXCEPINFO& exception);
