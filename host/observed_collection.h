// A Collection that tells its owner about every item appended to it. The host hands it to
// DownloadCarddata as `cdata`, so it learns of each swipe while the download still runs.
#pragma once

#include <functional>

#include "platform/automation/collection.h"

namespace vanto::host {

// `on_append` runs after each successful append with the list's new Count. It must not throw.
// `refuse` (may be empty) is asked before each append through the interface: when it answers
// true the item is not appended and Add fails with E_ABORT, which ends the caller's download the
// way a failed line does; every item appended before stays in the list.
ComPtr<_Collection> CreateObservedCollection(std::function<void(long count)> on_append,
                                             std::function<bool()> refuse = {});

// A Collection that hands each appended item to `take` and keeps nothing: its Count grows, its
// items cannot be read back. A download through it holds no record longer than its owner does,
// whatever the record count. `take` runs inside Add (what it throws becomes the Add's failure
// code); `on_append` and `refuse` as above. Only Add through the interface is offered (the driver
// appends that way).
ComPtr<_Collection> CreatePassingCollection(std::function<void(const VARIANT& item)> take,
                                            std::function<void(long count)> on_append,
                                            std::function<bool()> refuse = {});

}  // namespace vanto::host
