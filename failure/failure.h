// The failure that ends an operation, carrying its text as the failing facility words it.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "platform/automation/abi.h"
#include "platform/automation/errors.h"

class OperationFailure : public std::exception {
 public:
  explicit OperationFailure(std::u16string text) : text_(std::move(text)) {}
  const std::u16string& Text() const { return text_; }
  const char* what() const noexcept override { return "operation failed"; }

 private:
  std::u16string text_;
};

[[noreturn]] void Fail(std::u16string_view text);
// A failed call of a host object: the error info it left, or the standard text of `code`.
void CheckHostCall(HRESULT code);
// A failed runtime facility (conversion, codec): the standard text of `code`.
void CheckRuntimeCall(HRESULT code);

// Integer (16-bit) counter arithmetic of the runtime: leaving -32768..32767 is an overflow.
SHORT NextInteger(SHORT value);
