// The system calls of the Windows build (see system_win.h).
#include "platform/automation/win/system_win.h"

#include <windows.h>
#include <objbase.h>

#include <memory>
#include <type_traits>
#include <vector>

#include "platform/automation/thread_slot.h"

namespace vanto::win {
namespace {

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
  return out;
}

std::string Narrow(const wchar_t* text, std::size_t length) {
  if (length == 0) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr, nullptr);
  return out;
}

HKEY RootKey(Root root) {
  switch (root) {
    case Root::kCurrentUser: return HKEY_CURRENT_USER;
    case Root::kLocalMachine: return HKEY_LOCAL_MACHINE;
    default: return HKEY_CLASSES_ROOT;
  }
}

const char* RootName(Root root) {
  switch (root) {
    case Root::kCurrentUser: return "HKEY_CURRENT_USER";
    case Root::kLocalMachine: return "HKEY_LOCAL_MACHINE";
    default: return "HKEY_CLASSES_ROOT";
  }
}

bool Failed(LONG status, const char* what, Root root, const std::string& key, std::string* error) {
  if (status == ERROR_SUCCESS) return false;
  if (error) *error = std::string(what) + " " + RootName(root) + "\\" + key + ": " + LastErrorText(static_cast<unsigned long>(status));
  return true;
}

// Owns an open key.
struct Key {
  HKEY handle = nullptr;
  ~Key() {
    if (handle) RegCloseKey(handle);
  }
};

constexpr UINT kWorkMessage = WM_APP + 0x56;

struct Work {
  void* payload;
  void (*run)(void*);
  void (*drop)(void*);
};

HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

// Keeps this module loaded until the process ends, once it has put objects with destructors in a
// thread's storage. A thread's end runs those destructors (the C++ runtime's thread-exit
// callbacks) and then drops the module reference they hold; were that the module's last
// reference, the module would be unloaded inside the thread's own exit notifications, and its
// runtime's clean-up waits there forever (two downloads on two threads, each thread ending after
// its apartment: the second end hung).
void KeepThisModuleLoaded() {
  static const bool pinned = [] {
    HMODULE module = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              reinterpret_cast<LPCWSTR>(&KeepThisModuleLoaded), &module) != 0;
  }();
  (void)pinned;
}

void RunDispatchedWork(HWND window, LPARAM lparam);

