// Binary boundaries stop C++ exceptions: a module entry point, a vtable method, Invoke or
// GetIDsOfNames, a class factory runs its body inside one of these guards, and whatever escapes the
// body becomes a failure code with a description the caller can read, never an exception crossing
// into code that cannot catch it.
//   std::bad_alloc          -> E_OUTOFMEMORY, "内存不足"
//   another std::exception  -> E_UNEXPECTED, "<source>：内部错误（<what()>）"
//   anything else           -> E_UNEXPECTED, "<source>：内部错误（未知异常）"
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/automation/abi.h"

// The code and description of the exception being handled (call only inside a catch block).
struct BoundaryFailure {
  HRESULT code;
  std::u16string description;
};
VANTO_EXPORT BoundaryFailure DescribeCurrentException(std::u16string_view source) noexcept;

// For vtable methods, entry points and factories: leaves the description as the thread's error
// info and returns the code.
VANTO_EXPORT HRESULT RaiseCurrentException(std::u16string_view source) noexcept;
// For Invoke: fills `exception` (when given) and returns DISP_E_EXCEPTION, or leaves error info
// and returns the code when the caller gave no EXCEPINFO.
VANTO_EXPORT HRESULT FillFromCurrentException(EXCEPINFO* exception, std::u16string_view source) noexcept;

// Runs `body` (returning HRESULT) and stops any exception it throws.
template <class Body>
HRESULT GuardBoundary(std::u16string_view source, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    return RaiseCurrentException(source);
  }
}

// The same for Invoke, reporting through the caller's EXCEPINFO.
template <class Body>
HRESULT GuardInvoke(EXCEPINFO* exception, std::u16string_view source, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    return FillFromCurrentException(exception, source);
  }
}
