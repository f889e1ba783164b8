// The in-process class table and object creation through it. Built for Windows, the system's
// runtime creates the objects (runtime_win.cpp); creation by class name and GUID texts are shared.
#include "platform/automation/runtime.h"

#include <mutex>
#include <vector>

#ifndef _WIN32
#include "platform/automation/module_loader.h"
#endif
#include "platform/automation/text.h"

#ifndef _WIN32
namespace {
struct ClassEntry {
  CLSID clsid;
  std::u16string progId;
  ComPtr<IClassFactory> factory;
};

std::mutex& TableLock() {
  static std::mutex lock;
  return lock;
}
std::vector<ClassEntry>& Table() {
  static std::vector<ClassEntry> table;
  return table;
}

}  // namespace

HRESULT RegisterInProcessClass(REFCLSID clsid, std::u16string_view progId, IClassFactory* factory) {
  if (!factory) return E_POINTER;
  std::lock_guard guard(TableLock());
  for (auto& entry : Table()) {
    if (entry.clsid == clsid) {
      entry.progId = std::u16string(progId);
      entry.factory = ComPtr<IClassFactory>(factory);
      return S_OK;
    }
  }
  Table().push_back({clsid, std::u16string(progId), ComPtr<IClassFactory>(factory)});
  return S_OK;
}

HRESULT RevokeInProcessClass(REFCLSID clsid) {
  ComPtr<IClassFactory> released;  // Released outside the lock.
  std::lock_guard guard(TableLock());
  auto& table = Table();
  for (auto it = table.begin(); it != table.end(); ++it) {
    if (it->clsid == clsid) {
      released = std::move(it->factory);
      table.erase(it);
      return S_OK;
    }
  }
  return REGDB_E_CLASSNOTREG;
}

extern "C" {
HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid) {
  if (!progId || !clsid) return E_POINTER;
  std::u16string_view name(progId);
  {
    std::lock_guard guard(TableLock());
    for (const auto& entry : Table()) {
      if (SameNameIgnoringCase(entry.progId, name)) {
        *clsid = entry.clsid;
        return S_OK;
      }
    }
  }
  if (GuidFromString(name, clsid)) return S_OK;
  return CLSIDFromRegisteredProgID(name, clsid);
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD, void*, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  ComPtr<IClassFactory> factory;
  {
    std::lock_guard guard(TableLock());
    for (const auto& entry : Table())
      if (entry.clsid == clsid) factory = entry.factory;
  }
  if (!factory) return GetRegisteredClassObject(clsid, iid, object);
  return factory->QueryInterface(iid, object);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  ComPtr<IClassFactory> factory;
  HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, reinterpret_cast<void**>(factory.Put()));
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(outer, iid, object);
}
}

#endif  // _WIN32

HRESULT CreateObjectByProgId(std::u16string_view progId, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  std::u16string name(progId);
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(name.c_str(), &clsid);
  if (FAILED(hr)) return hr;
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, object);
}

std::u16string GuidToString(REFGUID g) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string out = u"{";
  auto put = [&](std::uint64_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i) out.push_back(kHex[(value >> (4 * i)) & 0xF]);
  };
  put(g.Data1, 8);
  out.push_back(u'-');
  put(g.Data2, 4);
  out.push_back(u'-');
  put(g.Data3, 4);
  out.push_back(u'-');
  put(g.Data4[0], 2);
  put(g.Data4[1], 2);
  out.push_back(u'-');
  for (int i = 2; i < 8; ++i) put(g.Data4[i], 2);
  out.push_back(u'}');
  return out;
}

bool GuidFromString(std::u16string_view text, GUID* guid) {
  if (!guid || text.size() != 38 || text.front() != u'{' || text.back() != u'}') return false;
  auto hex = [&](std::size_t at, int digits, std::uint64_t* value) {
    *value = 0;
    for (int i = 0; i < digits; ++i) {
      char16_t c = text[at + i];
      int d;
      if (c >= u'0' && c <= u'9') d = c - u'0';
      else if (c >= u'a' && c <= u'f') d = c - u'a' + 10;
      else if (c >= u'A' && c <= u'F') d = c - u'A' + 10;
      else return false;
      *value = (*value << 4) | static_cast<std::uint64_t>(d);
    }
    return true;
  };
  if (text[9] != u'-' || text[14] != u'-' || text[19] != u'-' || text[24] != u'-') return false;
  std::uint64_t v;
  GUID g{};
  if (!hex(1, 8, &v)) return false;
  g.Data1 = static_cast<std::uint32_t>(v);
  if (!hex(10, 4, &v)) return false;
  g.Data2 = static_cast<std::uint16_t>(v);
  if (!hex(15, 4, &v)) return false;
  g.Data3 = static_cast<std::uint16_t>(v);
  std::size_t positions[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!hex(positions[i], 2, &v)) return false;
    g.Data4[i] = static_cast<std::uint8_t>(v);
  }
  *guid = g;
  return true;
}
