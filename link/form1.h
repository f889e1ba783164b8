// The invisible host form of the terminal control: holds the one control instance `FK`.
#pragma once

#include "platform/automation/owners.h"

class Form1 {
 public:
  // Creates the control by its class name; fails with "ActiveX 部件不能创建对象".
  static Form1 Load();

  IDispatch& FK() const { return *fk_.Get(); }

 private:
  explicit Form1(ComPtr<IDispatch> fk) : fk_(std::move(fk)) {}
  ComPtr<IDispatch> fk_;
};
