#include "platform/automation/boundary.h"

#include <exception>
#include <new>

#include "platform/automation/errorinfo.h"
#include "platform/automation/errors.h"
#include "platform/automation/text.h"

BoundaryFailure DescribeCurrentException(std::u16string_view source) noexcept {
  BoundaryFailure failure{E_UNEXPECTED, {}};
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      failure.code = E_OUTOFMEMORY;
      failure.description = kTextOutOfMemory;
    } catch (const std::exception& error) {
      failure.description = std::u16string(source) + u"：内部错误（" + ToUtf16(error.what()) + u"）";
    } catch (...) {
      failure.description = std::u16string(source) + u"：内部错误（未知异常）";
    }
  } catch (...) {
    // Not even the description could be made (no memory): the code alone.
    failure.code = E_OUTOFMEMORY;
    failure.description.clear();
  }
  return failure;
}

HRESULT RaiseCurrentException(std::u16string_view source) noexcept {
  BoundaryFailure failure = DescribeCurrentException(source);
  try {
    return RaiseError(failure.code, failure.description, source);
  } catch (...) {
    return failure.code;
  }
}

HRESULT FillFromCurrentException(EXCEPINFO* exception, std::u16string_view source) noexcept {
  BoundaryFailure failure = DescribeCurrentException(source);
  try {
    if (!exception) return RaiseError(failure.code, failure.description, source);
    return FillException(exception, failure.code, failure.description, source);
  } catch (...) {
    return failure.code;
  }
}
