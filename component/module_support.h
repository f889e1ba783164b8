// What every in-process server module of the system shares: its class factories (the runtime's
// ClassFactory on the module's own server locks), its answer to DllCanUnloadNow, its own file
// path, and the registry entries that describe a class and an interface description. Linked
// statically into each module, so each module has counts of its own. Every entry point runs its
// body inside GuardBoundary (platform/automation/boundary.h).
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "platform/automation/class_factory.h"
#include "platform/automation/object.h"
#include "platform/automation/owners.h"
#include "platform/automation/registry.h"

// Server locks taken through IClassFactory::LockServer on this module's factories.
ServerLocks& ModuleLocks();

// The one rule (CanUnloadServer): S_OK when no object whose code lives in this module is alive
// (objects, factories), no object counted by a library the module serves classes from is alive
// (`servedElsewhere`: its live objects plus its server locks), and no server lock is held;
// S_FALSE otherwise.
HRESULT ModuleCanUnloadNow(long servedElsewhere = 0);

// The absolute path of the module file holding this code ("" if it cannot be found).
std::string ModuleFilePath();

// A new factory of this module for `create`, asked for `iid` (what DllGetClassObject hands out).
HRESULT HandOutFactory(CreateObjectFunction create, std::u16string_view source, REFIID iid, void** object);

// One creatable class as the registry records it.
struct ClassRecord {
  CLSID clsid;
  std::string progId;          // Also the class's display name.
  std::string threadingModel;  // "Apartment"
  const GUID* typeLib;         // The interface description it belongs to, or null.
};

// One interface of an interface description.
struct InterfaceRecord {
  IID iid;
  std::string name;
};

// The interface description a module carries as its TYPELIB resource 1.
struct TypeLibRecord {
  GUID libid;
  std::string version;  // "1.0"
  std::string name;
  std::vector<InterfaceRecord> interfaces;
};

// The registry entries of a class served by the module at `modulePath`: the class under its
// identifier, its server and threading model, its class name both ways, its interface description.
std::vector<RegistryEntry> ClassEntries(const ClassRecord& record, const std::string& modulePath);
// The registry entries of an interface description carried by the module at `modulePath`.
std::vector<RegistryEntry> TypeLibEntries(const TypeLibRecord& record, const std::string& modulePath);

// Registers / unregisters a module's entries, raising SELFREG_E_CLASS with a description on failure.
HRESULT RegisterModule(const std::vector<RegistryEntry>& entries);
HRESULT UnregisterModule(const std::vector<RegistryEntry>& entries);