// Work reaches the window procedure when another loop dispatches it: the host's own, or the pump
// of another module on the same thread (each module has its own window).
LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kWorkMessage && lparam) {
    RunDispatchedWork(window, lparam);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

// The class name is the module's own: each module carries its copy of this code.
const wchar_t* WindowClass() {
  static const std::wstring name = [] {
    wchar_t text[64];
    wsprintfW(text, L"VantoThreadWork_%p", static_cast<void*>(ThisModule()));
    WNDCLASSEXW klass{};
    klass.cbSize = sizeof klass;
    klass.lpfnWndProc = &WindowProcedure;
    klass.hInstance = ThisModule();
    klass.lpszClassName = text;
    RegisterClassExW(&klass);
    return std::wstring(text);
  }();
  return name.c_str();
}

// The calling thread's window; destroyed (dropping work never run) when the thread ends.
struct ThreadWindow {
  HWND window = nullptr;
  std::size_t pending = 0;
  ~ThreadWindow() {
    if (!window) return;
    MSG message;
    while (PeekMessageW(&message, window, kWorkMessage, kWorkMessage, PM_REMOVE)) {
      auto* work = reinterpret_cast<Work*>(message.lParam);
      work->drop(work->payload);
      delete work;
    }
    DestroyWindow(window);
  }
  HWND Get() {
    KeepThisModuleLoaded();
    if (!window)
      window = CreateWindowExW(0, WindowClass(), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ThisModule(), nullptr);
    return window;
  }
};
ThreadSlot<ThreadWindow> threadWindows;

// The calling thread's window state, made on first use (null when the system has no slot left).
ThreadWindow* ThisThreadWindow() {
  if (ThreadWindow* state = threadWindows.Get()) return state;
  threadWindows.Set(std::make_unique<ThreadWindow>());
  return threadWindows.Get();
}

// Runs posted work dispatched to this module's window. Nothing thrown leaves a window procedure:
// work that fails there is over.
void RunDispatchedWork(HWND window, LPARAM lparam) {
  auto* work = reinterpret_cast<Work*>(lparam);
  ThreadWindow* state = threadWindows.Get();
  if (state && window == state->window && state->pending > 0) --state->pending;
  const Work copy = *work;
  delete work;
  try {
    copy.run(copy.payload);
  } catch (...) {
  }
}

// The thread's initialisation spy: told of each CoUninitialize, it runs `release` in the last one,
// while the apartment is still there (and again after it, should the system count the
// apartment's references otherwise), then withdraws. It lives in the thread's storage, so its
// references are not counted.
class ApartmentEndSpy final : public IInitializeSpy {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IInitializeSpy)) {
      *object = static_cast<IInitializeSpy*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE PreInitialize(DWORD, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE PostInitialize(HRESULT result, DWORD, DWORD) override { return result; }
  HRESULT STDMETHODCALLTYPE PreUninitialize(DWORD references) override {
    if (references <= 1) Run();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE PostUninitialize(DWORD references) override {
    if (references == 0) {
      Run();
      Withdraw();
    }
    return S_OK;
  }

  bool Take(void (*release)()) {
    release_ = release;
    if (registered_) return true;
    registered_ = SUCCEEDED(CoRegisterInitializeSpy(this, &cookie_));
    return registered_;
  }

 private:
  void Run() {
    if (auto release = release_) {
      release_ = nullptr;
      release();
    }
  }
  void Withdraw() {
    if (!registered_) return;
    registered_ = false;
    CoRevokeInitializeSpy(cookie_);
  }

  void (*release_)() = nullptr;
  ULARGE_INTEGER cookie_{};
  bool registered_ = false;
};
// A thread_local with nothing to destroy (see thread_slot.h for why one with a destructor is not).
static_assert(std::is_trivially_destructible_v<ApartmentEndSpy>);
thread_local ApartmentEndSpy apartmentEnd;

}  // namespace

std::string LastErrorText(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::string out;
  if (length && text) {
    out = Narrow(text, length);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
  }
  if (text) LocalFree(text);
  if (out.empty()) out = "code " + std::to_string(code);
  return out;
}

bool ReadValue(Root root, const std::string& key, const std::string& name, std::optional<std::string>* data,
               std::string* error) {
  data->reset();
  Key open;
  LONG status = RegOpenKeyExW(RootKey(root), Wide(key).c_str(), 0, KEY_QUERY_VALUE, &open.handle);
  if (status == ERROR_FILE_NOT_FOUND) return true;
  if (Failed(status, "cannot open", root, key, error)) return false;
  const std::wstring wideName = Wide(name);
  DWORD type = 0, size = 0;
  status = RegQueryValueExW(open.handle, wideName.c_str(), nullptr, &type, nullptr, &size);
  if (status == ERROR_FILE_NOT_FOUND) return true;
  if (Failed(status, "cannot read", root, key, error)) return false;
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
  status = RegQueryValueExW(open.handle, wideName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
  if (Failed(status, "cannot read", root, key, error)) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    *data = std::string();  // Present, but not a text of ours.
    return true;
  }
  std::size_t length = size / sizeof(wchar_t);
  while (length > 0 && buffer[length - 1] == L'\0') --length;
  *data = Narrow(buffer.data(), length);
  return true;
}

bool WriteValue(Root root, const std::string& key, const std::string& name, const std::string& data,
                std::string* error) {
  Key open;
  LONG status = RegCreateKeyExW(RootKey(root), Wide(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_SET_VALUE, nullptr, &open.handle, nullptr);
  if (Failed(status, "cannot create", root, key, error)) return false;
  const std::wstring wide = Wide(data);
  status = RegSetValueExW(open.handle, Wide(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                          static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
  return !Failed(status, "cannot write", root, key, error);
}

bool RemoveValue(Root root, const std::string& key, const std::string& name, std::string* error) {
  Key open;
  LONG status = RegOpenKeyExW(RootKey(root), Wide(key).c_str(), 0, KEY_SET_VALUE, &open.handle);
  if (status == ERROR_FILE_NOT_FOUND) return true;
  if (Failed(status, "cannot open", root, key, error)) return false;
  status = RegDeleteValueW(open.handle, Wide(name).c_str());
  if (status == ERROR_FILE_NOT_FOUND) return true;
  return !Failed(status, "cannot remove a value of", root, key, error);
}

bool RemoveKeyIfEmpty(Root root, const std::string& key, std::string* error) {
  Key open;
  LONG status = RegOpenKeyExW(RootKey(root), Wide(key).c_str(), 0, KEY_QUERY_VALUE, &open.handle);
  if (status == ERROR_FILE_NOT_FOUND) return true;
  if (Failed(status, "cannot open", root, key, error)) return false;
  DWORD subkeys = 0, values = 0;
  status = RegQueryInfoKeyW(open.handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                            nullptr, nullptr, nullptr);
  if (Failed(status, "cannot inspect", root, key, error)) return false;
  if (subkeys != 0 || values != 0) return true;
  RegCloseKey(open.handle);
  open.handle = nullptr;
  status = RegDeleteKeyW(RootKey(root), Wide(key).c_str());
  if (status == ERROR_FILE_NOT_FOUND) return true;
  return !Failed(status, "cannot remove", root, key, error);
}

bool HasKey(Root root, const std::string& key) {
  Key open;
  return RegOpenKeyExW(RootKey(root), Wide(key).c_str(), 0, KEY_QUERY_VALUE, &open.handle) == ERROR_SUCCESS;
}

bool ReadValues(Root root, const std::string& key, std::function<void(const std::string&, const std::string&)> each) {
  Key open;
  if (RegOpenKeyExW(RootKey(root), Wide(key).c_str(), 0, KEY_QUERY_VALUE, &open.handle) != ERROR_SUCCESS) return false;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD nameLength = 256, type = 0, size = 0;
    LONG status = RegEnumValueW(open.handle, index, name, &nameLength, nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) break;
    if (type != REG_SZ && type != REG_DWORD) continue;
    std::vector<BYTE> buffer(size + sizeof(wchar_t), 0);
    nameLength = 256;
    status = RegEnumValueW(open.handle, index, name, &nameLength, nullptr, &type, buffer.data(), &size);
    if (status != ERROR_SUCCESS) continue;
    if (type == REG_DWORD) {
      DWORD number = 0;
      memcpy(&number, buffer.data(), sizeof number);
      each(Narrow(name, nameLength), std::to_string(number));
    } else {
      const auto* text = reinterpret_cast<const wchar_t*>(buffer.data());
      std::size_t length = size / sizeof(wchar_t);
      while (length > 0 && text[length - 1] == L'\0') --length;
      each(Narrow(name, nameLength), Narrow(text, length));
    }
  }
  return true;
}

std::string ModulePathOfAddress(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address), &module))
    return {};
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) return Narrow(path.data(), length);
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

