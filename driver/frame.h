// The frame every operation runs in: a reference on the object for the call, the message rule
// at entry, the failure path that turns any failure into result False plus message text, and
// the result stored last. Nothing thrown inside reaches the host.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/automation/owners.h"

enum class MessageAtEntry { kKeep, kClear };

// Runs `steps` (which answer the operation's result) for an operation with a message argument.
// `failureMessage` gives the message text for a failure text. Answers E_POINTER, touching
// nothing, when `strMsg` or `result` is null; otherwise S_OK.
HRESULT RunOperation(IUnknown* self, BSTR* strMsg, VARIANT_BOOL* result, MessageAtEntry entry,
                     const std::function<bool()>& steps,
                     const std::function<std::u16string(std::u16string_view)>& failureMessage);

// The failure text itself as the message.
std::u16string FailureTextAsMessage(std::u16string_view failureText);

// Copies a String in-parameter into the operation's own string (embedded NULs kept).
inline std::u16string PrivateCopy(BSTR text) {
  return text ? std::u16string(text, SysStringLen(text)) : std::u16string();
}
