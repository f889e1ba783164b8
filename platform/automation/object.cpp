#include "platform/automation/object.h"

std::atomic<long>& LiveObjectCount() {
  static std::atomic<long> count{0};
  return count;
}