bool PostToThreadWindow(void* payload, void (*run)(void*), void (*drop)(void*)) {
  ThreadWindow* state = ThisThreadWindow();
  HWND window = state ? state->Get() : nullptr;
  if (!window) return false;
  auto* work = new Work{payload, run, drop};
  if (!PostMessageW(window, kWorkMessage, 0, reinterpret_cast<LPARAM>(work))) {
    delete work;
    return false;
  }
  ++state->pending;
  return true;
}

std::size_t PumpThreadMessages() {
  std::size_t ran = 0;
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    ThreadWindow* state = threadWindows.Get();
    if (message.message == kWorkMessage && message.hwnd && state && message.hwnd == state->window) {
      auto* work = reinterpret_cast<Work*>(message.lParam);
      if (state->pending > 0) --state->pending;
      const Work copy = *work;
      delete work;
      copy.run(copy.payload);
      ++ran;
      continue;
    }
    if (message.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(message.wParam));  // Left for the host's own loop.
      break;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return ran;
}

std::size_t PendingThreadWindowWork() {
  const ThreadWindow* state = threadWindows.Get();
  return state ? state->pending : 0;
}

bool NoticeApartmentEnd(void (*release)()) {
  KeepThisModuleLoaded();  // The caller keeps what `release` frees in the thread's storage.
  return apartmentEnd.Take(release);
}

}  // namespace vanto::win
