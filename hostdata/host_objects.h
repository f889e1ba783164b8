// Views over the host's record objects (MachineInfo, CardRecord) and its Collection lists.
// Every failing call throws OperationFailure with the failing object's description.
#pragma once

#include <string_view>

#include "platform/automation/collection.h"
#include "platform/automation/owners.h"
#include "platform/corvel/corvel.h"

// A Collection the driver appends to (the caller's, or a new one).
class CollectionView {
 public:
  // Holds a reference on `list` for the view's life; a null list fails at first use.
  explicit CollectionView(_Collection* list) : list_(list) {}
  static CollectionView Create();

  void Append(IDispatch* item);
  LONG Count();
  _Collection* Get() const { return list_.Get(); }

 private:
  ComPtr<_Collection> list_;
};

// A new MachineInfo, created through the component runtime.
class MachineInfoView {
 public:
  static MachineInfoView Create();
  void SetMachineNo(SHORT number);
  void SetMachineId(SHORT number);
  void SetPortNo(SHORT port);
  void SetIpAddress(std::u16string_view address);
  IDispatch* Dispatch() const { return object_.Get(); }

 private:
  ComPtr<IMachineInfo> object_;
};

// A new CardRecord, created through the component runtime.
class CardRecordView {
 public:
  static CardRecordView Create();
  void SetPersonNo(LONG person);
  void SetSwipeTime(DATE when);
  IDispatch* Dispatch() const { return object_.Get(); }

 private:
  friend class CardRecordMaker;
  ComPtr<ICardRecord> object_;
};

// Makes the CardRecords of one operation: the class's factory is asked of the component runtime
// at the first record and kept for the maker's life, so the class is not looked up again for each
// record (on Windows every lookup reads the registry). The records are those Create makes.
class CardRecordMaker {
 public:
  CardRecordView Create();

 private:
  ComPtr<IClassFactory> factory_;
};
