// What a host binding early, or an object browser, finds of the terminal control on Windows: from
// its class name to its class, from the class's registration to its type library, the library
// loaded from the registry (LoadRegTypeLib), the class's default interface in it, each member of
// the contract by the number the control answers to, and a call made with a member number taken
// from the library on an object the library's class description created. Windows only (run
// under Wine by scripts/windows-stage.sh); the system's headers, not ours.
//
//   vanto-typelib-probe     prints what it found; exit status 0 when everything was as expected
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <string>

#include "windows/fk303id_members.idl.h"

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::printf("FAILED %s\n", what);
    ++failures;
  }
}

std::string Narrow(const wchar_t* text) {
  if (!text) return "";
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  return out;
}

std::wstring GuidText(REFGUID guid) {
  wchar_t text[64] = {};
  StringFromGUID2(guid, text, 64);
  return text;
}

// The default value of HKEY_CLASSES_ROOT\<key>, or "".
std::wstring ClassesValue(const std::wstring& key) {
  wchar_t data[512] = {};
  DWORD size = sizeof data;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
    return L"";
  return data;
}

struct Member {
  const wchar_t* name;
  MEMBERID number;
};
#define FK303ID_PROBE_MEMBER(name, number, kind, count, arguments) {L## #name, number},
const Member kMembers[] = {FK303ID_MEMBERS(FK303ID_PROBE_MEMBER)};
#undef FK303ID_PROBE_MEMBER

int Probe() {
  CLSID clsid{};
  if (FAILED(CLSIDFromProgID(L"" FK303ID_PROGID, &clsid))) {
    std::printf("FAILED the class name %s is not registered\n", FK303ID_PROGID);
    return 1;
  }
  const std::wstring libidText = ClassesValue(L"CLSID\\" + GuidText(clsid) + L"\\TypeLib");
  GUID libid{};
  if (libidText.empty() || FAILED(CLSIDFromString(libidText.c_str(), &libid))) {
    std::printf("FAILED the class names no type library\n");
    return 1;
  }
  ITypeLib* library = nullptr;
  HRESULT hr = LoadRegTypeLib(libid, 1, 0, LOCALE_NEUTRAL, &library);
  if (FAILED(hr)) {
    std::printf("FAILED LoadRegTypeLib %s: %08lX\n", Narrow(libidText.c_str()).c_str(), static_cast<unsigned long>(hr));
    return 1;
  }
  BSTR path = nullptr;
  Check(SUCCEEDED(QueryPathOfRegTypeLib(libid, 1, 0, LOCALE_NEUTRAL, &path)), "QueryPathOfRegTypeLib");
  BSTR name = nullptr;
  library->GetDocumentation(-1, &name, nullptr, nullptr, nullptr);
  std::printf("typelib %s 1.0 %s\n", Narrow(name).c_str(), Narrow(path).c_str());
  SysFreeString(name);
  SysFreeString(path);

  // The class and its default interface, as a browser shows them.
  ITypeInfo* coclass = nullptr;
  if (FAILED(library->GetTypeInfoOfGuid(clsid, &coclass))) {
    std::printf("FAILED the library does not describe the class\n");
    library->Release();
    return 1;
  }
  TYPEATTR* attributes = nullptr;
  coclass->GetTypeAttr(&attributes);
  Check(attributes && attributes->typekind == TKIND_COCLASS, "the class is a coclass");
  const WORD implemented = attributes ? attributes->cImplTypes : 0;
  if (attributes) coclass->ReleaseTypeAttr(attributes);
  ITypeInfo* dispatch = nullptr;
  for (UINT i = 0; i < implemented && !dispatch; ++i) {
    INT flags = 0;
    HREFTYPE reference = 0;
    if (SUCCEEDED(coclass->GetImplTypeFlags(i, &flags)) && (flags & IMPLTYPEFLAG_FDEFAULT) &&
        SUCCEEDED(coclass->GetRefTypeOfImplType(i, &reference)))
      coclass->GetRefTypeInfo(reference, &dispatch);
  }
  if (!dispatch) {
    std::printf("FAILED the class has no default interface\n");
    coclass->Release();
    library->Release();
    return 1;
  }
  dispatch->GetTypeAttr(&attributes);
  const IID iid = attributes ? attributes->guid : IID_NULL;
  Check(attributes && attributes->typekind == TKIND_DISPATCH, "the default interface is a dispatch interface");
  const WORD functions = attributes ? attributes->cFuncs : 0;
  if (attributes) dispatch->ReleaseTypeAttr(attributes);
  dispatch->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
  std::printf("default interface %s, %u members\n", Narrow(name).c_str(), static_cast<unsigned>(functions));
  SysFreeString(name);
  Check(ClassesValue(L"Interface\\" + GuidText(iid) + L"\\TypeLib") == libidText,
        "the interface's registration names the library");
  Check(functions == sizeof kMembers / sizeof kMembers[0], "the interface has the contract's members");

  // The object a host binding early creates, called by the member numbers the library gives.
  IDispatch* object = nullptr;
  hr = coclass->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object));
  Check(SUCCEEDED(hr) && object, "ITypeInfo::CreateInstance of the class");
  int resolved = 0;
  for (const Member& member : kMembers) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(member.name)};
    MEMBERID fromLibrary = MEMBERID_NIL;
    DISPID fromObject = DISPID_UNKNOWN;
    const bool inLibrary = SUCCEEDED(dispatch->GetIDsOfNames(names, 1, &fromLibrary)) && fromLibrary == member.number;
    const bool inObject = object && SUCCEEDED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &fromObject)) &&
                          fromObject == fromLibrary;
    if (!inLibrary || !inObject)
      std::printf("FAILED member %s: library %ld, object %ld, contract %ld\n", Narrow(member.name).c_str(),
                  static_cast<long>(fromLibrary), static_cast<long>(fromObject), static_cast<long>(member.number));
    else
      ++resolved;
  }
  Check(resolved == static_cast<int>(sizeof kMembers / sizeof kMembers[0]), "every member resolves alike");
  std::printf("members resolved %d\n", resolved);
  if (object) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"SerialPort")};
    MEMBERID port = MEMBERID_NIL;
    dispatch->GetIDsOfNames(names, 1, &port);
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_I2;
    value.iVal = 5;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put{&value, &named, 1, 1};
    hr = object->Invoke(port, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr);
    Check(SUCCEEDED(hr), "putting SerialPort by the library's member number");
    VARIANT answer;
    VariantInit(&answer);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    hr = object->Invoke(port, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &answer, nullptr, nullptr);
    VARIANT number;
    VariantInit(&number);
    const bool read = SUCCEEDED(hr) && SUCCEEDED(VariantChangeType(&number, &answer, 0, VT_I4));
    Check(read && number.lVal == 5, "getting SerialPort back by the library's member number");
    std::printf("early bound SerialPort %ld\n", read ? static_cast<long>(number.lVal) : -1L);
    VariantClear(&answer);
    object->Release();
  }
  dispatch->Release();
  coclass->Release();
  library->Release();
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main() {
  CoInitialize(nullptr);
  const int status = Probe();
  std::printf(status == 0 ? "typelib ok\n" : "typelib FAILED\n");
  std::fflush(stdout);
  CoUninitialize();
  return status;
}
